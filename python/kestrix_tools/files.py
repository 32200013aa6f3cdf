"""Bulk decoding of files: JSON Lines, CSV or Parquet in, the same rows with the result columns out.

Rows stream through in batches, so memory stays flat whatever the file's length. With more
than one job, workers decode the batches while this process reads and writes; results are
written in input order. Arrow batches (Parquet) are decoded by threads, since the native
column decode releases the GIL; rows of text files by processes that each build a decoder.
"""

from __future__ import annotations

import csv
import json
import multiprocessing
import os
from collections import Counter, deque
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

from kestrix_tools._explain import SupportsDecode
from kestrix_tools._json_text import parse_json
from kestrix_tools.bulk import RESULT_FIELDS, decode_arrow, default_decoder, native_decoder

__all__ = [
    "OUTPUT_FIELDS",
    "BulkError",
    "BulkSummary",
    "DecoderSources",
    "build_decoder",
    "count_hint",
    "decode_file",
    "default_jobs",
]

#: The columns added to every row: the ten result keys, then the row's error message.
OUTPUT_FIELDS: tuple[str, ...] = (*RESULT_FIELDS, "error")
#: Rows per batch: large enough to amortise the per-batch costs, small enough to keep memory low.
BATCH_ROWS = 16384

_FORMATS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}
_DEFAULT_COLUMN = "revert_data"


class BulkError(ValueError):
    """A problem with the files or options of a bulk run (reported as a usage error)."""


@dataclass(frozen=True)
class DecoderSources:
    """What a decoder is built from, so that each worker process can build its own."""

    abi: tuple[str, ...] = ()
    signatures: tuple[str, ...] = ()
    #: Whether the well-known protocols' errors and reason tables are used (``--no-known``).
    known: bool = True
    #: A signature database: a text file or a 4bytes-style folder (``--signature-db``).
    signature_db: str | None = None


def build_decoder(sources: DecoderSources) -> SupportsDecode:
    """The decoder for ``sources``: ``kestrix_tools.Decoder`` with the given ABIs and signatures."""
    if not sources.abi and not sources.signatures and sources.known and sources.signature_db is None:
        return default_decoder()
    import kestrix_tools

    factory: Callable[..., SupportsDecode] | None = getattr(kestrix_tools, "Decoder", None)
    if factory is None:
        raise BulkError("--abi and --sig need kestrix_tools.Decoder, which this installation lacks")
    return factory(signatures=list(sources.signatures) or None, paths=list(sources.abi) or None,
                   known=sources.known, signature_db=sources.signature_db)


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


def _format_of(path: Path) -> str:
    found = _FORMATS.get(path.suffix.lower())
    if found is None:
        raise BulkError(f"{path}: unknown file type (use .jsonl, .csv or .parquet)")
    return found


def _pyarrow() -> Any:
    try:
        import pyarrow
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise BulkError("Parquet files need pyarrow: pip install 'kestrix[bulk]'") from None
    return pyarrow


# ---- Batches: a pyarrow RecordBatch (Parquet) or a list of row dicts (CSV, JSON Lines) ----

Rows = list[dict[str, Any]]


def _read_parquet(path: Path, batch_rows: int) -> tuple[Iterator[Any], int]:
    pa = _pyarrow()
    # One row group at a time, read on this thread: Arrow's read-ahead and reader threads would
    # hold more of the file in memory the longer it is.
    source = pa.parquet.ParquetFile(path, pre_buffer=False)
    return source.iter_batches(batch_size=batch_rows, use_threads=False), source.metadata.num_rows


def _read_csv(path: Path, batch_rows: int) -> Iterator[Rows]:
    # Revert data can be far longer than the csv module's default field limit (128 KiB).
    csv.field_size_limit(max(csv.field_size_limit(), 1 << 30))
    with path.open(newline="", encoding="utf-8") as stream:
        reader = csv.DictReader(stream, strict=True)
        batch: Rows = []
        try:
            for row in reader:
                batch.append(row)
                if len(batch) == batch_rows:
                    yield batch
                    batch = []
        except csv.Error as error:
            raise BulkError(f"{path}: {error} (after line {reader.line_num})") from None
        if batch:
            yield batch


class _LineError(str):
    """Stands in for the revert data of a JSON Lines line that could not be read."""


# The key under which such a line's row carries its message; never written out.
_LINE_ERROR = "\0line error"


def _read_jsonl(path: Path, batch_rows: int) -> Iterator[Rows]:
    with path.open(encoding="utf-8") as stream:
        batch: Rows = []
        for number, line in enumerate(stream, 1):
            if not line.strip():
                continue
            try:
                # Deeply nested lines are refused here rather than exhausting the stack.
                row = parse_json(line, f"line {number}: not JSON")
            except ValueError as error:
                row = {_LINE_ERROR: _LineError(str(error))}
            if not isinstance(row, dict):
                row = {_LINE_ERROR: _LineError(f"line {number}: not a JSON object")}
            batch.append(row)
            if len(batch) == batch_rows:
                yield batch
                batch = []
        if batch:
            yield batch


# ---- Decoding one batch's column (runs in a worker process when jobs > 1) ----

_worker_decoder: SupportsDecode | None = None


def _init_worker(sources: DecoderSources) -> None:
    global _worker_decoder
    _worker_decoder = build_decoder(sources)


def _decode_arrow_column(values: Any) -> Any:
    return decode_arrow(values, _worker_decoder, error_column=True)


ResultRow = tuple[Any, ...]


def _decode_values(values: list[Any]) -> list[ResultRow | None]:
    """One tuple of the eleven output values per value; None for a value that is missing."""
    decoder = _worker_decoder if _worker_decoder is not None else default_decoder()
    decode = decoder.decode
    failed = (None,) * len(RESULT_FIELDS)
    out: list[ResultRow | None] = []
    for value in values:
        if value is None:
            out.append(None)
        elif isinstance(value, _LineError):
            out.append((*failed, str(value)))
        elif not isinstance(value, str):
            out.append((*failed, f"revert data must be text, not {type(value).__name__}"))
        else:
            try:
                out.append((*decode(value).values(), None))
            except ValueError as error:
                out.append((*failed, str(error)))
    return out


def _column_values(batch: Any, column: str) -> Any:
    if isinstance(batch, list):
        return [row[_LINE_ERROR] if _LINE_ERROR in row else row.get(column) for row in batch]
    index = batch.schema.get_field_index(column)
    if index < 0:
        raise BulkError(f"no column {column!r}; the file has {', '.join(batch.schema.names)}")
    values = batch.column(index)
    pa = _pyarrow()
    if pa.types.is_null(values.type):
        return values.cast(pa.string())
    if not (pa.types.is_string(values.type) or pa.types.is_large_string(values.type)
            or pa.types.is_binary(values.type) or pa.types.is_large_binary(values.type)):
        raise BulkError(f"column {column!r} holds {values.type}, not text or bytes")
    return values


def _merge(batch: Any, results: Any, summary: BulkSummary) -> Any:
    """The batch's rows without any column named like an output field, then the output fields."""
    summary.rows += len(batch)
    if isinstance(batch, list):
        merged: Rows = []
        for row, result in zip(batch, results):
            out = {key: value for key, value in row.items() if key not in OUTPUT_FIELDS and key != _LINE_ERROR}
            if result is None:
                summary.missing += 1
                out.update(dict.fromkeys(OUTPUT_FIELDS))
            else:
                out.update(zip(OUTPUT_FIELDS, result))
                if result[-1] is None:
                    summary.kinds[result[4]] += 1
                else:
                    summary.errors += 1
            merged.append(out)
        return merged
    pa = _pyarrow()
    keep = [i for i, name in enumerate(batch.schema.names) if name not in OUTPUT_FIELDS]
    columns = [batch.column(i) for i in keep] + results.flatten()
    names = [batch.schema.names[i] for i in keep] + list(OUTPUT_FIELDS)
    kinds = results.field("kind").filter(results.is_valid())
    for entry in kinds.value_counts().to_pylist():
        if entry["values"] is not None:
            summary.kinds[entry["values"]] += entry["counts"]
    errors = results.field("error").filter(results.is_valid())
    summary.errors += len(errors) - errors.null_count
    summary.missing += results.null_count
    return pa.RecordBatch.from_arrays(columns, names=names)


# ---- Writers ----


def _text_of(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, (bytes, bytearray)):
        return "0x" + bytes(value).hex()
    return str(value)


def _json_default(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray)):
        return "0x" + bytes(value).hex()
    return str(value)


class _Writer:
    """Writes merged batches (row dicts or record batches) to one output format."""

    def __init__(self, path: Path, kind: str) -> None:
        self.kind = kind
        self.path = path
        self.stream: IO[str] | None = None
        self.csv: Any = None
        self.parquet: Any = None
        self.schema: Any = None
        if kind != "parquet":
            self.stream = path.open("w", newline="" if kind == "csv" else None, encoding="utf-8")
        self.behind: ThreadPoolExecutor | None = None
        self.writes: deque[Future[None]] = deque()

    def write_behind(self) -> None:
        """From now on, write on a thread of its own, overlapping with reading and decoding
        (Parquet's encoder and the file writes release the GIL); order is kept."""
        self.behind = ThreadPoolExecutor(1, thread_name_prefix="kestrix-write")

    def submit(self, batch: Any) -> None:
        if self.behind is None:
            self.write(batch)
            return
        self.writes.append(self.behind.submit(self.write, batch))
        while len(self.writes) > 1:  # at most one merged batch waits to be written
            self.writes.popleft().result()

    def drain(self) -> None:
        """Waits for every submitted batch to be written (raising a write's error)."""
        while self.writes:
            self.writes.popleft().result()

    def write(self, batch: Any) -> None:
        if self.kind == "parquet":
            self._write_parquet(batch)
            return
        rows: Rows = batch if isinstance(batch, list) else batch.to_pylist()
        assert self.stream is not None
        if self.kind == "jsonl":
            dumps = json.dumps
            self.stream.writelines(dumps(row, ensure_ascii=False, default=_json_default) + "\n" for row in rows)
            return
        if self.csv is None:
            names = list(rows[0]) if rows else list(OUTPUT_FIELDS)
            self.csv = csv.DictWriter(self.stream, fieldnames=names, extrasaction="ignore")
            self.csv.writeheader()
        self.csv.writerows({key: _text_of(value) for key, value in row.items()} for row in rows)

    def _write_parquet(self, batch: Any) -> None:
        pa = _pyarrow()
        if isinstance(batch, list):
            if self.schema is None:
                self.schema = _rows_schema(pa, batch)
            batch = pa.RecordBatch.from_pylist(batch, schema=self.schema)
        if self.parquet is None:
            self.schema = batch.schema
            self.parquet = pa.parquet.ParquetWriter(self.path, self.schema)
        self.parquet.write_batch(batch)

    def close(self) -> None:
        if self.behind is not None:
            self.behind.shutdown(cancel_futures=True)
            self.behind = None
        if self.parquet is not None:
            self.parquet.close()
        elif self.kind == "parquet":  # no rows at all: still write a valid (empty) file
            pa = _pyarrow()
            pa.parquet.write_table(pa.table({name: pa.array([], pa.string()) for name in OUTPUT_FIELDS}), self.path)
        if self.stream is not None:
            if self.kind == "csv" and self.csv is None:
                csv.writer(self.stream).writerow(OUTPUT_FIELDS)
            self.stream.close()


def _rows_schema(pa: Any, rows: Rows) -> Any:
    """Arrow schema for rows read from text files: inferred input columns (text when all null),
    then the typed output columns."""
    from kestrix_tools.bulk import result_type

    inputs = [{k: v for k, v in row.items() if k not in OUTPUT_FIELDS} for row in rows]
    fields = [pa.field(f.name, pa.string() if pa.types.is_null(f.type) else f.type)
              for f in pa.RecordBatch.from_pylist(inputs).schema]
    return pa.schema(fields + list(result_type(error_column=True)))


# ---- The run ----


def _batches(path: Path, batch_rows: int) -> tuple[Iterator[Any], int | None]:
    kind = _format_of(path)
    if kind == "parquet":
        return _read_parquet(path, batch_rows)
    return (_read_csv if kind == "csv" else _read_jsonl)(path, batch_rows), None


def _pick_column(batch: Any, column: str | None) -> str:
    if column is not None:
        return column
    names = list(batch[0]) if isinstance(batch, list) else batch.schema.names
    names = [name for name in names if name not in OUTPUT_FIELDS]
    return names[0] if len(names) == 1 else _DEFAULT_COLUMN


def decode_file(
    input_path: str | os.PathLike[str],
    output_path: str | os.PathLike[str],
    *,
    column: str | None = None,
    jobs: int | None = None,
    decoder: DecoderSources = DecoderSources(),
    batch_rows: int = BATCH_ROWS,
    progress: Callable[[int], None] | None = None,
) -> BulkSummary:
    """Decodes the revert data in ``column`` of every row of ``input_path`` into ``output_path``.

    The formats follow the file names (``.jsonl``, ``.csv``, ``.parquet``). The output holds
    every input column, then the ten result columns and ``error`` (the message for revert data
    that is not hexadecimal, null otherwise); an input column named like one of those eleven
    is replaced. A row without revert data (null, or the key missing) has all eleven null.
    ``column`` defaults to the only column of a one-column file, else "revert_data".
    ``jobs`` workers decode (default: one per CPU; 1 decodes in this process): threads for
    Parquet, whose columns the native decode reads without holding the GIL, else processes.
    ``progress`` is called with the number of rows of each batch written. The output is
    written next to its final name and renamed into place when complete.
    """
    source, target = Path(input_path), Path(output_path)
    out_kind = _format_of(target)
    if not source.is_file():
        raise BulkError(f"{source}: no such file")
    if target.exists() and target.resolve() == source.resolve():
        raise BulkError("the output file must differ from the input file")
    jobs = default_jobs() if jobs is None else jobs
    if jobs < 1:
        raise BulkError("--jobs must be at least 1")
    global _worker_decoder
    _worker_decoder = build_decoder(decoder)  # fails early on a bad --abi or --sig
    batches, _ = _batches(source, batch_rows)
    partial = target.with_name(target.name + ".partial")
    writer = _Writer(partial, out_kind)
    summary = BulkSummary()
    pool: Executor | None = None
    try:
        chosen: str | None = column
        pending: deque[tuple[Any, Future[Any] | Any]] = deque()
        for batch in batches:
            if chosen is None:
                chosen = _pick_column(batch, column)
            values = _column_values(batch, chosen)
            work = _decode_values if isinstance(batch, list) else _decode_arrow_column
            if pool is None and jobs > 1 and pending:
                # A second batch: worth starting the workers (a one-batch file never does).
                threads = not isinstance(batch, list) and native_decoder(_worker_decoder)[0]
                pool = _start_pool(jobs, decoder, threads)
                writer.write_behind()
            pending.append((batch, pool.submit(work, values) if pool is not None else work(values)))
            # Each worker busy with one batch and one more queued: memory stays a few batches.
            while len(pending) > (jobs + 1 if pool is not None else 1):
                _finish(pending.popleft(), writer, summary, progress)
        while pending:
            _finish(pending.popleft(), writer, summary, progress)
        writer.drain()
    except BaseException:
        writer.close()
        partial.unlink(missing_ok=True)
        raise
    finally:
        if pool is not None:
            pool.shutdown(cancel_futures=True)
    writer.close()
    os.replace(partial, target)
    return summary


def _start_pool(jobs: int, decoder: DecoderSources, threads: bool) -> Executor:
    if threads:
        # The native column decode runs without the GIL, so threads decode Arrow batches in
        # parallel with no copying between processes; they share this process's decoder.
        return ThreadPoolExecutor(jobs, thread_name_prefix="kestrix-decode")
    # forkserver: workers come from a clean process, not a fork of this one with its reader
    # threads; each builds its decoder once in the initializer.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    context = multiprocessing.get_context(method)
    return ProcessPoolExecutor(jobs, mp_context=context, initializer=_init_worker, initargs=(decoder,))


def _finish(
    item: tuple[Any, Any], writer: _Writer, summary: BulkSummary, progress: Callable[[int], None] | None
) -> None:
    batch, outcome = item
    results = outcome.result() if isinstance(outcome, Future) else outcome
    writer.submit(_merge(batch, results, summary))
    if progress is not None:
        progress(len(batch))


def count_hint(path: str | os.PathLike[str]) -> int | None:
    """The number of rows when the file says so cheaply (Parquet metadata), else None."""
    source = Path(path)
    if source.suffix.lower() not in (".parquet", ".pq"):
        return None
    try:
        return int(_pyarrow().parquet.ParquetFile(source).metadata.num_rows)
    except (BulkError, OSError, ValueError):
        return None
