"""kestrix's own Parquet writer against readers and a writer it did not write: pyarrow's reader
and ``pq.write_table``, polars' reader (its own Rust code), pyarrow.dataset's pruning."""

from __future__ import annotations

import math
import os
import threading
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ds = pytest.importorskip("pyarrow.dataset")
pl = pytest.importorskip("polars")

from kestrix_tools import _arrow_io  # noqa: E402
from kestrix_tools._arrow_io import ParquetStream, _parquet_layout  # noqa: E402
from kestrix_tools.files import decode_file  # noqa: E402

native = pytest.importorskip("kestrix_tools._native")
if not hasattr(native, "parquet_writer"):
    pytest.skip("built without the native Parquet writer", allow_module_level=True)

# Each type the native writer takes, with values at its edges.
INTS = {pa.int8(): (-2**7, 2**7 - 1), pa.int16(): (-2**15, 2**15 - 1), pa.int32(): (-2**31, 2**31 - 1),
        pa.int64(): (-2**63, 2**63 - 1), pa.uint8(): (0, 2**8 - 1), pa.uint16(): (0, 2**16 - 1),
        pa.uint32(): (0, 2**32 - 1), pa.uint64(): (0, 2**64 - 1)}
FLOATS = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1.5, -2.25e300, 5e-324]
TEXTS = ["", "a", "é∂ü", "\u2028\x00nul", "x" * 70, "Ownable: caller is not the owner"]
BYTES = [b"", b"\x00", b"\x00\xff\x00", b"0x08c379a0", bytes(range(256))]


def value_strategy(kind: Any) -> Any:
    if kind in INTS:
        low, high = INTS[kind]
        return st.one_of(st.sampled_from([low, high, 0]), st.integers(low, high))
    if kind == pa.bool_():
        return st.booleans()
    if pa.types.is_floating(kind):
        return st.one_of(st.sampled_from(FLOATS), st.floats(width=32 if kind == pa.float32() else 64))
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return st.one_of(st.sampled_from(TEXTS), st.text(max_size=12))
    return st.one_of(st.sampled_from(BYTES), st.binary(max_size=12))


TYPES = [*INTS, pa.bool_(), pa.float32(), pa.float64(), pa.string(), pa.large_string(), pa.binary(), pa.large_binary()]


def write_native(path: Path, schema: Any, batches: list[Any], *, threads: int = 1,
                 statistics: list[str] | None = None) -> None:
    stream = ParquetStream.open(path, schema, schema.names if statistics is None else statistics, threads)
    assert stream is not None, "the native writer refused a schema it takes"
    for batch in batches:
        stream.write(batch)
    stream.close()


def bits(table: Any) -> Any:
    """The table with floats as their bit patterns: NaN (payload too) and -0.0 compared exactly."""
    columns = [c.combine_chunks().view(pa.int32() if c.type == pa.float32() else pa.int64())
               if pa.types.is_floating(c.type) else c.combine_chunks() for c in table.columns]
    return pa.table(columns, names=table.column_names)


def assert_reads_back(path: Path, want: Any) -> None:
    got = pq.read_table(path)
    assert got.schema.equals(want.schema, check_metadata=True), (got.schema, want.schema)
    assert bits(got).equals(bits(want))
    # polars' own reader: the same values (its frames compare NaN equal to NaN).
    from polars.testing import assert_frame_equal

    assert_frame_equal(pl.read_parquet(path), pl.from_arrow(want), check_exact=True)


def group_sizes(path: Path) -> list[int]:
    meta = pq.ParquetFile(path).metadata
    return [meta.row_group(i).num_rows for i in range(meta.num_row_groups)]


@st.composite
def tables(draw: Any) -> tuple[Any, list[Any]]:
    """A table of random typed columns, and the batches (sliced, so with Arrow offsets) it is
    written in."""
    kinds = draw(st.lists(st.sampled_from(TYPES), min_size=1, max_size=6))
    rows = draw(st.integers(0, 120))
    cuts = sorted(draw(st.lists(st.integers(0, rows), max_size=4)))
    fields, columns = [], []
    for i, kind in enumerate(kinds):
        nullable = draw(st.booleans())
        values = draw(st.lists(value_strategy(kind), min_size=rows, max_size=rows))
        if nullable:
            nulls = draw(st.sampled_from(["none", "some", "all"]))
            values = [None if nulls == "all" or (nulls == "some" and draw(st.booleans())) else v for v in values]
        # Rows before the slice: a nonzero offset into every buffer; null ones give even a column
        # without nulls a validity buffer.
        pad = draw(st.integers(0, 9))
        filler = None if not values or draw(st.booleans()) else values[0]
        array = pa.array([filler] * pad + values, kind, from_pandas=False).slice(pad)
        fields.append(pa.field(f"c{i}", kind, nullable=nullable, metadata={"n": str(i)} if i == 0 else None))
        columns.append(array)
    keys = draw(st.integers(0, 20))  # past 14 entries the footer's list header is the long form
    metadata = {"origin": "kestrix test", "é": "ü" * 200, **{f"k{i}": str(i) for i in range(keys)}}
    schema = pa.schema(fields, metadata=metadata)
    table = pa.Table.from_arrays(columns, schema=schema)
    bounds = [0, *cuts, rows]
    batches = [pa.RecordBatch.from_arrays([c.slice(a, b - a) for c in columns], schema=schema)
               for a, b in zip(bounds, bounds[1:])]
    return table, batches


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=tables(), group_rows=st.sampled_from([1, 7, 50, 1 << 20]), threads=st.sampled_from([1, 2]))
def test_random_tables_read_back_equal(tmp_path: Path, case: tuple[Any, list[Any]], group_rows: int,
                                       threads: int) -> None:
    table, batches = case
    path = tmp_path / f"t{os.getpid()}.parquet"
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_arrow_io, "ROW_GROUP_ROWS", group_rows)
        write_native(path, table.schema, batches, threads=threads)
    assert_reads_back(path, table)
    whole, rest = divmod(table.num_rows, group_rows)
    assert group_sizes(path) == [group_rows] * whole + ([rest] if rest else [])


def boundary_table(rows: int) -> Any:
    ids = pa.array(range(rows), pa.int64())
    return pa.table({
        "id": ids,
        "text": pa.array([None if i % 5 == 0 else f"v{i % 37}" for i in range(rows)], pa.string()),
        "flag": pa.array([None if i % 7 == 0 else i % 3 == 0 for i in range(rows)], pa.bool_()),
        "nothing": pa.nulls(rows, pa.float64()),
        "same": pa.array([b"\x00one"] * rows, pa.large_binary()),
        "small": pa.array([i % 256 for i in range(rows)], pa.uint8()),
        # past row 20,000 a page of nulls alone follows the dictionary-encoded one
        "sparse": pa.array([i % 3 if i < 20_000 else None for i in range(rows)], pa.int16()),
    })


@pytest.mark.parametrize(("rows", "batch", "group_rows", "group_bytes", "groups"), [
    (0, None, 1 << 20, 1 << 27, []),  # nothing written: the schema alone
    (0, 0, 1 << 20, 1 << 27, []),  # an empty batch
    (1, 1, 1 << 20, 1 << 27, [1]),
    (19_999, 19_999, 1 << 20, 1 << 27, [19_999]),  # one page short of the cut
    (20_000, 20_000, 1 << 20, 1 << 27, [20_000]),
    (20_001, 20_001, 1 << 20, 1 << 27, [20_001]),
    (40_001, 7_001, 1 << 20, 1 << 27, [40_001]),  # pages cut inside batches
    (999, 600, 1_000, 1 << 27, [999]),
    (1_000, 600, 1_000, 1 << 27, [1_000]),
    (1_001, 600, 1_000, 1 << 27, [1_000, 1]),
    (2_401, 600, 1_000, 1 << 27, [1_000, 1_000, 401]),  # batches straddle the boundaries
    (1_000, 300, 1 << 20, 1, [300, 300, 300, 100]),  # byte budget: cut after every batch
])
@pytest.mark.parametrize("threads", [1, 2])
def test_boundaries(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, rows: int, batch: int | None,
                    group_rows: int, group_bytes: int, groups: list[int], threads: int) -> None:
    monkeypatch.setattr(_arrow_io, "ROW_GROUP_ROWS", group_rows)
    monkeypatch.setattr(_arrow_io, "ROW_GROUP_BYTES", group_bytes)
    table = boundary_table(rows)
    batches = ([] if batch is None else [_arrow_io._empty_batch(table.schema)] if batch == 0
               else table.to_batches(max_chunksize=batch))
    write_native(tmp_path / "b.parquet", table.schema, batches, threads=threads)
    assert_reads_back(tmp_path / "b.parquet", table)
    assert group_sizes(tmp_path / "b.parquet") == groups


def test_a_dictionary_past_its_limit_falls_back_to_plain_pages(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """All-distinct long text: past 1 MiB of dictionary the chunk goes on in plain pages, and the
    next row group starts a dictionary again."""
    import base64

    monkeypatch.setattr(_arrow_io, "ROW_GROUP_ROWS", 14_000)
    rows = 17_000  # the first chunk of text: 1 MiB of dictionary, then plain pages cut at 1 MiB
    raw = [os.urandom(150) for _ in range(rows)]  # 200 bytes of text, 150 of binary, that Snappy cannot shrink
    table = pa.table({"id": pa.array(range(rows), pa.int32()),
                      "text": pa.array([None if i % 11 == 0 else base64.b64encode(r).decode()
                                        for i, r in enumerate(raw)], pa.large_string()),
                      "raw": pa.array(raw, pa.binary())})
    write_native(tmp_path / "d.parquet", table.schema, table.to_batches(max_chunksize=5_000), threads=2)
    assert_reads_back(tmp_path / "d.parquet", table)
    pq.write_table(table, tmp_path / "arrow.parquet", row_group_size=14_000)
    assert_statistics_match(tmp_path / "d.parquet", tmp_path / "arrow.parquet", table.column_names)
    meta = pq.ParquetFile(tmp_path / "d.parquet").metadata
    assert [meta.row_group(g).num_rows for g in range(2)] == [14_000, 3_000]
    for g, dictionary_values in ((0, None), (1, 3_000)):
        for c in (1, 2):
            chunk = meta.row_group(g).column(c)
            assert chunk.has_dictionary_page and {"PLAIN", "RLE_DICTIONARY"} <= set(chunk.encodings)
            dictionary = chunk.data_page_offset - chunk.dictionary_page_offset
            if dictionary_values is None:  # cut a little past 1 MiB, well before the chunk's 1.3-1.8 MB
                assert 0.97 * (1 << 20) < dictionary < (1 << 20) + 1024 * 210, (c, dictionary)
            else:  # the whole group fits a new dictionary
                assert dictionary > 0.8 * dictionary_values * 150, (c, dictionary)



def test_numbers_past_a_dictionary(tmp_path: Path) -> None:
    """Distinct fixed-width values: the dictionary (8 and 4 bytes a value) passes 1 MiB after
    131,072 and 262,144 values, and the rest of the chunk is plain."""
    rows = 300_000
    table = pa.table({"i": pa.array([(i * 0x9E3779B97F4A7C15) % 2**64 - 2**63 for i in range(rows)], pa.int64()),
                      "u": pa.array([None if i % 10 == 0 else (i * 2654435761) % 2**32 for i in range(rows)],
                                    pa.uint32()),
                      "f": pa.array([i + 0.5 for i in range(rows)], pa.float32())})
    write_native(tmp_path / "n.parquet", table.schema, table.to_batches(max_chunksize=70_000), threads=2)
    pq.write_table(table, tmp_path / "arrow.parquet")
    assert_reads_back(tmp_path / "n.parquet", table)
    assert_statistics_match(tmp_path / "n.parquet", tmp_path / "arrow.parquet", table.column_names)


STATS_ROWS = 3_000


def stats_table() -> Any:
    import random

    rng = random.Random(5)
    n = STATS_ROWS
    floats = [rng.choice([math.nan, -0.0, 0.0, 1.0, -1.0, rng.uniform(-1e9, 1e9)]) for _ in range(n)]
    floats[1000:2000] = [rng.choice([math.nan, 0.0, -0.0]) for _ in range(1000)]  # a group of zeros and NaN
    columns: dict[str, Any] = {
        "id": pa.array(rng.sample(range(n), n), pa.int64()),
        "f64": pa.array(floats, pa.float64()),
        "f32": pa.array([None if i % 9 == 0 else v for i, v in enumerate(floats)], pa.float32()),
        "nan": pa.array([math.nan] * n, pa.float64()),
        "flag": pa.array([i % 1500 == 7 for i in range(n)], pa.bool_()),
        "text": pa.array([None if i % 4 == 0 else rng.choice(TEXTS + ["zz", "\xff"]) for i in range(n)], pa.string()),
        "long": pa.array(["y" * (5000 if i == 5 else 10) for i in range(n)], pa.string()),  # past 4096: no bounds
        "message": pa.array([f"m{i}" for i in range(n)], pa.string()),  # free text: no bounds by design
        "bin": pa.array([rng.choice(BYTES) for _ in range(n)], pa.binary()),
        "none": pa.nulls(n, pa.int32()),
    }
    for kind, (low, high) in INTS.items():
        columns[str(kind)] = pa.array([rng.choice([low, high, rng.randint(low, high)]) if i % 13 else None
                                       for i in range(n)], kind)
    return pa.table(columns)


def test_statistics_match_pyarrows_own(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_arrow_io, "ROW_GROUP_ROWS", 1_000)
    table = stats_table()
    names = [n for n in table.column_names if n not in _arrow_io.UNSORTED_TEXT]
    write_native(tmp_path / "ours.parquet", table.schema, table.to_batches(max_chunksize=700), statistics=names)
    pq.write_table(table, tmp_path / "arrow.parquet", row_group_size=1_000)
    assert_reads_back(tmp_path / "ours.parquet", table)
    assert_statistics_match(tmp_path / "ours.parquet", tmp_path / "arrow.parquet", table.column_names)


def assert_statistics_match(path: Path, arrow_path: Path, names: list[str]) -> None:
    ours, theirs = pq.ParquetFile(path).metadata, pq.ParquetFile(arrow_path).metadata
    assert ours.num_row_groups == theirs.num_row_groups
    for g in range(ours.num_row_groups):
        for c, name in enumerate(names):
            mine, want = ours.row_group(g).column(c).statistics, theirs.row_group(g).column(c).statistics
            assert mine.null_count == want.null_count, (g, name)
            if name in _arrow_io.UNSORTED_TEXT:
                assert not mine.has_min_max
                continue
            assert mine.has_min_max == want.has_min_max, (g, name)
            if want.has_min_max:  # repr: -0.0 apart from 0.0
                assert (repr(mine.min), repr(mine.max)) == (repr(want.min), repr(want.max)), (g, name)


@pytest.mark.parametrize(("column", "low", "high"), [
    ("id", 1_234, 1_300), ("uint64", 2**63, 2**64 - 1), ("uint32", 2**31, 2**32 - 1), ("int8", -128, -1),
    ("int64", -2**63, -2**62),
])
def test_dataset_filters_prune_to_the_right_rows(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, column: str,
                                                 low: int, high: int) -> None:
    """pyarrow.dataset skips row groups by their statistics: bounds in the wrong order (unsigned
    values compared as signed) would lose rows."""
    monkeypatch.setattr(_arrow_io, "ROW_GROUP_ROWS", 500)
    table = stats_table().sort_by(column)  # row groups of disjoint ranges, so most are skipped
    write_native(tmp_path / "f.parquet", table.schema, table.to_batches(max_chunksize=800))
    field, kind = ds.field(column), table.schema.field(column).type
    wanted = (field >= pa.scalar(low, kind)) & (field <= pa.scalar(high, kind))
    got = ds.dataset(tmp_path / "f.parquet").to_table(filter=wanted)
    want = [row["id"] for row in table.to_pylist() if row[column] is not None and low <= row[column] <= high]
    assert want and got["id"].to_pylist() == want


# ---- misuse and hostile buffers, straight to the native functions ----

INT64, TEXT = 4, 11  # ParquetKind
FIELDS = [("n", INT64, False, True), ("s", TEXT, True, True)]


def writer(fields: list[tuple[str, int, bool, bool]] = FIELDS) -> Any:
    return native.parquet_writer(fields, 2, 1 << 20, 1 << 27, "test", [], 0)


def good_batch() -> Any:
    return pa.record_batch({"n": pa.array([1, 2, 3], pa.int64()), "s": pa.array(["a", None, "ccc"])})


def layouts(batch: Any) -> list[Any]:
    return [_parquet_layout(pa, column) for column in batch.columns]


def put(handle: Any, batch: Any, columns: list[Any] | None = None, rows: int | None = None) -> Any:
    spilled, pieces = native.parquet_write(handle, batch.num_rows if rows is None else rows, batch.schema.names,
                                           layouts(batch) if columns is None else columns)
    assert spilled == []  # nothing is spilled without a budget
    return pieces


def text_layout(offsets: list[int], data: bytes, offset: int = 0) -> tuple[Any, ...]:
    return (1, offset, None, pa.py_buffer(pa.array(offsets, pa.int32()).buffers()[1]), pa.py_buffer(data))


def int_layout(count: int) -> tuple[Any, ...]:
    return (9, 0, None, pa.py_buffer(bytes(8 * count)), None)


BAD_COLUMNS = {  # name -> (columns, rows); offsets are read as the values are encoded
    "offsets past the data": ([int_layout(3), text_layout([0, 1, 2, 99], b"abc")], 3),
    "offsets going back": ([int_layout(3), text_layout([0, 2, 1, 3], b"abc")], 3),
    "negative offset": ([int_layout(3), text_layout([-4, 1, 2, 3], b"abc")], 3),
}
CHECKED_FIRST = {  # refused before anything is encoded: the writer goes on
    "values too short": ([int_layout(2), text_layout([0, 1, 2, 3], b"abc")], 3),
    "too few offsets": ([int_layout(3), text_layout([0, 1, 2], b"abc")], 3),
    "Arrow offset past the end": ([int_layout(3), text_layout([0, 1, 2, 3], b"abc", offset=2)], 3),
    "negative Arrow offset": ([int_layout(3), text_layout([0, 1, 2, 3], b"abc", offset=-1)], 3),
    "validity too short": ([(9, 0, pa.py_buffer(b"\xff"), pa.py_buffer(bytes(80)), None),
                            text_layout([0] * 11, b"")], 10),
    "one column missing": ([int_layout(3)], 3),
    "int32 for int64": ([(8, 0, None, pa.py_buffer(bytes(12)), None), text_layout([0, 1, 2, 3], b"abc")], 3),
    "integers for text": ([int_layout(3), int_layout(3)], 3),
    "negative rows": ([int_layout(3), text_layout([0, 1, 2, 3], b"abc")], -1),
}


@pytest.mark.parametrize("case", [*BAD_COLUMNS, *CHECKED_FIRST])
def test_hostile_buffers_are_refused_and_lose_nothing(tmp_path: Path, case: str) -> None:
    columns, rows = {**BAD_COLUMNS, **CHECKED_FIRST}[case]
    handle = writer()
    pieces = put(handle, good_batch())
    names = ["n", "s"][:len(columns)]
    with pytest.raises(ValueError, match=None if case in CHECKED_FIRST or len(columns) < 2 else "'s'"):
        native.parquet_write(handle, rows, names, columns)
    if case in BAD_COLUMNS:  # found half way through the row group: the writer takes nothing more
        with pytest.raises(RuntimeError):
            put(handle, good_batch())
        return
    pieces += put(handle, good_batch()) + native.parquet_finish(handle)
    (tmp_path / "h.parquet").write_bytes(b"".join(bytes(p) for p in pieces))
    assert pq.read_table(tmp_path / "h.parquet").to_pylist() == good_batch().to_pylist() * 2


def test_misuse_gets_clear_errors() -> None:
    handle = writer()
    bad = pa.record_batch({"n": pa.array([1, None, 3], pa.int64()), "s": pa.array(["a", "b", "c"])})
    with pytest.raises(ValueError, match="'n'"):  # a null where the field takes none, named
        put(handle, bad)
    with pytest.raises(RuntimeError):  # the row group is half written: nothing more is taken
        put(handle, good_batch())
    done = writer()
    native.parquet_finish(done)
    with pytest.raises(RuntimeError):
        put(done, good_batch())
    with pytest.raises(RuntimeError):
        native.parquet_finish(done)
    with pytest.raises((TypeError, ValueError)):
        native.parquet_write(object(), 3, ["n", "s"], layouts(good_batch()))
    for fields in ([], [("x", 99, True, True)], [("x", -1, True, True)]):
        with pytest.raises((ValueError, RuntimeError)):
            writer(fields)
    for threads, group_rows, group_bytes, spill in ((0, 10, 10, 0), (1, 0, 10, 0), (1, 10, 0, 0), (1000, 10, 10, 0),
                                                    (1, 10, 10, -1)):
        with pytest.raises((ValueError, RuntimeError)):
            native.parquet_writer(FIELDS, threads, group_rows, group_bytes, "", [], spill)


def test_memo_rows_that_cannot_be_the_batchs_are_refused_or_left_unused(tmp_path: Path) -> None:
    handle = writer()
    names = ["n", "s"]
    with pytest.raises(ValueError, match="outside the batch"):
        native.parquet_write(handle, 3, names, layouts(good_batch()), (1, bytes(12), [2]))
    pieces = []
    for memo in ((1, bytes(8), [1]),  # a row short
                 (0, bytes(12), [1]),  # no numbering
                 (2, b"\xff" * 12, [1]),  # memo rows no memo has
                 (3, bytes(12), [1])):  # the first row's value for every row: ignored only once met
        spilled, written = native.parquet_write(handle, 3, names, layouts(good_batch()), memo)
        assert spilled == []
        pieces += written
    (tmp_path / "m.parquet").write_bytes(b"".join(bytes(p) for p in pieces + native.parquet_finish(handle)))
    got = pq.read_table(tmp_path / "m.parquet")["s"].to_pylist()
    assert got[:9] == good_batch()["s"].to_pylist() * 3
    assert got[9:] == ["a", None, "a"]  # what the memo rows said: a file, not a crash


def test_two_threads_on_one_writer_never_corrupt_the_file(tmp_path: Path) -> None:
    """Best effort: two threads write the same large batch at once; each call succeeds or is
    refused, and the file holds exactly the batches that were taken."""
    rows = 300_000
    batch = pa.record_batch({"n": pa.array(range(rows), pa.int64()),
                             "s": pa.array([None if i % 3 else str(i) for i in range(rows)])})
    handle = writer()
    taken: list[list[Any]] = []
    refused = []
    barrier = threading.Barrier(2)

    def run() -> None:
        barrier.wait()
        for _ in range(3):
            try:
                taken.append(put(handle, batch))
            except RuntimeError as error:
                refused.append(error)

    workers = [threading.Thread(target=run) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert len(taken) + len(refused) == 6 and taken
    path = tmp_path / "t.parquet"
    # Pieces must go out in the order the writer gave them: that order is the order of `taken`
    # only when the calls did not overlap, which the writer guarantees by refusing overlap.
    path.write_bytes(b"".join(bytes(p) for pieces in taken for p in pieces)
                     + b"".join(bytes(p) for p in native.parquet_finish(handle)))
    got = pq.read_table(path)
    assert got.to_pydict() == {name: batch[name].to_pylist() * len(taken) for name in ("n", "s")}


# ---- the command, against Arrow's own writer on the same rows ----


def decode_both(tmp_path: Path, source: Path, monkeypatch: pytest.MonkeyPatch, jobs: int) -> tuple[Any, Any]:
    decode_file(source, tmp_path / "native.parquet", jobs=jobs, batch_rows=333)
    with monkeypatch.context() as patch:
        patch.setattr(_arrow_io.ParquetStream, "open", classmethod(lambda *_: None))  # Arrow's writer, as before
        decode_file(source, tmp_path / "arrow.parquet", jobs=jobs, batch_rows=333)
    return tmp_path / "native.parquet", tmp_path / "arrow.parquet"


def passthrough_table(mix: list[str], extra: dict[str, Any], rows: int = 2_000) -> Any:
    data = [None if i % 17 == 0 else mix[i % len(mix)] for i in range(rows)]
    return pa.table({
        "id": pa.array(range(rows), pa.int64()), "revert_data": pa.array(data, pa.string()),
        "u64": pa.array([None if i % 5 == 0 else 2**64 - 1 - i for i in range(rows)], pa.uint64()),
        "i8": pa.array([(i % 256) - 128 for i in range(rows)], pa.int8()),
        "f": pa.array([math.nan if i % 7 == 0 else -0.0 if i % 7 == 1 else i / 3 for i in range(rows)], pa.float32()),
        "raw": pa.array([None if i % 9 == 0 else bytes([i % 256, 0]) for i in range(rows)], pa.large_binary()),
        **{name: make(rows) for name, make in extra.items()},
    })


@pytest.mark.parametrize(("extra", "native_writer", "rows"), [
    ({}, True, 2_000),
    ({}, True, 0),  # no rows: the schema alone
    ({"when": lambda n: pa.array([None if i % 4 == 0 else i * 1_000_000 for i in range(n)], pa.timestamp("us"))},
     False, 2_000),
    ({"tags": lambda n: pa.array([None if i % 6 == 0 else [str(i)] * (i % 3) for i in range(n)],
                                 pa.list_(pa.string()))},
     False, 2_000),
])
@pytest.mark.parametrize("jobs", [1, 2])
def test_command_output_equals_arrows_writer(tmp_path: Path, mix: list[str], monkeypatch: pytest.MonkeyPatch,
                                             extra: dict[str, Any], native_writer: bool, rows: int, jobs: int) -> None:
    pq.write_table(passthrough_table(mix, extra, rows), tmp_path / "in.parquet", row_group_size=700)
    ours, arrow = decode_both(tmp_path, tmp_path / "in.parquet", monkeypatch, jobs)
    want = pq.read_table(arrow)
    assert_reads_back(ours, want) if native_writer else None
    got = pq.read_table(ours)
    assert got.schema.equals(want.schema, check_metadata=True) and bits(got).equals(bits(want))
    assert pq.ParquetFile(ours).metadata.created_by.startswith("kestrix-evm") == native_writer


@pytest.mark.parametrize("jobs", [1, 2])
def test_spilled_pages_give_the_same_file_and_leave_nothing(tmp_path: Path, mix: list[str],
                                                           monkeypatch: pytest.MonkeyPatch, jobs: int) -> None:
    """Pages (cut every 20,000 rows) spilled after each batch, in row groups that end mid-file,
    and columns that stop repeating another (raw data differs from the input once the input is
    not in canonical form)."""
    rows = [text if i < 30_000 else text.upper().removeprefix("0X") for i, text in enumerate(mix * 200)][:70_000]
    pq.write_table(pa.table({"revert_data": rows, "n": range(len(rows))}), tmp_path / "in.parquet")
    monkeypatch.setattr(_arrow_io, "ROW_GROUP_ROWS", 50_000)
    monkeypatch.setattr(_arrow_io, "SPILL_BYTES", 0)
    decode_file(tmp_path / "in.parquet", tmp_path / "held.parquet", jobs=jobs, batch_rows=5_000)
    spills: list[int] = []
    real_write = ParquetStream.write

    def write(self: ParquetStream, batch: Any, memo: Any = None) -> None:
        real_write(self, batch, memo)
        spills.append(0 if self.spill is None else os.fstat(self.spill.fileno()).st_size)

    monkeypatch.setattr(ParquetStream, "write", write)
    monkeypatch.setattr(_arrow_io, "SPILL_BYTES", 1)
    decode_file(tmp_path / "in.parquet", tmp_path / "spilled.parquet", jobs=jobs, batch_rows=5_000)
    assert spills[-1] > spills[len(spills) // 3] > 0  # spilled in both row groups
    assert (tmp_path / "spilled.parquet").read_bytes() == (tmp_path / "held.parquet").read_bytes()
    assert pq.read_table(tmp_path / "spilled.parquet")["n"].to_pylist() == list(range(len(rows)))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["held.parquet", "in.parquet", "spilled.parquet"]


def test_the_console_command_writes_what_arrows_writer_writes(tmp_path: Path, mix: list[str],
                                                              monkeypatch: pytest.MonkeyPatch) -> None:
    import subprocess
    import sysconfig

    pq.write_table(passthrough_table(mix, {}), tmp_path / "in.parquet", row_group_size=700)
    command = os.path.join(sysconfig.get_path("scripts"), "kestrix")
    done = subprocess.run([command, "--input", str(tmp_path / "in.parquet"), "--output", str(tmp_path / "cli.parquet"),
                           "--jobs", "2"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    with monkeypatch.context() as patch:
        patch.setattr(_arrow_io.ParquetStream, "open", classmethod(lambda *_: None))
        decode_file(tmp_path / "in.parquet", tmp_path / "arrow.parquet")
    assert pq.ParquetFile(tmp_path / "cli.parquet").metadata.created_by.startswith("kestrix-evm")
    assert_reads_back(tmp_path / "cli.parquet", pq.read_table(tmp_path / "arrow.parquet"))

def test_columns_that_change_mid_file_are_joined_alike(tmp_path: Path, mix: list[str],
                                                       monkeypatch: pytest.MonkeyPatch) -> None:
    """JSON Lines whose columns appear late and change type: segments written, read back and
    joined by the native writer, as Arrow's writer joins them."""
    import json

    lines = [{"revert_data": mix[i % len(mix)], "n": i} for i in range(1_500)]
    lines += [{"revert_data": None, "n": "text now", "late": 1.5}]
    lines += [{"revert_data": mix[0], "late": i} for i in range(5)]
    (tmp_path / "in.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
    monkeypatch.setattr(_arrow_io, "JSON_BLOCK", 4096)
    ours, arrow = decode_both(tmp_path, tmp_path / "in.jsonl", monkeypatch, 2)
    assert pq.read_table(arrow).num_rows == pq.read_table(ours).num_rows == len(lines)
    assert_reads_back(ours, pq.read_table(arrow))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["arrow.parquet", "in.jsonl", "native.parquet"]



@pytest.mark.parametrize("jobs", [1, 2])
def test_memo_rows_give_the_same_file(tmp_path: Path, mix: list[str], monkeypatch: pytest.MonkeyPatch,
                                      jobs: int) -> None:
    """The writer encodes a decoded value once per memo row; the file is byte for byte the one
    it writes encoding every value: across batches of two memos, row groups that end mid-file,
    nulls, and dictionaries that give way to plain pages (unique reason strings)."""
    from eth_abi import encode

    unique = ["0x08c379a0" + encode(["string"], [f"reason {i}"]).hex() for i in range(30_000)]
    rows = [None if i % 11 == 0 else mix[i % len(mix)] if i % 3 else unique[i % len(unique)] for i in range(90_000)]
    pq.write_table(pa.table({"revert_data": pa.array(rows, pa.string()), "n": range(len(rows))}),
                   tmp_path / "in.parquet")
    monkeypatch.setattr(_arrow_io, "ROW_GROUP_ROWS", 40_000)
    decode_file(tmp_path / "in.parquet", tmp_path / "memo.parquet", jobs=jobs, batch_rows=3_000)
    real_write = ParquetStream.write
    hinted: list[bool] = []

    def without_memo(self: ParquetStream, batch: Any, memo: Any = None) -> None:
        hinted.append(memo is not None)
        real_write(self, batch)

    monkeypatch.setattr(ParquetStream, "write", without_memo)
    decode_file(tmp_path / "in.parquet", tmp_path / "plain.parquet", jobs=jobs, batch_rows=3_000)
    assert hinted and all(hinted)
    assert (tmp_path / "memo.parquet").read_bytes() == (tmp_path / "plain.parquet").read_bytes()
    encodings = {pq.ParquetFile(tmp_path / "memo.parquet").metadata.row_group(0).column(i).encodings
                 for i in range(3)}
    assert any("RLE_DICTIONARY" in e for e in encodings)
