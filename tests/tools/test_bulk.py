"""Bulk files: every input column kept, the eleven output columns typed, rows in order."""

from __future__ import annotations

import csv
import json
import os
import subprocess
import sysconfig
from collections import Counter
from pathlib import Path
from typing import Any

import kestrix
import kestrix_tools
import pytest

from kestrix_tools.files import BulkError, decode_file

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

FIELDS = ["raw_data", "selector", "suggestion", "confidence", "kind", "message", "error_name", "inputs",
          "panic_code", "panic_meaning", "error"]
DECODER = kestrix_tools.Decoder()


def expected(value: Any) -> dict[str, Any]:
    """The eleven output values of one row, from kestrix itself."""
    if value is None:
        return dict.fromkeys(FIELDS)
    try:
        return {**DECODER.decode(value if isinstance(value, str) else value.hex()), "error": None}
    except ValueError as error:
        return {**dict.fromkeys(FIELDS), "error": str(error)}


def table_of(mix: list[str]) -> Any:
    data: list[str | None] = [*mix, "0xzz", None, "", "0x0"]
    return pa.table({
        "id": pa.array(range(len(data)), pa.int64()),
        "revert_data": pa.array(data, pa.string()),
        "note": pa.array([f"row {i}, \"quoted\"" for i in range(len(data))]),
    })


def write(table: Any, path: Path) -> None:
    rows = table.to_pylist()
    if path.suffix == ".parquet":
        pq.write_table(table, path)
    elif path.suffix == ".csv":
        with path.open("w", newline="") as stream:
            writer = csv.DictWriter(stream, fieldnames=table.column_names)
            writer.writeheader()
            writer.writerows({k: "" if v is None else v for k, v in row.items()} for row in rows)
    else:
        path.write_text("".join(json.dumps(row) + "\n" for row in rows))


def read(path: Path) -> list[dict[str, Any]]:
    if path.suffix == ".parquet":
        return pq.read_table(path).to_pylist()  # type: ignore[no-any-return]
    if path.suffix == ".csv":
        with path.open(newline="") as stream:
            return list(csv.DictReader(stream))
    return [json.loads(line) for line in path.read_text().splitlines()]


def as_csv_text(row: dict[str, Any]) -> dict[str, str]:
    return {key: "" if value is None else str(value) for key, value in row.items()}


@pytest.mark.parametrize(("source", "target", "jobs"), [
    ("parquet", "parquet", 1), ("parquet", "parquet", 2), ("csv", "csv", 2), ("jsonl", "jsonl", 1),
    ("csv", "parquet", 1), ("parquet", "jsonl", 1), ("jsonl", "csv", 1),
])
def test_round_trip_keeps_rows_in_order(tmp_path: Path, mix: list[str], source: str, target: str,
                                        jobs: int) -> None:
    table = table_of(mix)
    write(table, tmp_path / f"in.{source}")
    summary = decode_file(tmp_path / f"in.{source}", tmp_path / f"out.{target}", jobs=jobs, batch_rows=37)
    got = read(tmp_path / f"out.{target}")
    rows = table.to_pylist()
    if source == "csv":  # CSV holds text: ids as text, no nulls (an empty cell is empty data)
        rows = [as_csv_text(row) for row in rows]
    want = [{**row, **expected(row["revert_data"])} for row in rows]
    if target == "csv":
        want = [as_csv_text(row) for row in want]
    assert got == want
    assert summary.rows == len(rows)
    kinds = Counter(row["kind"] for row in want if row["kind"])
    assert summary.kinds == kinds
    assert summary.errors == sum(1 for row in want if row["error"])
    assert not list(tmp_path.glob("*.partial"))


def test_parquet_columns_are_typed(tmp_path: Path, mix: list[str]) -> None:
    raw = [bytes.fromhex(text.removeprefix("0x")) for text in mix[:60]] + [None]
    table = pa.table({"payload": pa.array(raw, pa.binary()), "block": pa.array(range(61), pa.uint32())})
    pq.write_table(table, tmp_path / "in.parquet", row_group_size=16)
    decode_file(tmp_path / "in.parquet", tmp_path / "out.parquet", column="payload", jobs=1, batch_rows=10)
    out = pq.read_table(tmp_path / "out.parquet")
    assert out.schema.names == ["payload", "block", *FIELDS]
    types = {name: out.schema.field(name).type for name in out.schema.names}
    assert types["payload"] == pa.binary() and types["block"] == pa.uint32()
    assert types["confidence"] == pa.float64() and types["panic_code"] == pa.uint64()
    assert all(types[name] == pa.string() for name in FIELDS if name not in ("confidence", "panic_code"))
    assert out.select(FIELDS).to_pylist() == [expected(value) for value in raw]


def test_output_columns_are_replaced_when_decoded_again(tmp_path: Path, mix: list[str]) -> None:
    write(table_of(mix[:30]), tmp_path / "in.jsonl")
    decode_file(tmp_path / "in.jsonl", tmp_path / "once.jsonl", jobs=1)
    decode_file(tmp_path / "once.jsonl", tmp_path / "twice.jsonl", jobs=1)
    assert read(tmp_path / "once.jsonl") == read(tmp_path / "twice.jsonl")


def test_column_choice(tmp_path: Path) -> None:
    pq.write_table(pa.table({"data": ["0x", "0xdeadbeef"]}), tmp_path / "one.parquet")
    decode_file(tmp_path / "one.parquet", tmp_path / "out.parquet", jobs=1)  # the only column
    assert [row["kind"] for row in read(tmp_path / "out.parquet")] == ["empty", "raw_revert"]
    pq.write_table(pa.table({"data": ["0x"], "id": [1]}), tmp_path / "two.parquet")
    with pytest.raises(BulkError, match="no column 'revert_data'; the file has data, id"):
        decode_file(tmp_path / "two.parquet", tmp_path / "out2.parquet", jobs=1)
    with pytest.raises(BulkError, match="holds int64, not text or bytes"):
        decode_file(tmp_path / "two.parquet", tmp_path / "out2.parquet", column="id", jobs=1)
    assert not (tmp_path / "out2.parquet").exists() and not list(tmp_path.glob("*.partial"))


def test_jsonl_lines_that_are_not_objects(tmp_path: Path) -> None:
    (tmp_path / "in.jsonl").write_text('{"revert_data": "0x"}\n\n[1]\nnot json\n{"other": 1}\n{"revert_data": 5}\n' + "[" * 100_000 + "\n")
    summary = decode_file(tmp_path / "in.jsonl", tmp_path / "out.jsonl", jobs=1)
    rows = read(tmp_path / "out.jsonl")
    assert [row["kind"] for row in rows] == ["empty", None, None, None, None, None]
    assert rows[1]["error"] == "line 3: not a JSON object"
    assert rows[2]["error"].startswith("line 4: not JSON")
    assert rows[3] == {"other": 1, **dict.fromkeys(FIELDS)}
    assert rows[4]["error"] == "revert data must be text, not int"
    assert rows[5]["error"].startswith("line 7: not JSON")  # nesting that would exhaust the stack
    assert (summary.rows, summary.errors, summary.missing) == (6, 4, 1)


def test_command_line_run_with_workers(tmp_path: Path, mix: list[str]) -> None:
    write(table_of(mix), tmp_path / "in.parquet")
    kestrix_script = os.path.join(sysconfig.get_path("scripts"), "kestrix")
    out = subprocess.run([kestrix_script, "--input", str(tmp_path / "in.parquet"), "--output",
                          str(tmp_path / "out.csv"), "--jobs", "2"], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    want = [as_csv_text({**row, **expected(row["revert_data"])}) for row in table_of(mix).to_pylist()]
    assert read(tmp_path / "out.csv") == want
    kinds = Counter(row["kind"] for row in want if row["kind"])
    summary = out.stderr.strip().splitlines()[-1]
    assert summary.startswith(f"kestrix: {len(want)} rows: ")
    for kind, count in kinds.items():
        assert f"{kind} {count}" in summary
    assert "; 2 errors; 1 without revert data" in summary


@pytest.mark.parametrize("source", ["parquet", "csv"])
def test_own_errors_in_bulk_workers(tmp_path: Path, encode_call, source: str) -> None:  # type: ignore[no-untyped-def]
    """Each kind of worker (threads for Parquet, processes for CSV) decodes with the user's errors."""
    from kestrix_tools.files import DecoderSources

    slippage = encode_call("Slippage(uint256)", ["uint256"], [7])
    write(pa.table({"revert_data": [slippage, "0x"] * 50}), tmp_path / f"in.{source}")
    decode_file(tmp_path / f"in.{source}", tmp_path / "out.jsonl", jobs=2, batch_rows=10,
                decoder=DecoderSources(signatures=("error Slippage(uint256 wanted)",)))
    rows = read(tmp_path / "out.jsonl")
    assert [row["error_name"] for row in rows] == ["Slippage", None] * 50
    assert json.loads(rows[0]["inputs"]) == [["wanted", {"type": "uint", "value": 7}]]


def test_csv_long_fields_and_malformed_files(tmp_path: Path, encode_call) -> None:  # type: ignore[no-untyped-def]
    long_reason = encode_call("Error(string)", ["string"], ["x" * 100_000])  # a 200 KB field
    (tmp_path / "in.csv").write_text(f"revert_data\n{long_reason}\n0x\n")
    decode_file(tmp_path / "in.csv", tmp_path / "out.jsonl", jobs=1)
    assert [row["message"] for row in read(tmp_path / "out.jsonl")] == ["x" * 100_000, None]
    (tmp_path / "bad.csv").write_text('revert_data\n"0x\n')  # a quote never closed
    with pytest.raises(BulkError, match=r"bad.csv: unexpected end of data \(after line 1\)"):
        decode_file(tmp_path / "bad.csv", tmp_path / "out2.jsonl", jobs=1)
