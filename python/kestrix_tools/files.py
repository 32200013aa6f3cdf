"""Bulk decoding of files: JSON Lines, CSV, TSV, JSON arrays or Parquet in, the same rows with the
result columns out.

Every format is read and written as Arrow record batches by pyarrow's native readers and
writers, and each batch's column is decoded by ``decode_arrow``, which runs without the GIL:
with two jobs, this thread reads and decodes while another formats and writes; with more,
threads decode and format batches while this thread reads and another writes.
Rows are written in input order and memory stays a few batches whatever the file's length.
"""

from __future__ import annotations

import os
import threading
from collections import Counter, deque
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from kestrix_tools import _arrow_io
from kestrix_tools._arrow_io import FileKind, FormatError, TableWriter
from kestrix_tools.bulk import RESULT_FIELDS, decode_columns, decode_memo, result_type
from kestrix_tools.decoder import DecoderSources, SupportsDecode, build_decoder, default_decoder

__all__ = [
    "OUTPUT_FIELDS",
    "BulkError",
    "BulkSummary",
    "DecoderSources",
    "build_decoder",
    "count_hint",
    "decode_file",
    "default_jobs",
    "progress_total",
]

#: The columns added to every row: the result columns, then the row's error message.
OUTPUT_FIELDS: tuple[str, ...] = (*RESULT_FIELDS, "error")
#: Rows per batch read from Parquet: small, so that the batches in flight stay a couple of MB
#: each and memory stays level however long the file. Each decoding thread keeps a memo of the
#: rows it has decoded, so a batch decodes only the reverts no earlier batch held, and small
#: batches cost little more than large ones. (CSV and JSON Lines are read in blocks of 2 MB.)
BATCH_ROWS = 8192
#: Bytes of decoded batches that may wait for the writing thread (with more than one job). The
#: writer's pace is uneven (a row group's end, a dictionary that fills up): with 4 MB the
#: decoding side waited for it a quarter of a two-job run; with 16, memory grew a fifth more
#: from 10^5 to 10^7 rows.
WRITE_AHEAD_BYTES = 8 << 20

_DEFAULT_COLUMN = "revert_data"


class BulkError(ValueError):
    """A problem with the files or options of a bulk run (reported as a usage error)."""


def default_jobs() -> int:
    """The number of CPUs this process may run on."""
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


@dataclass
class BulkSummary:
    """Counts of one bulk run: rows, rows per kind, rows with an error, rows without data."""

    rows: int = 0
    kinds: Counter[str] = field(default_factory=Counter)
    errors: int = 0
    missing: int = 0

    def line(self) -> str:
        """One line for the terminal, e.g. "3 rows: panic 2, empty 1; 0 errors"."""
        kinds = ", ".join(f"{kind} {count}" for kind, count in self.kinds.most_common())
        text = f"{self.rows} rows: {kinds or 'none decoded'}; {self.errors} errors"
        return text + (f"; {self.missing} without revert data" if self.missing else "")


def _kind_of(path: Path, *, reading: bool) -> FileKind:
    try:
        return _arrow_io.kind_of(path, reading=reading)
    except FormatError as error:
        raise BulkError(str(error)) from None


# ---- Decoding one batch (on a decoding thread when jobs > 1) ----


@dataclass
class _Decoded:
    batch: Any  # as the writer takes it
    rows: int
    kinds: dict[str, int]
    errors: int
    missing: int
    #: (numbering, memo rows, names of the columns whose values follow the memo row), for
    #: kestrix's Parquet writer to encode a value once per memo row; None when a column was
    #: rewritten after the decode.
    memo: tuple[int, bytes, list[str]] | None = None


def _decode_block(block: _arrow_io.Block, column: str, decoder: Any, drop_raw: bool,
                  required: bool, prepare: Callable[[Any], Any], memos: threading.local) -> _Decoded:
    """The block's rows without any column named like an output column, then the output columns.
    ``memos`` holds each thread's memo of decoded rows, made on its first block."""
    pa = _arrow_io.pyarrow()
    batch = block.batch
    rows = batch.num_rows
    index = batch.schema.get_field_index(column)
    if index < 0 and required:
        raise BulkError(f"no column {column!r}; the file has {', '.join(batch.schema.names)}")
    values = batch.column(index) if index >= 0 else pa.nulls(rows, pa.string())
    kind = values.type
    wrong_type: str | None = None
    if pa.types.is_null(kind) or pa.types.is_string_view(kind) or (
            pa.types.is_dictionary(kind) and pa.types.is_string(kind.value_type)):
        values = values.cast(pa.string())
    elif pa.types.is_binary_view(kind):
        values = values.cast(pa.binary())
    elif not (pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_binary(kind)
              or pa.types.is_large_binary(kind)):
        if required:
            raise BulkError(f"column {column!r} holds {kind}, not text or bytes")
        # JSON Lines: a block whose values here are all numbers (say) fails row by row.
        wrong_type = f"revert data must be text or bytes, not {kind}"
    source = values if wrong_type is None else pa.nulls(rows, pa.string())
    if not hasattr(memos, "memo"):
        memos.memo = decode_memo(decoder)
    names = [f.name for f in result_type(error_column=True, root_cause=True)]
    # A kestrix_tools.Decoder (what build_decoder gives) always decodes natively.
    native = decode_columns(source, decoder, error_column=True, root_cause=True, memo=memos.memo)
    assert native is not None
    columns, summary = native.columns, native.summary
    if not summary.nested:
        # Nothing nested: the root-cause columns hold the outer values; share their buffers.
        for outer in ("kind", "error_name", "message", "selector"):
            columns[names.index(f"root_{outer}")] = columns[names.index(outer)]
    error_at = names.index("error")
    # The decode's columns and counts stand unless rows failed for another reason.
    as_decoded = wrong_type is None and block.line_errors is None
    if as_decoded:
        kinds, errors, missing = summary.kinds, summary.failed, summary.nulls
    else:
        pc = _arrow_io.compute()
        error = columns[error_at]
        if wrong_type is not None:
            error = pc.if_else(values.is_valid(), pa.scalar(wrong_type, pa.string()), pa.scalar(None, pa.string()))
        if block.line_errors is not None:
            error = pc.coalesce(block.line_errors, error)
        columns[error_at] = error
        failed = pc.is_valid(error)
        decoded = pc.and_(columns[names.index("kind")].is_valid(), pc.invert(failed))
        kinds = {entry["values"]: entry["counts"]
                 for entry in pc.filter(columns[names.index("kind")], decoded).value_counts().to_pylist()
                 if entry["values"] is not None}
        errors = pc.sum(failed.cast(pa.int64())).as_py() or 0
        missing = rows - (pc.sum(decoded.cast(pa.int64())).as_py() or 0) - errors
        # Rows that failed carry null results, whatever the decode gave for their placeholder.
        columns = [c if i == error_at else pc.if_else(failed, pa.scalar(None, c.type), c)
                   for i, c in enumerate(columns)]
    keep = [(name, batch.column(i)) for i, name in enumerate(batch.schema.names) if name not in names]
    added = [(name, c) for name, c in zip(names, columns) if not (drop_raw and name == "raw_data")]
    merged = pa.RecordBatch.from_arrays([c for _, c in keep + added], names=[n for n, _ in keep + added])
    memo = None
    if as_decoded:
        # Every result column follows its row's memo row, and so does the input column decoded
        # as it is (rows with one memo row had the same input).
        follow = [name for name, _ in added]
        if index >= 0 and values.type == batch.schema.field(index).type and column not in names:
            follow.append(column)
        memo = (*native.memo_rows, follow)
    return _Decoded(prepare(merged), merged.num_rows, kinds, errors, missing, memo)


def _output_schema(drop_raw: bool) -> Any:
    pa = _arrow_io.pyarrow()
    fields = result_type(error_column=True, root_cause=True)
    return pa.schema([f for f in fields if not (drop_raw and f.name == "raw_data")])


# ---- The run ----


def _pick_column(batch: Any, column: str | None) -> str:
    if column is not None:
        return column
    added = set(_output_schema(drop_raw=False).names)
    names = [name for name in batch.schema.names if name not in added]
    return names[0] if len(names) == 1 else _DEFAULT_COLUMN


Progress = Callable[[int, int], None]


def check_paths(input_path: str | os.PathLike[str], output_path: str | os.PathLike[str],
                force: bool = False) -> tuple[Path, Path]:
    """Refuses, before any work, what would fail or damage something at the end: an input that
    is missing, an output that is the input, a folder, or an existing file (unless ``force``)."""
    source, target = Path(input_path), Path(output_path)
    _kind_of(target, reading=False)
    if not source.is_file() and not source.is_dir():
        raise BulkError(f"{source}: no such file")
    _kind_of(source, reading=True)
    if target.is_dir():
        raise BulkError(f"{target}: is a folder; give the output file's name")
    if target.exists() or target.is_symlink():
        if target.resolve() == source.resolve():
            raise BulkError("the output file must differ from the input file")
        if not force:
            raise BulkError(f"{target}: exists; use --force to replace it")
    if source.is_dir() and target.resolve().is_relative_to(source.resolve()):
        raise BulkError("the output file must not be inside the input folder")
    if not target.parent.is_dir():
        raise BulkError(f"{target.parent}: no such folder")
    return source, target


def decode_file(
    input_path: str | os.PathLike[str],
    output_path: str | os.PathLike[str],
    *,
    column: str | None = None,
    jobs: int | None = None,
    decoder: DecoderSources = DecoderSources(),
    batch_rows: int = BATCH_ROWS,
    progress: Progress | None = None,
    force: bool = False,
    drop_raw: bool = False,
) -> BulkSummary:
    """Decodes the revert data in ``column`` of every row of ``input_path`` into ``output_path``.

    The formats follow the file names: ``.jsonl``, ``.csv``, ``.tsv`` (each also compressed,
    ``.gz`` or ``.zst``), ``.parquet``; on input also ``.json`` (an array of objects) and a
    folder of Parquet files (partitioned by ``key=value`` folders, whose keys become columns).
    The output holds every input column (JSON Lines keys that appear late, CSV rows with extra
    fields as ``field_N``; a column whose type changes becomes text), then the result columns
    and ``error`` (why the revert data or its line could not be read, null otherwise); an input
    column named like one of those is replaced. A row without revert data (null, or the key
    missing) has them all null; in CSV an unquoted empty field is null and ``""`` is empty.
    ``column`` defaults to the only column of a one-column file, else "revert_data".
    ``jobs``: threads at work (default: one per CPU; 1 does everything on this thread).
    ``progress(rows, position)`` is called after each batch written, ``position`` counting
    what ``progress_total`` counts. ``drop_raw`` leaves out ``raw_data`` (the input column
    holds the same data). An existing output is refused unless ``force``. The output is
    written next to its final name and renamed into place when complete; on any failure or
    interruption the partial file is removed.
    """
    source, target = check_paths(input_path, output_path, force)
    in_kind, out_kind = _kind_of(source, reading=True), _kind_of(target, reading=False)
    jobs = default_jobs() if jobs is None else jobs
    if jobs < 1:
        raise BulkError("--jobs must be at least 1")
    native = build_decoder(decoder)  # fails early on a bad --abi or --sig
    pa = _arrow_io.pyarrow()
    try:
        reader = _arrow_io.open_reader(source, in_kind, batch_rows, threads=jobs > 1)
    except FormatError as error:
        raise BulkError(str(error)) from None
    except (pa.ArrowInvalid, OSError) as error:
        raise BulkError(f"{source}: {error}") from None
    # Two jobs split the work in two halves of about equal cost: this thread reads and decodes,
    # another formats and writes. Passing each batch through two more threads (decoding, and
    # encoding the writer's columns at once) cost a tenth more CPU a row in hand-offs and
    # caches, and scaled worse. From three jobs on, threads decode and format while this one
    # reads.
    decoding = jobs if jobs > 2 else 0
    partial = target.with_name(target.name + ".partial")
    writer = TableWriter(partial, out_kind, threads=jobs if decoding else 1)
    # The writer formats what it is given as it is (``prepare`` only moves that work earlier).
    prepare = writer.prepare if decoding else _as_given
    summary = BulkSummary()
    memos = threading.local()
    pool: ThreadPoolExecutor | None = None
    behind: ThreadPoolExecutor | None = None
    writes: deque[tuple[Future[None], int]] = deque()
    pending: deque[tuple[int, Future[_Decoded] | _Decoded]] = deque()

    def finish() -> None:
        position, outcome = pending.popleft()
        done = outcome.result() if isinstance(outcome, Future) else outcome
        summary.rows += done.rows
        summary.kinds.update(done.kinds)
        summary.errors += done.errors
        summary.missing += done.missing
        if behind is None:
            writer.write(done.batch, done.memo)
        else:
            # Batches wait for the writer up to a byte budget, so that decoding goes on while it
            # writes out a whole Parquet row group.
            writes.append((behind.submit(writer.write, done.batch, done.memo), _arrow_io.held_bytes(done.batch)))
            while len(writes) > 1 and sum(size for _, size in writes) > WRITE_AHEAD_BYTES:
                writes.popleft()[0].result()
        if progress is not None:
            progress(done.rows, position)

    try:
        chosen: str | None = column
        for number, block in enumerate(_blocks(reader.blocks, source)):
            if chosen is None:
                chosen = _pick_column(block.batch, column)
            args = (block, chosen, native, drop_raw, reader.fixed_schema, prepare, memos)
            if behind is None and jobs > 1 and number > 0:
                # A second batch: worth starting the threads (a one-batch file never does).
                behind = ThreadPoolExecutor(1, thread_name_prefix="kestrix-write")
                if decoding:
                    pool = ThreadPoolExecutor(decoding, thread_name_prefix="kestrix-decode")
            pending.append((block.position, pool.submit(_decode_block, *args) if pool else _decode_block(*args)))
            # Each thread busy with one batch and one more queued: memory stays a few batches.
            while len(pending) > (decoding + 1 if pool is not None else 0):
                finish()
        while pending:
            finish()
        while writes:
            writes.popleft()[0].result()
        writer.close(empty_schema=_output_schema(drop_raw))
        os.replace(partial, target)
    except BaseException:
        for _, work in pending:
            if isinstance(work, Future):
                work.cancel()
        for write, _ in writes:
            write.cancel()
        for threads in (pool, behind):
            if threads is not None:
                threads.shutdown(wait=True, cancel_futures=True)  # no thread still writes the file
        pool = behind = None
        writer.abort()
        raise
    finally:
        for threads in (pool, behind):
            if threads is not None:
                threads.shutdown(wait=True)
    return summary


def _as_given(batch: Any) -> Any:
    return batch


def _blocks(blocks: Iterator[_arrow_io.Block], source: Path) -> Iterator[_arrow_io.Block]:
    """The reader's blocks, with its errors as usage errors naming the file."""
    pa = _arrow_io.pyarrow()
    while True:
        try:
            block = next(blocks)
        except StopIteration:
            return
        except FormatError as error:
            raise BulkError(str(error)) from None
        except (pa.ArrowInvalid, OSError) as error:
            raise BulkError(f"{source}: {error}") from None
        yield block


def progress_total(path: str | os.PathLike[str]) -> tuple[int | None, str]:
    """What ``decode_file``'s progress counts for this input, and its total when known: rows of
    Parquet (from its metadata), bytes of the file otherwise."""
    source = Path(path)
    try:
        kind = _arrow_io.kind_of(source, reading=True)
        if kind.format == "parquet":
            return count_hint(source), "rows"
        return source.stat().st_size, "bytes"
    except (FormatError, OSError):
        return None, "rows"


def count_hint(path: str | os.PathLike[str]) -> int | None:
    """The number of rows when the file says so cheaply (Parquet metadata), else None."""
    source = Path(path)
    try:
        kind = _arrow_io.kind_of(source, reading=True)
        if kind.format != "parquet":
            return None
        pa = _arrow_io.pyarrow("parquet")
        if kind.folder:
            import pyarrow.dataset as ds

            return int(ds.dataset(source, format="parquet", partitioning="hive").count_rows())
        return int(pa.parquet.ParquetFile(source).metadata.num_rows)
    except (FormatError, OSError, ValueError):
        return None
