"""The native CSV/TSV writer: byte for byte what pyarrow's CSVWriter writes for the same batch, and
TableWriter's rendered CSV batches joining files whose columns grow or change type."""

from __future__ import annotations

import datetime
import decimal
import gzip
import math
import struct
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kestrix_tools import _arrow_io

pa = pytest.importorskip("pyarrow")
native = pytest.importorskip("kestrix_tools._native")
if not hasattr(native, "write_csv"):
    pytest.skip("the native module has no CSV writer", allow_module_level=True)

from test_jsonl_writer import FLOATS, INTEGER_TYPES, TEXT, integers  # noqa: E402

#: Text as CSV makes it hard: quotes, both delimiters, line ends, CR.
CSV_TEXT = TEXT | st.text(st.sampled_from(['"', ",", "\t", "\n", "\r", "a", "é"]), max_size=8)
NOT_FINITE = [math.nan, -math.nan, math.inf, -math.inf, struct.unpack("<d", b"\x01\0\0\0\0\0\xf8\xff")[0]]

#: Arrow type -> values (None mixed in by the strategy below).
COLUMNS: dict[str, tuple[Any, st.SearchStrategy[Any]]] = {
    **{name: (getattr(pa, name)(), integers(name)) for name in INTEGER_TYPES},
    "string": (pa.string(), CSV_TEXT),
    "large_string": (pa.large_string(), CSV_TEXT),
    "string_view": (pa.string_view(), CSV_TEXT),
    "bool": (pa.bool_(), st.booleans()),
    "float64": (pa.float64(), st.sampled_from(FLOATS + NOT_FINITE) | st.floats()),
    "float32": (pa.float32(), st.floats(width=32) | st.sampled_from([math.nan, -math.inf, 1e-45, 16777217.0])),
    "float16": (pa.float16(), st.floats(width=16, allow_nan=False)),
    "null": (pa.null(), st.none()),
    "date": (pa.date32(), st.dates(datetime.date(1, 1, 1))),
    "timestamp": (pa.timestamp("us", "UTC"), st.datetimes(timezones=st.just(datetime.timezone.utc))),
    "decimal": (pa.decimal128(12, 3), st.decimals(-(10**8), 10**8, places=3)),
    # What _csv_ready turns into text first.
    "binary": (pa.binary(), st.binary(max_size=8)),
    "list": (pa.list_(pa.int64()), st.lists(st.integers(-(2**63), 2**63 - 1), max_size=3)),
    "dictionary": (pa.dictionary(pa.int32(), pa.string()), CSV_TEXT),
}


def arrow_csv(batch: Any, delimiter: str, header: bool) -> bytes:
    """What pyarrow's CSVWriter writes for ``batch``."""
    sink = pa.BufferOutputStream()
    writer = pa.csv.CSVWriter(sink, batch.schema,
                              write_options=pa.csv.WriteOptions(delimiter=delimiter, include_header=header))
    writer.write_batch(batch)
    writer.close()
    return bytes(sink.getvalue().to_pybytes())


@st.composite
def batches(draw: st.DrawFn) -> Any:
    rows = draw(st.integers(1, 12))
    kinds = draw(st.lists(st.sampled_from(sorted(COLUMNS)), min_size=0, max_size=6))
    names = draw(st.lists(CSV_TEXT, min_size=len(kinds), max_size=len(kinds), unique=True))
    columns = []
    for kind in kinds:
        arrow_type, values = COLUMNS[kind]
        column = draw(st.lists(st.none() | values, min_size=rows, max_size=rows))
        if kind == "dictionary":
            columns.append(pa.array(column, pa.string()).dictionary_encode())
        else:
            columns.append(pa.array(column, arrow_type))
    batch = pa.RecordBatch.from_arrays(columns, names=names) if kinds else \
        pa.record_batch([pa.nulls(rows)], names=["_"]).drop_columns(["_"])
    start = draw(st.integers(0, rows - 1))
    return batch.slice(start, draw(st.integers(0, rows - start)))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(batches(), st.sampled_from([",", "\t", ";", "|"]), st.booleans())
def test_writes_what_pyarrows_csv_writer_writes(batch: Any, delimiter: str, header: bool) -> None:
    ready = _arrow_io._csv_ready(batch)
    assert _arrow_io.csv_bytes(ready, delimiter, header=header).to_pybytes() == arrow_csv(ready, delimiter, header)


@pytest.mark.parametrize(("array", "fields"), [
    (pa.array(['a"b', "", None, "x,y\tz", "l1\nl2\r", "é😀", '"']),
     ['"a""b"', '""', "", '"x,y\tz"', '"l1\nl2\r"', '"é😀"', '""""']),
    (pa.array([-(2**63), 2**63 - 1, None], pa.int64()), ["-9223372036854775808", "9223372036854775807", ""]),
    (pa.array([2**64 - 1, 0], pa.uint64()), ["18446744073709551615", "0"]),
    (pa.array([True, False, None]), ["true", "false", ""]),
    (pa.array([1.0, -0.0, 1e16, 1e15, 999999999.0, 1e-7, 1e-6, 5e-324, 0.1, math.nan, math.inf, -math.inf, None]),
     ["1", "-0", "1e+16", "1e+15", "999999999", "1e-7", "0.000001", "5e-324", "0.1", "nan", "inf", "-inf", ""]),
    (pa.array([123456789.125, 16777216.0, 1e-45], pa.float32()), ["123456790", "16777216", "1e-45"]),
    (pa.nulls(2), ["", ""]),
    (pa.array([b"\x00\xff", None]), ['"0x00ff"', ""]),  # bytes as their hex text
])
def test_exact_bytes_at_the_boundaries(array: Any, fields: list[str]) -> None:
    batch = _arrow_io._csv_ready(pa.RecordBatch.from_arrays([array, pa.array(range(len(array)), pa.int8())],
                                                            names=['k"\n', "i"]))
    wanted = '"k""\n","i"\n' + "".join(f"{field},{i}\n" for i, field in enumerate(fields))
    assert _arrow_io.csv_bytes(batch, ",", header=True).to_pybytes() == wanted.encode()


def test_a_batch_without_columns_writes_nothing() -> None:
    empty = pa.record_batch([pa.nulls(3)], names=["_"]).drop_columns(["_"])
    assert _arrow_io.csv_bytes(empty, ",", header=True).to_pybytes() == arrow_csv(empty, ",", True) == b""


def test_without_the_native_writer_pyarrow_writes(monkeypatch: pytest.MonkeyPatch) -> None:
    batch = pa.record_batch({"a": pa.array(['x"', None, ""]), "b": pa.array([1.0, math.nan, None])})
    monkeypatch.delattr(native, "write_csv")
    assert _arrow_io.csv_bytes(batch, "\t", header=True).to_pybytes() == b'"a"\t"b"\n"x"""\t1\n\tnan\n""\t\n'


@pytest.mark.parametrize(("args", "error"), [
    ((1, ["a"], [(9, 0, None, b"\0" * 8, None)], ",,", True), ValueError),   # delimiters of two characters
    ((1, ["a"], [(9, 0, None, b"\0" * 8, None)], '"', True), ValueError),
    ((1, ["a"], [(9, 0, None, b"\0" * 8, None)], "\n", True), ValueError),
    ((1, ["a"], [(9, 0, None, b"\0" * 8, None)], "é", True), ValueError),
    ((1, ["a"], [(9, 0, None, b"\0" * 8, None)], 44, True), ValueError),
    ((2, ["a"], [(9, 0, None, b"\0" * 8, None)], ",", False), ValueError),   # values too short
    ((1, ["a"], [(1, 0, None, struct.pack("<2i", 0, 9), b"abcd")], ",", False), ValueError),  # offset past the data
    ((1, ["a", "b"], [(9, 0, None, b"\0" * 8, None)], ",", False), ValueError),
    ((2**40, ["a"], [(0, 0, None, None, None)], ",", False), MemoryError),
])
def test_hostile_arguments_are_refused(args: tuple[Any, ...], error: type[Exception]) -> None:
    with pytest.raises(error):
        native.write_csv(*args)


# ---- TableWriter: rendered on the decoding threads, appended when the columns are the file's ----


@pytest.mark.parametrize("name", ["out.csv", "out.tsv.gz", "out.csv.zst"])
@pytest.mark.parametrize("prepared", [True, False])
def test_late_and_retyped_columns_join_the_file(tmp_path: Path, name: str, prepared: bool) -> None:
    path = tmp_path / name
    kind = _arrow_io.kind_of(path, reading=False)
    writer = _arrow_io.TableWriter(path, kind)
    parts = [
        pa.record_batch({"a": pa.array(["x", None]), "n": pa.array([1, 2])}),
        pa.record_batch({"a": pa.array(['"q"', ""]), "n": pa.array([3, None])}),
        pa.record_batch({"a": pa.array(["y"]), "n": pa.array([1.5]), "late": pa.array([b"\x01"])}),
        pa.record_batch({"a": pa.array(["z"]), "n": pa.array([4])}),
    ]
    for part in parts:
        writer.write(writer.prepare(part) if prepared else part)
    writer.close(empty_schema=parts[0].schema)
    assert not [p for p in tmp_path.iterdir() if p != path]  # segments removed
    read = pa.csv.read_csv(path, parse_options=pa.csv.ParseOptions(delimiter="\t" if ".tsv" in name else ","),
                           convert_options=pa.csv.ConvertOptions(
                               column_types={"a": pa.string(), "n": pa.string(), "late": pa.string()},
                               strings_can_be_null=True, quoted_strings_can_be_null=False))
    assert read.to_pydict() == {"a": ["x", None, '"q"', "", "y", "z"], "n": ["1", "2", "3", None, "1.5", "4"],
                                "late": [None, None, None, None, "0x01", None]}


def test_one_schema_is_written_as_pyarrow_writes_the_whole_table(tmp_path: Path) -> None:
    """The header once, then each prepared batch as it is, sliced batches included."""
    batch = pa.record_batch({"id": pa.array(range(6), pa.int64()), "t": pa.array(["a", None, "", "b\n", 'c"', "d"]),
                             "d": pa.array([decimal.Decimal("1.5")] * 6, pa.decimal128(4, 1))})
    writer = _arrow_io.TableWriter(tmp_path / "out.csv", _arrow_io.kind_of(tmp_path / "out.csv", reading=False))
    for part in (batch.slice(0, 2), batch.slice(2, 0), batch.slice(2)):
        writer.write(writer.prepare(part))
    writer.close(empty_schema=batch.schema)
    assert (tmp_path / "out.csv").read_bytes() == arrow_csv(batch, ",", True)


@pytest.mark.parametrize("name", ["out.csv", "out.tsv.gz"])
def test_a_file_without_rows_holds_the_header(tmp_path: Path, name: str) -> None:
    path = tmp_path / name
    writer = _arrow_io.TableWriter(path, _arrow_io.kind_of(path, reading=False))
    writer.close(empty_schema=pa.schema([("a", pa.string()), ("b", pa.int64())]))
    data = gzip.decompress(path.read_bytes()) if name.endswith(".gz") else path.read_bytes()
    assert data == (b'"a"\t"b"\n' if ".tsv" in name else b'"a","b"\n')


def test_string_views_are_written_as_text(tmp_path: Path) -> None:
    """pyarrow's CSVWriter refuses a string view column ("Unsupported Type")."""
    batch = pa.record_batch({"v": pa.array(['a"', None, ""], pa.string_view())})
    writer = _arrow_io.TableWriter(tmp_path / "out.csv", _arrow_io.kind_of(tmp_path / "out.csv", reading=False))
    writer.write(writer.prepare(batch))
    writer.close(empty_schema=batch.schema)
    assert (tmp_path / "out.csv").read_bytes() == b'"v"\n"a"""\n\n""\n'


@pytest.mark.parametrize("prepared", [True, False])
def test_a_null_row_of_a_one_column_segment_survives_the_rewrite(tmp_path: Path, prepared: bool) -> None:
    """Such a row is an empty line, which pyarrow's CSV reader skips unless told not to."""
    path = tmp_path / "out.csv"
    writer = _arrow_io.TableWriter(path, _arrow_io.kind_of(path, reading=False))
    for part in (pa.record_batch({"a": pa.array([None, "x"])}), pa.record_batch({"a": ["y"], "b": pa.array([1])})):
        writer.write(writer.prepare(part) if prepared else part)
    writer.close(empty_schema=pa.schema([]))
    assert path.read_bytes() == b'"a","b"\n,\n"x",\n"y",1\n'


def test_prepared_batches_of_every_type_join_a_wider_file(tmp_path: Path) -> None:
    """A batch rendered for columns the file no longer has is conformed and written again; it
    reads as the batch it was rendered from."""
    batch = pa.record_batch({
        "t": pa.array(['a"', None, "", "l\nr\r"]), "i": pa.array([-(2**63), None, 0, 2**63 - 1]),
        "u": pa.array([2**64 - 1, 0, None, 1], pa.uint64()), "f": pa.array([-0.0, math.nan, None, 5e-324]),
        "g": pa.array([0.1, None, 16777217.0, -math.inf], pa.float32()), "b": pa.array([True, None, False, True]),
        "d": pa.array([datetime.date(1, 1, 1), None, datetime.date(2024, 2, 29), datetime.date(9999, 12, 31)]),
        "m": pa.array([decimal.Decimal("-1.5"), None, decimal.Decimal("0.0"), decimal.Decimal("99.9")],
                      pa.decimal128(3, 1)),
        "s": pa.array([datetime.datetime(2024, 1, 1, 0, 0, 0, 1), None, datetime.datetime(1970, 1, 1),
                       datetime.datetime(1, 1, 1)], pa.timestamp("us")),
        "x": pa.array([b"\x00", None, b"", b"\xff"]),
    })
    written = []
    for prepared in (True, False):
        path = tmp_path / f"{prepared}.csv"
        writer = _arrow_io.TableWriter(path, _arrow_io.kind_of(path, reading=False))
        ahead = writer.prepare(batch) if prepared else batch  # rendered before the file widened
        writer.write(pa.record_batch({"t": pa.array(["first"]), "late": pa.array([1])}))
        writer.write(ahead)
        writer.close(empty_schema=batch.schema)
        written.append(path.read_bytes())
    assert written[0] == written[1]
    rows = written[0].split(b"\n", 2)[2]  # the rows of `batch`, after the header and the first row
    assert rows.replace(b",\n", b"\n").replace(b",", b"") == \
        arrow_csv(_arrow_io._csv_ready(batch), ",", False).replace(b",", b"")
