"""The native JSON Lines writer: what json.loads reads back is the batch, byte for byte what the
Arrow-kernel renderer writes, and malformed buffers are refused without reading out of range."""

from __future__ import annotations

import datetime
import json
import math
import struct
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kestrix_tools import _arrow_io
from kestrix_tools.files import decode_file

pa = pytest.importorskip("pyarrow")
native = pytest.importorskip("kestrix_tools._native")
if not hasattr(native, "write_json_lines"):
    pytest.skip("the native module has no JSON Lines writer", allow_module_level=True)

INTEGER_TYPES = {"int8": 8, "int16": 16, "int32": 32, "int64": 64, "uint8": 8, "uint16": 16, "uint32": 32,
                 "uint64": 64}
FLOATS = [0.0, -0.0, 1.0, -1.5, 5e-324, 2.2250738585072014e-308, 1e-7, 1e-6, 1.25e-6, 1e16, 1e15, 1e10,
          999999999.0, 123456789.125, 9007199254740993.0, 1.7976931348623157e308, -1.7976931348623157e308, 0.1]
# Quotes, backslashes, every control character, DEL, non-ASCII, and a lone surrogate as the reader leaves it.
TEXT = st.text(st.one_of(st.characters(codec="utf-8"), st.sampled_from([*map(chr, range(0x20)), '"', "\\", "\x7f"])),
               max_size=40) | st.sampled_from(["", "\\ud800", "x\\udfff\\ud83d", "é\u2028\x85\x1c", "0x" + "ab" * 40])


def integers(name: str) -> st.SearchStrategy[int]:
    bits = INTEGER_TYPES[name]
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if name.startswith("int") else (0, (1 << bits) - 1)
    return st.sampled_from([low, high, 0, -1 if low else 1]) | st.integers(low, high)


def float32(value: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", value))[0])


class Float32(float):
    """A float32 value: written as the shortest digits that read back as the same float32."""


#: (Arrow type, values, what json.loads gives back for a value that is not null)
COLUMNS: dict[str, tuple[Any, st.SearchStrategy[Any], Any]] = {
    **{name: (getattr(pa, name)(), integers(name), None) for name in INTEGER_TYPES},
    "string": (pa.string(), TEXT, None),
    "large_string": (pa.large_string(), TEXT, None),
    "string_view": (pa.string_view(), TEXT, None),
    "bool": (pa.bool_(), st.booleans(), None),
    "float64": (pa.float64(), st.sampled_from(FLOATS) | st.floats(allow_nan=False, allow_infinity=False), None),
    "float32": (pa.float32(), st.floats(width=32, allow_nan=False, allow_infinity=False), None),
    "not_finite": (pa.float64(), st.sampled_from([math.inf, -math.inf, math.nan, 1.0]), None),
    "null": (pa.null(), st.none(), None),
    # The Python renderer's columns: each as its documented JSON.
    "list": (pa.list_(pa.int64()), st.lists(st.integers(-(2**63), 2**63 - 1), max_size=3), None),
    "struct": (pa.struct([("a", pa.string()), ("b", pa.float64())]),
               st.fixed_dictionaries({"a": TEXT, "b": st.floats(allow_nan=False, allow_infinity=False)}), None),
    "binary": (pa.binary(), st.binary(max_size=8), lambda v: "0x" + v.hex()),
    "date": (pa.date32(), st.dates(datetime.date(1, 1, 1)), lambda v: v.isoformat()),
    "dictionary": (pa.dictionary(pa.int32(), pa.string()), TEXT, None),
}


def same(read: Any, wanted: Any) -> bool:
    """Equal, with floats compared bit for bit (-0.0 is not 0.0, 1.0 is not 1)."""
    if isinstance(wanted, Float32):
        return isinstance(read, float) and same(float32(read), float(wanted))
    if isinstance(wanted, float):
        return isinstance(read, float) and (math.isnan(read) and math.isnan(wanted) or
                                           struct.pack("<d", read) == struct.pack("<d", wanted))
    if isinstance(wanted, dict):
        return isinstance(read, dict) and read.keys() == wanted.keys() and all(same(read[k], v)
                                                                              for k, v in wanted.items())
    if isinstance(wanted, list):
        return isinstance(read, list) and len(read) == len(wanted) and all(map(same, read, wanted))
    return type(read) is type(wanted) and read == wanted


@st.composite
def batches(draw: st.DrawFn) -> tuple[Any, list[dict[str, Any]]]:
    rows = draw(st.integers(1, 12))
    kinds = draw(st.lists(st.sampled_from(sorted(COLUMNS)), min_size=0, max_size=6))
    names = draw(st.lists(TEXT, min_size=len(kinds), max_size=len(kinds), unique=True))
    columns, expected = [], []
    for kind in kinds:
        arrow_type, values, reads_as = COLUMNS[kind]
        column = draw(st.lists(st.none() | values, min_size=rows, max_size=rows))
        if kind == "dictionary":
            array = pa.array(column, pa.string()).dictionary_encode()
        else:
            array = pa.array(column, arrow_type)
        columns.append(array)
        if kind == "float32":
            column = [None if v is None else Float32(float32(v)) for v in column]
        expected.append([v if v is None or reads_as is None else reads_as(v) for v in column])
    batch = pa.RecordBatch.from_arrays(columns, names=names) if kinds else \
        pa.record_batch([pa.nulls(rows)], names=["_"]).drop_columns(["_"])
    start = draw(st.integers(0, rows - 1))
    length = draw(st.integers(1, rows - start))
    lines = [{name: values[row] for name, values in zip(names, expected)} for row in range(start, start + length)]
    return batch.slice(start, length), lines


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(batches())
def test_reads_back_as_the_batch_and_matches_the_arrow_renderer(case: tuple[Any, list[dict[str, Any]]]) -> None:
    batch, lines = case
    written = _arrow_io.jsonl_bytes(batch).to_pybytes()
    assert written.endswith(b"\n") and written.count(b"\n") == batch.num_rows
    read = [json.loads(line) for line in written.splitlines()]
    assert all(same(r, w) for r, w in zip(read, lines, strict=True)), (read, lines)
    assert [list(r) for r in read] == [batch.schema.names] * batch.num_rows  # every key, in order
    assert written == _arrow_io._jsonl_bytes_arrow(batch).to_pybytes()


@pytest.mark.parametrize(("array", "line"), [
    (pa.array(['a"b\\c/\n\r\t\b\f', "\x00\x01\x1f\x7f", "é\u2028😀", "\\ud800", ""]),
     [r'"a\"b\\c/\n\r\t\b\f"', r'"\u0000\u0001\u001f' + "\x7f\"", '"é\u2028😀"', r'"\\ud800"', '""']),
    (pa.array([-(2**63), 2**63 - 1, 0, None], pa.int64()), ["-9223372036854775808", "9223372036854775807", "0", "null"]),
    (pa.array([2**64 - 1, 0], pa.uint64()), ["18446744073709551615", "0"]),
    (pa.array([-128, 127], pa.int8()), ["-128", "127"]),
    (pa.array([True, False, None]), ["true", "false", "null"]),
    (pa.array([1.0, -0.0, 0.0, 1e16, 1e15, 1e10, 999999999.0, 1e-7, 1e-6, 1.25e-6, 5e-324, 1.7976931348623157e308,
               0.1, 123456789.125, 2.5e-8]),
     ["1.0", "-0.0", "0.0", "1e+16", "1e+15", "1e+10", "999999999.0", "1e-7", "0.000001", "0.00000125", "5e-324",
      "1.7976931348623157e+308", "0.1", "123456789.125", "2.5e-8"]),
    # float32: the shortest digits that read back as the same float32.
    (pa.array([0.1, 123456789.125, 16777216.0, 1e-45, 3.4028234663852886e38], pa.float32()),
     ["0.1", "123456790.0", "16777216.0", "1e-45", "3.4028235e+38"]),
    (pa.array([math.inf, 1.0]), ["Infinity", "1.0"]),  # not finite: the Python renderer, as json.dumps
    (pa.nulls(2), ["null", "null"]),
])
def test_exact_bytes_at_the_boundaries(array: Any, line: list[str]) -> None:
    batch = pa.RecordBatch.from_arrays([array, pa.array(range(len(array)), pa.int8())], names=['k"\n', "i"])
    wanted = "".join(f'{{"k\\"\\n":{value},"i":{i}}}\n' for i, value in enumerate(line)).encode()
    assert _arrow_io.jsonl_bytes(batch).to_pybytes() == wanted
    assert _arrow_io._jsonl_bytes_arrow(batch).to_pybytes() == wanted


def test_batches_without_rows_or_columns() -> None:
    assert _arrow_io.jsonl_bytes(pa.record_batch({"a": pa.array([], pa.int64())})).to_pybytes() == b""
    empty = pa.record_batch([pa.nulls(3)], names=["_"]).drop_columns(["_"])
    assert _arrow_io.jsonl_bytes(empty).to_pybytes() == b"{}\n" * 3


def test_without_the_native_writer_the_arrow_renderer_writes(monkeypatch: pytest.MonkeyPatch) -> None:
    batch = pa.record_batch({"a": pa.array(["x\n", None]), "b": pa.array([1.0, 2.5])})
    monkeypatch.delattr(native, "write_json_lines")
    assert _arrow_io.jsonl_bytes(batch).to_pybytes() == b'{"a":"x\\n","b":1.0}\n{"a":null,"b":2.5}\n'


@pytest.mark.parametrize(("arrow_type", "offsets"), [
    # What pyarrow's cheap validation lets through: offsets past the data, decreasing, negative.
    (pa.string(), [0, 99, 4]),
    (pa.string(), [0, 3, 2]),
    (pa.large_string(), [0, -4, 4]),
])
def test_offsets_outside_the_data_are_refused(arrow_type: Any, offsets: list[int]) -> None:
    width = pa.int64() if arrow_type == pa.large_string() else pa.int32()
    bad = pa.Array.from_buffers(arrow_type, 2, [None, pa.array(offsets, width).buffers()[1], pa.py_buffer(b"abcd")])
    batch = pa.RecordBatch.from_arrays([pa.array([1, 2], pa.int8()), bad], names=["ok", "bad"])
    with pytest.raises(ValueError, match="column 'bad': an offset points outside the data"):
        _arrow_io.jsonl_bytes(batch)


@pytest.mark.parametrize(("rows", "column", "error"), [
    (-1, (9, 0, None, b"\0" * 8, None), ValueError),
    (2**62, (9, 0, None, b"\0" * 8, None), ValueError),
    (1, (9, 2**62, None, b"\0" * 8, None), ValueError),   # the offset's bytes overflow
    (1, (9, -1, None, b"\0" * 8, None), ValueError),
    (1, (99, 0, None, b"\0" * 8, None), ValueError),      # no such kind
    (1, (15, 0, None, struct.pack("<d", math.nan), None), ValueError),
    (1, (9, 0, None, None, None), ValueError),            # no values at all
    (3, (9, 0, None, b"\0" * 16, None), ValueError),      # values, bits, bitmap, offsets too short
    (9, (5, 0, None, b"\xff", None), ValueError),
    (9, (8, 0, b"\xff", b"\0" * 36, None), ValueError),
    (2, (1, 1, None, struct.pack("<3i", 0, 1, 2), b"abcd"), ValueError),
    (1, (9, 0, None, 5, None), TypeError),                # not a buffer
    (2**40, (0, 0, None, None, None), MemoryError),       # ten terabytes of nulls: refused before writing
])
def test_hostile_arguments_are_refused(rows: int, column: tuple[Any, ...], error: type[Exception]) -> None:
    with pytest.raises(error):
        native.write_json_lines(rows, ["a"], [column])


# ---- Reading JSON Lines ----


@pytest.mark.parametrize("block_size", [1 << 20, 64])
def test_a_line_holding_two_objects_is_one_error_row(tmp_path: Path, block_size: int,
                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    """pyarrow's reader takes two objects on one line as two rows; the line is not JSON."""
    monkeypatch.setattr(_arrow_io, "JSON_BLOCK", block_size)
    (tmp_path / "in.jsonl").write_text('{"revert_data":"0x","i":0}\n{"i":1} {"i":2}\n{"revert_data":"0x","i":3}\n')
    decode_file(tmp_path / "in.jsonl", tmp_path / "out.jsonl", jobs=1)
    rows = [json.loads(line) for line in (tmp_path / "out.jsonl").read_bytes().splitlines()]
    assert [row["i"] for row in rows] == [0, None, 3]
    assert rows[1]["error"].startswith("line 2: not JSON")


LINES = st.one_of(
    st.fixed_dictionaries({}, optional={"a": st.integers(-(2**63), 2**63 - 1), "b": TEXT, "c": st.booleans()}).map(
        lambda row: json.dumps(row, ensure_ascii=False)),
    st.sampled_from(["", "   ", "\r", "[1]", "not json", '{"a":1} {"a":2}', '{"b":"' + "x" * 300 + '"}']))


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(LINES, min_size=1, max_size=30), st.booleans(), st.sampled_from([16, 64, 256, 1 << 20]),
       st.sampled_from(["", ".gz"]))
def test_blocks_hold_every_line_in_order(tmp_path_factory: pytest.TempPathFactory, lines: list[str], last_newline: bool,
                                         block_size: int, suffix: str) -> None:
    """Whatever the block size (lines longer than a block, a last line without its newline), plain
    or compressed: one row per line that is not blank, in order, each line's error at its number."""
    text = "\n".join(lines) + ("\n" if last_newline else "")
    path = tmp_path_factory.mktemp("lines") / f"in.jsonl{suffix}"
    with pa.output_stream(str(path), compression="gzip" if suffix else None) as sink:
        sink.write(text.encode())
    wanted: list[tuple[dict[str, Any] | None, str | None]] = []
    for number, line in enumerate(text.split("\n"), 1):
        if not line.strip():
            continue
        try:
            row = json.loads(line)
        except ValueError:
            row = None
        wanted.append((row, None) if isinstance(row, dict) else (None, f"line {number}: "))
    got: list[tuple[dict[str, Any] | None, str | None]] = []
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_arrow_io, "JSON_BLOCK", block_size)
        reader = _arrow_io.open_reader(path, _arrow_io.kind_of(path, reading=True), 1000, False)
        for block in reader.blocks:
            errors = block.line_errors.to_pylist() if block.line_errors is not None else [None] * block.batch.num_rows
            got.extend((None, error) if error else (row, None) for row, error in zip(block.batch.to_pylist(), errors))
    assert len(got) == len(wanted)
    for (row, error), (wanted_row, wanted_error) in zip(got, wanted):
        if wanted_error is not None:
            assert error is not None and error.startswith(wanted_error)
        else:
            assert error is None and row is not None and wanted_row is not None
            assert {k: v for k, v in row.items() if v is not None} == {k: v for k, v in wanted_row.items()
                                                                     if v is not None}


@pytest.mark.parametrize("block", [b"", b"\n", b" \t\r\n", b"{}\n\n{}\n", b"no end", b"a\n \n\r\n\x0b\n \x0c\n", b"\n" * 70])
def test_line_counts_with_and_without_the_native_module(block: bytes, monkeypatch: pytest.MonkeyPatch) -> None:
    lines = block.split(b"\n")[:-1]
    blank = sum(1 for line in lines if not line.strip(b" \t\r"))
    assert native.count_json_lines(block) == (len(lines), blank)
    assert _arrow_io._line_counts(memoryview(block)) == (len(lines), len(lines) - blank)
    monkeypatch.delattr(native, "count_json_lines")
    assert _arrow_io._line_counts(memoryview(block)) == (len(lines), len(lines) - blank)
