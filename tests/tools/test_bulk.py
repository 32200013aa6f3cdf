"""Bulk files: every input column and null kept, the output columns typed, rows in order."""

from __future__ import annotations

import io
import json
from collections import Counter
from pathlib import Path
from typing import Any

import kestrix
import kestrix_tools
import pytest

from kestrix_tools.files import BulkError, DecoderSources, decode_file

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pcsv = pytest.importorskip("pyarrow.csv")

FIELDS = ["raw_data", "selector", "suggestion", "confidence", "kind", "message", "error_name", "inputs",
          "panic_code", "panic_meaning", "root_kind", "root_error_name", "root_message", "root_selector", "depth",
          "error"]
DECODER = kestrix_tools.Decoder()
SUFFIXES = [".parquet", ".csv", ".tsv", ".jsonl", ".jsonl.gz", ".csv.zst"]


def expected(value: Any) -> dict[str, Any]:
    """The output values of one row, from kestrix itself; nothing in the mix is wrapped, so the
    root cause is the outer revert."""
    if value is None:
        return dict.fromkeys(FIELDS)
    try:
        result = DECODER.decode(value if isinstance(value, str) else value.hex())
    except ValueError as error:
        return {**dict.fromkeys(FIELDS), "error": str(error)}
    root = {"root_kind": result["kind"], "root_error_name": result["error_name"],
            "root_message": result["message"], "root_selector": result["selector"], "depth": 0}
    return {**result, **root, "error": None}


def table_of(mix: list[str]) -> Any:
    data: list[str | None] = [*mix, "0xzz", None, "", "0x0"]
    return pa.table({
        "id": pa.array([str(i) for i in range(len(data))]),
        "revert_data": pa.array(data, pa.string()),
        "note": pa.array([f"row {i}, \"quoted\"\n" if i % 7 else "" for i in range(len(data))]),
    })


def codec(path: Path) -> str | None:
    return {".gz": "gzip", ".zst": "zstd"}.get(path.suffix)


def write(table: Any, path: Path) -> None:
    """Input files as the real tools write them: pyarrow's writers, JSON Lines from json.dumps."""
    if path.name.endswith(".parquet"):
        pq.write_table(table, path)
        return
    with pa.output_stream(str(path), compression=codec(path)) as sink:
        if ".jsonl" in path.name:
            sink.write("".join(json.dumps(row) + "\n" for row in table.to_pylist()).encode())
        else:
            delimiter = "\t" if ".tsv" in path.name else ","
            pcsv.write_csv(table, sink, pcsv.WriteOptions(delimiter=delimiter))


def read(path: Path) -> list[dict[str, Any]]:
    """Rows of an output file; CSV read back as text with null (unquoted empty) apart from ""."""
    if path.name.endswith(".parquet"):
        return pq.read_table(path).to_pylist()  # type: ignore[no-any-return]
    with pa.input_stream(str(path), compression=codec(path)) as stream:
        data = stream.read()
    if ".jsonl" in path.name:
        return [json.loads(line) for line in data.decode().split("\n") if line]
    delimiter = "\t" if ".tsv" in path.name else ","
    names = pcsv.read_csv(io.BytesIO(data), parse_options=pcsv.ParseOptions(delimiter=delimiter)).column_names
    return pcsv.read_csv(io.BytesIO(data), parse_options=pcsv.ParseOptions(delimiter=delimiter, newlines_in_values=True),
                         convert_options=pcsv.ConvertOptions(
                             column_types=dict.fromkeys(names, pa.string()), strings_can_be_null=True,
                             quoted_strings_can_be_null=False)).to_pylist()


def as_text(row: dict[str, Any]) -> dict[str, Any]:
    return {key: value if value is None or isinstance(value, str) else json.dumps(value) for key, value in row.items()}


@pytest.mark.parametrize(("source", "target", "jobs"), [
    (".parquet", ".parquet", 1), (".parquet", ".parquet", 2), (".csv", ".csv", 2), (".jsonl", ".jsonl", 1),
    (".csv.zst", ".parquet", 1), (".parquet", ".jsonl.gz", 2), (".jsonl.gz", ".tsv", 1), (".tsv", ".csv.zst", 2),
    (".jsonl", ".csv", 3), (".csv", ".jsonl", 3), (".parquet", ".parquet", 3),
])
def test_round_trip_keeps_rows_nulls_and_empties(tmp_path: Path, mix: list[str], source: str, target: str,
                                                 jobs: int) -> None:
    table = table_of(mix)
    write(table, tmp_path / f"in{source}")
    summary = decode_file(tmp_path / f"in{source}", tmp_path / f"out{target}", jobs=jobs, batch_rows=37)
    got = read(tmp_path / f"out{target}")
    want = [{**row, **expected(row["revert_data"])} for row in table.to_pylist()]
    if target.startswith((".csv", ".tsv")):
        want = [as_text(row) for row in want]
        got = [{**row, "confidence": row["confidence"] and json.dumps(float(row["confidence"]))} for row in got]
        want = [{**row, "confidence": row["confidence"] and json.dumps(float(row["confidence"]))} for row in want]
    assert got == want
    assert (summary.rows, summary.missing) == (len(want), 1)
    assert summary.kinds == Counter(row["kind"] for row in want if row["kind"])
    assert summary.errors == sum(1 for row in want if row["error"])
    assert [p.name for p in tmp_path.iterdir()] == [f"in{source}", f"out{target}"] or \
        sorted(p.name for p in tmp_path.iterdir()) == sorted([f"in{source}", f"out{target}"])


@pytest.mark.parametrize("jobs", [2, 3])
@pytest.mark.parametrize("source", [".parquet", ".csv", ".jsonl"])
def test_jobs_share_the_work_between_threads(tmp_path: Path, mix: list[str], source: str, jobs: int,
                                             monkeypatch: pytest.MonkeyPatch) -> None:
    """Two jobs: the reading thread decodes and another writes. More: worker threads decode."""
    import threading

    from kestrix_tools import files

    decoding: set[str] = set()
    writing: set[str] = set()
    real_decode, real_write = files.decode_columns, files.TableWriter.write

    def watched_decode(*args: Any, **kwargs: Any) -> Any:
        decoding.add(threading.current_thread().name)
        return real_decode(*args, **kwargs)

    def watched_write(*args: Any, **kwargs: Any) -> Any:
        writing.add(threading.current_thread().name)
        return real_write(*args, **kwargs)

    monkeypatch.setattr(files, "decode_columns", watched_decode)
    monkeypatch.setattr(files.TableWriter, "write", watched_write)
    monkeypatch.setattr(files._arrow_io, "CSV_BLOCK", 4096)
    monkeypatch.setattr(files._arrow_io, "JSON_BLOCK", 4096)
    table = table_of(mix * 50)
    write(table, tmp_path / f"in{source}")
    decode_file(tmp_path / f"in{source}", tmp_path / "out.parquet", jobs=jobs, batch_rows=64)
    assert pq.read_table(tmp_path / "out.parquet").num_rows == table.num_rows
    # The first batch goes before any thread starts; the rest are written behind.
    assert writing - {"MainThread"} and all(name.startswith("kestrix-write") for name in writing - {"MainThread"})
    if jobs == 2:
        assert decoding == {"MainThread"}
    else:
        assert all(name.startswith("kestrix-decode") for name in decoding - {"MainThread"})
        assert any(name.startswith("kestrix-decode") for name in decoding)


@pytest.mark.parametrize("jobs", [2, 3])
def test_rows_that_differ_keep_every_value(tmp_path: Path, jobs: int) -> None:
    """JSON Lines whose keys and types change from block to block, and CSV rows with extra or
    missing fields: every value reaches every output format (formatted on the writing thread
    with two jobs, on the decoding threads with more)."""
    from kestrix_tools import _arrow_io

    lines = [{"revert_data": "0x", "a": i} for i in range(3000)]
    lines += [{"revert_data": "0x", "a": "text", "late": [1, {"x": None}]}, {"b": 2**70}, {"a": None, "b": 1.5},
              {"t": "2024-01-01T00:00:00", "n": {"t": "2024-01-01T00:00:00"}}]  # never rewritten as times
    text = "".join(json.dumps(row) + "\n" for row in lines)
    text += "[1]\nnot json\n"
    (tmp_path / "in.jsonl").write_text(text)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_arrow_io, "JSON_BLOCK", 4096)  # many blocks, so that the schema grows between them
        for target in ("out.parquet", "out.csv", "out.jsonl"):
            decode_file(tmp_path / "in.jsonl", tmp_path / target, jobs=jobs)
    for target in ("out.parquet", "out.csv", "out.jsonl"):
        rows = read(tmp_path / target)
        assert len(rows) == len(lines) + 2
        # Parquet and CSV: the column became text; JSON Lines keeps each value as it came.
        assert [row["a"] for row in rows[:3]] == ([0, 1, 2] if target == "out.jsonl" else ["0", "1", "2"])
        assert rows[3000]["a"] == "text" and json.loads(rows[3000]["late"]) == [1, {"x": None}]
        assert rows[3001]["b"] == str(2**70) and rows[3002]["b"] == "1.5" and rows[3002]["a"] is None
        assert rows[3003]["t"] == "2024-01-01T00:00:00"
        nested = rows[3003]["n"]
        assert (json.loads(nested) if isinstance(nested, str) else nested) == {"t": "2024-01-01T00:00:00"}
        assert rows[-2]["error"] == f"line {len(lines) + 1}: not a JSON object"
        assert rows[-1]["error"].startswith(f"line {len(lines) + 2}: not JSON")
        assert not list(tmp_path.glob("*.partial*")) and not list(tmp_path.glob("*.parquet.*"))

    (tmp_path / "times.jsonl").write_text('{"revert_data": "0x", "n": {"t": "2024-01-01T00:00:00"}}\n')
    decode_file(tmp_path / "times.jsonl", tmp_path / "times.parquet", jobs=1)
    assert read(tmp_path / "times.parquet")[0]["n"] == '{"t": "2024-01-01T00:00:00"}'

    (tmp_path / "in.csv").write_text('id,revert_data\n1,0x\n2,0x,extra,"more"\n3\n4,""\n5,\n')
    decode_file(tmp_path / "in.csv", tmp_path / "csv.jsonl", jobs=1)
    rows = read(tmp_path / "csv.jsonl")
    assert [(r["id"], r["revert_data"], r["field_3"], r["field_4"], r["kind"]) for r in rows] == [
        ("1", "0x", None, None, "empty"), ("2", "0x", "extra", "more", "empty"), ("3", None, None, None, None),
        ("4", "", None, None, "empty"), ("5", None, None, None, None)]


def test_json_arrays_and_partitioned_parquet_folders(tmp_path: Path) -> None:
    (tmp_path / "in.json").write_text(json.dumps([{"revert_data": "0x"}, 7, {"revert_data": "0xdeadbeef", "n": 1}]))
    decode_file(tmp_path / "in.json", tmp_path / "out.jsonl", jobs=1)
    rows = read(tmp_path / "out.jsonl")
    assert [(r["kind"], r["n"], r["error"]) for r in rows] == [
        ("empty", None, None), (None, None, "item 1: not a JSON object"), ("raw_revert", 1, None)]
    folder = tmp_path / "dataset"
    pq.write_to_dataset(pa.table({"revert_data": ["0x", "0xdeadbeef", None], "day": ["d1", "d2", "d2"]}), folder,
                        partition_cols=["day"])
    decode_file(folder, tmp_path / "folder.parquet", jobs=2)
    rows = sorted(read(tmp_path / "folder.parquet"), key=lambda r: (r["day"], r["kind"] or ""))
    assert [(r["day"], r["kind"]) for r in rows] == [("d1", "empty"), ("d2", None), ("d2", "raw_revert")]


def test_parquet_columns_are_typed_and_grouped(tmp_path: Path, mix: list[str]) -> None:
    raw = [bytes.fromhex(text.removeprefix("0x")) for text in mix[:60]] + [None]
    table = pa.table({"payload": pa.array(raw * 2000, pa.binary()), "block": pa.array(range(61 * 2000), pa.uint32())})
    pq.write_table(table, tmp_path / "in.parquet", row_group_size=1000)
    decode_file(tmp_path / "in.parquet", tmp_path / "out.parquet", column="payload", jobs=2, batch_rows=1000,
                drop_raw=True)
    out = pq.ParquetFile(tmp_path / "out.parquet")
    assert out.metadata.num_row_groups == 1  # 122,000 rows in one group, not one per batch
    group = out.metadata.row_group(0)
    # Readers prune on the input's columns and the short result columns by their statistics.
    with_statistics = {group.column(i).path_in_schema for i in range(group.num_columns) if group.column(i).is_stats_set}
    assert {"payload", "block", "kind", "selector", "error_name", "depth"} <= with_statistics
    assert out.schema_arrow.names == ["payload", "block", *FIELDS[1:]]
    types = {f.name: f.type for f in out.schema_arrow}
    assert types["payload"] == pa.binary() and types["block"] == pa.uint32()
    assert types["confidence"] == pa.float64() and types["panic_code"] == pa.uint64()
    got = out.read(columns=FIELDS[1:]).to_pylist()[:61]
    assert got == [{k: v for k, v in expected(value).items() if k != "raw_data"} for value in raw]


@pytest.mark.parametrize("source", ["in.csv", "in.parquet"])
def test_inputs_without_rows_keep_their_columns(tmp_path: Path, source: str) -> None:
    """A CSV header alone, a Parquet file without rows: no rows out, but the input's columns."""
    (tmp_path / "in.csv").write_text("block,revert_data\n")
    pq.write_table(pa.table({"block": pa.array([], pa.string()), "revert_data": pa.array([], pa.string())}),
                   tmp_path / "in.parquet")
    for target in ("out.parquet", "out.csv"):
        decode_file(tmp_path / source, tmp_path / target)
        names = (pq.read_schema(tmp_path / target).names if target.endswith(".parquet")
                 else (tmp_path / target).read_text().splitlines()[0].replace('"', "").split(","))
        assert names == ["block", "revert_data", *FIELDS] and not read(tmp_path / target)


def test_refusals_come_first_and_leave_nothing(tmp_path: Path) -> None:
    pq.write_table(pa.table({"data": ["0x"], "id": [1]}), tmp_path / "in.parquet")
    (tmp_path / "folder.csv").mkdir()
    (tmp_path / "old.csv").write_text("keep me")
    for target, column, message in [
        ("out.parquet", None, "no column 'revert_data'; the file has data, id"),
        ("out.parquet", "id", "holds int64, not text or bytes"),
        ("folder.csv", "data", "is a folder"),
        ("old.csv", "data", "exists; use --force"),
        ("in.parquet", "data", "must differ from the input"),
        ("out.txt", "data", "unknown file type"),
    ]:
        with pytest.raises(BulkError, match=message):
            decode_file(tmp_path / "in.parquet", tmp_path / target, column=column, jobs=1)
    (tmp_path / "notparquet").mkdir()
    (tmp_path / "notparquet" / "a.parquet").write_text("not parquet")
    (tmp_path / "broken.csv.gz").write_bytes(b"\x1f\x8b broken")
    for source, message in [("notparquet", "notparquet: .*Parquet"), ("broken.csv.gz", "broken.csv.gz: ")]:
        with pytest.raises(BulkError, match=message):
            decode_file(tmp_path / source, tmp_path / "out.jsonl", jobs=1)
    assert (tmp_path / "old.csv").read_text() == "keep me"
    decode_file(tmp_path / "in.parquet", tmp_path / "old.csv", column="data", jobs=1, force=True)
    assert read(tmp_path / "old.csv")[0]["kind"] == "empty"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.csv.gz", "folder.csv", "in.parquet", "notparquet",
                                                          "old.csv"]


def test_a_failure_while_closing_removes_the_partial_file(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    from kestrix_tools import _arrow_io

    write(table_of(["0x"] * 10), tmp_path / "in.csv")
    finish = _arrow_io.TableWriter.close

    def full(self: Any, **kwargs: Any) -> None:
        finish(self, **kwargs)
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(_arrow_io.TableWriter, "close", full)
    for target in ("out.parquet", "out.csv.gz"):
        with pytest.raises(OSError, match="No space"):
            decode_file(tmp_path / "in.csv", tmp_path / target, jobs=1)
    assert [p.name for p in tmp_path.iterdir()] == ["in.csv"]


def test_own_errors_in_bulk_threads(tmp_path: Path, encode_call) -> None:  # type: ignore[no-untyped-def]
    slippage = encode_call("Slippage(uint256)", ["uint256"], [7])
    write(pa.table({"revert_data": [slippage, "0x"] * 50}), tmp_path / "in.csv")
    decode_file(tmp_path / "in.csv", tmp_path / "out.jsonl", jobs=2, batch_rows=10,
                decoder=DecoderSources(signatures=("error Slippage(uint256 wanted)",)))
    rows = read(tmp_path / "out.jsonl")
    assert [row["error_name"] for row in rows] == ["Slippage", None] * 50
    assert json.loads(rows[0]["inputs"]) == [["wanted", {"type": "uint", "value": 7}]]


def test_csv_long_fields_and_malformed_files(tmp_path: Path, encode_call) -> None:  # type: ignore[no-untyped-def]
    long_reason = encode_call("Error(string)", ["string"], ["x" * 100_000])  # a 200 KB field
    (tmp_path / "in.csv").write_text(f"revert_data\n{long_reason}\n0x\n")
    decode_file(tmp_path / "in.csv", tmp_path / "out.jsonl", jobs=1)
    assert [row["message"] for row in read(tmp_path / "out.jsonl")] == ["x" * 100_000, None]
    (tmp_path / "bad.csv").write_text('revert_data\n"0x\n')  # a quote never closed: the rest is the value
    assert decode_file(tmp_path / "bad.csv", tmp_path / "out2.jsonl", jobs=1).errors == 1
    assert read(tmp_path / "out2.jsonl")[0]["revert_data"] == "0x\n"
    (tmp_path / "bad.tsv").write_bytes(b"revert_data\tnote\n0x\t\xff\xfe\n0x\tok\n")  # not UTF-8: that row only
    assert decode_file(tmp_path / "bad.tsv", tmp_path / "out3.jsonl", jobs=1).errors == 1
    assert [(r["note"], r["kind"], r["error"]) for r in read(tmp_path / "out3.jsonl")] == [
        ("\\xff\\xfe", None, "row 1: 'note' is not UTF-8"), ("ok", "empty", None)]


def test_decode_many_nulls_and_numbers() -> None:
    pd = pytest.importorskip("pandas")
    np = pytest.importorskip("numpy")
    from kestrix_tools import decode_many

    frame = pd.DataFrame({"revert_data": ["0x", None, "0xdeadbeef"]})
    frame.loc[1, "revert_data"] = np.nan
    cells = [*frame["revert_data"], pd.NA, pd.NaT, np.float64("nan"), None]
    assert [r and r["kind"] for r in decode_many(cells)] == ["empty", None, "raw_revert", None, None, None, None]
    for number in (10**9, 3.0, np.int64(5), True):
        with pytest.raises(TypeError, match="not text, bytes or None"):
            list(decode_many([number]))


def test_random_rows_lose_nothing_in_any_format(tmp_path_factory: pytest.TempPathFactory) -> None:
    """Rows with random keys, types, nulls and empties, read in small blocks so that the
    columns change between blocks: every value reaches every output format, as itself or,
    where its column became text, as its text."""
    from hypothesis import HealthCheck, example, given, settings
    from hypothesis import strategies as st

    from kestrix_tools import _arrow_io

    scalars = st.one_of(st.none(), st.just(""), st.text(max_size=8), st.booleans(),
                        st.integers(-(2**70), 2**70), st.floats(allow_nan=False, allow_infinity=False))
    values = st.one_of(scalars, st.lists(scalars, max_size=3), st.sampled_from(["0x", "0xdeadbeef", "zz"]))
    rows = st.lists(st.dictionaries(st.sampled_from(["revert_data", "a", "b", "c d", "é"]), values, max_size=5),
                    min_size=1, max_size=60)

    def same(out: Any, value: Any) -> bool:
        if value is None or out is None:
            return out is value
        if out == value and type(out) is type(value):
            return True
        numbers = (int, float)
        if isinstance(out, numbers) and isinstance(value, numbers) and bool not in (type(out), type(value)):
            return out == value  # JSON has one number type: 0 read beside 0.5 is the double 0.0
        return isinstance(out, str) and not isinstance(value, str) and json.loads(out) == value

    @settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
    @given(rows)
    @example([{"revert_data": [None, None]}])  # pyarrow's JSON reader makes an unsound list array of it
    def check(data: list[dict[str, Any]]) -> None:
        folder = tmp_path_factory.mktemp("rows")
        (folder / "in.jsonl").write_text("".join(json.dumps(row) + "\n" for row in data))
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(_arrow_io, "JSON_BLOCK", 256)
            for target in ("out.parquet", "out.csv", "out.jsonl"):
                decode_file(folder / "in.jsonl", folder / target, jobs=2, force=True)
                got = read(folder / target)
                assert len(got) == len(data)
                for row, out in zip(data, got):
                    for key, value in row.items():
                        if key in FIELDS:
                            continue
                        assert same(out[key], value), (target, key, value, out[key])

    check()


def test_root_cause_columns_reach_every_format(tmp_path: Path, encode_call: Any) -> None:
    """A wrapped revert's root cause and depth reach every format; a plain revert is its own root."""
    reason = bytes.fromhex(encode_call("Error(string)", ["string"], ["STF"])[2:])
    wrapped = encode_call("WrappedError(address,bytes4,bytes,bytes)", ["address", "bytes4", "bytes", "bytes"],
                          ["0x" + "ab" * 20, b"\x12\x34\x56\x78", reason, b""])
    outer = encode_call("ExecutionFailed(uint256,bytes)", ["uint256", "bytes"], [2, bytes.fromhex(wrapped[2:])])
    write(pa.table({"revert_data": [outer, "0x", None]}), tmp_path / "in.csv")
    for target in ("out.parquet", "out.csv", "out.jsonl"):
        decode_file(tmp_path / "in.csv", tmp_path / target, jobs=1)
        rows = read(tmp_path / target)
        assert list(rows[0])[-6:] == [*FIELDS[-6:]]
        depth = (lambda n: str(n)) if target == "out.csv" else (lambda n: n)
        assert [(r["kind"], r["error_name"], r["root_kind"], r["root_message"], r["root_selector"], r["depth"])
                for r in rows] == [("custom_error", "ExecutionFailed", "revert_string", "STF", "0x08c379a0", depth(2)),
                                   ("empty", None, "empty", None, None, depth(0)),
                                   (None, None, None, None, None, None)]


def test_random_csv_rows_with_missing_and_extra_fields(tmp_path_factory: pytest.TempPathFactory) -> None:
    """CSV rows with fewer or more fields than the header, null (unquoted empty) and empty
    (``""``) fields: every field reaches every output format, in its place."""
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    fields = st.one_of(st.none(), st.text(st.characters(exclude_characters="\r\n", exclude_categories=["Cs"]),
                                          max_size=6))
    rows = st.lists(st.lists(fields, min_size=2, max_size=6), min_size=1, max_size=40)

    def cell(value: str | None) -> str:
        return "" if value is None else '"' + value.replace('"', '""') + '"'

    @settings(max_examples=30, deadline=None, suppress_health_check=list(HealthCheck))
    @given(rows)
    def check(data: list[list[str | None]]) -> None:
        folder = tmp_path_factory.mktemp("csv")
        header = ["revert_data", "a", "b"]
        (folder / "in.csv").write_text(",".join(header) + "\n" + "".join(",".join(map(cell, r)) + "\n" for r in data))
        for target in ("out.parquet", "out.csv", "out.jsonl"):
            decode_file(folder / "in.csv", folder / target, jobs=1, force=True)
            got = read(folder / target)
            assert len(got) == len(data)
            for row, out in zip(data, got):
                names = header + [f"field_{i + 1}" for i in range(len(header), len(row))]
                assert [out[name] for name in names[:len(row)]] == row, target
                assert all(out[name] is None for name in names[len(row):] if name in out)

    check()


def test_text_that_is_not_unicode_stops_nothing(tmp_path: Path) -> None:
    """JSON may escape a lone surrogate, which no output format can hold as text: the row is
    kept, the surrogate written as its escape, and every other row decodes."""
    lines = ['{"revert_data": "0x", "note": "a\\ud800b", "n\\udc00": 1}', '{"revert_data": "0x12\\ud800"}',
             '{"revert_data": "0xdeadbeef", "note": "ok"}']
    (tmp_path / "in.jsonl").write_text("\n".join(lines) + "\n")
    (tmp_path / "in.json").write_text("[" + ",".join(lines) + "]")
    for source in ("in.jsonl", "in.json"):
        for target in ("out.parquet", "out.csv", "out.jsonl"):
            decode_file(tmp_path / source, tmp_path / target, jobs=1, force=True)
            rows = read(tmp_path / target)
            assert [r["kind"] for r in rows] == ["empty", None, "raw_revert"], (source, target)
            assert rows[0]["note"] == "a\\ud800b" and rows[0]["n\\udc00"] in (1, "1")
            assert rows[1]["error"] is not None and rows[2]["note"] == "ok"


@pytest.mark.parametrize(("source", "target", "pool"), [(".parquet", ".parquet", None), (".csv", ".jsonl", "system"),
                                                  (".jsonl", ".csv", None)])
def test_the_command_loads_arrow_as_it_needs(tmp_path: Path, mix: list[str], source: str, target: str,
                                             pool: str | None) -> None:
    """The command loads pyarrow without NumPy and with a memory pool that gives back what it
    frees (or the one ARROW_DEFAULT_MEMORY_POOL names); its output is what the library gives
    with NumPy loaded, and NumPy still imports afterwards."""
    import os
    import subprocess
    import sys

    from kestrix_tools import cli

    write(table_of(mix), tmp_path / f"in{source}")
    decode_file(tmp_path / f"in{source}", tmp_path / f"want{target}", jobs=1)
    script = ("import sys; from kestrix_tools.cli import main; "
              f"code = main(['--input', {str(tmp_path / f'in{source}')!r}, '--output', {str(tmp_path / f'got{target}')!r}]); "
              "loaded = 'numpy' in sys.modules; import numpy, pyarrow; "
              "print(code, loaded, pyarrow.default_memory_pool().backend_name)")
    env = {k: v for k, v in os.environ.items() if k != "ARROW_DEFAULT_MEMORY_POOL"}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True,
                         env=env if pool is None else {**env, "ARROW_DEFAULT_MEMORY_POOL": pool})
    assert out.stdout.split() == ["0", "False", pool or cli._arrow_pool()], out.stderr
    assert "Unsupported" not in out.stderr
    assert read(tmp_path / f"got{target}") == read(tmp_path / f"want{target}")


def test_a_pyarrow_whose_parquet_reader_differs_reads_through_parquet_file(tmp_path: Path, mix: list[str],
                                                                           monkeypatch: pytest.MonkeyPatch) -> None:
    from pyarrow import _parquet

    write(table_of(mix), tmp_path / "in.parquet")
    decode_file(tmp_path / "in.parquet", tmp_path / "want.parquet", jobs=2, batch_rows=50)

    class OtherReader:
        def open(self, *args: Any, **kwargs: Any) -> None:
            raise TypeError("open() got an unexpected keyword argument")

    monkeypatch.setattr(_parquet, "ParquetReader", OtherReader)
    decode_file(tmp_path / "in.parquet", tmp_path / "got.parquet", jobs=2, batch_rows=50)
    assert pq.read_table(tmp_path / "got.parquet").equals(pq.read_table(tmp_path / "want.parquet"))


def test_the_command_can_fix_glibcs_mmap_threshold() -> None:
    import os
    import platform

    from kestrix_tools import _native

    # Under AddressSanitizer (the sanitized run preloads it) the allocator is its own, not glibc's.
    glibc = platform.libc_ver()[0] == "glibc" and "asan" not in os.environ.get("LD_PRELOAD", "")
    assert _native.fix_mmap_threshold(128 << 10) == glibc
    for bad in (-1, 2**31):
        with pytest.raises(ValueError):
            _native.fix_mmap_threshold(bad)
