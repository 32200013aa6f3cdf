"""Reading and writing bulk files as Arrow record batches, losing nothing the input held.

Every format goes through pyarrow's native readers and writers; Python touches rows only where
the input is irregular (a line that is not JSON, a CSV row with extra fields, a value whose type
differs from the rest of its column), and then only those rows or that block.

Columns whose types disagree between blocks become text; columns that appear late join the
schema (the file written so far is rewritten once at the end with the full schema); null and
empty text stay apart in every format (in CSV an unquoted empty field is null, ``""`` is empty).
"""

from __future__ import annotations

import csv
import importlib
import io
import json
import os
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kestrix_tools._json_text import parse_json

#: Compression suffixes read and written transparently, and pyarrow's names for them.
CODECS = {".gz": "gzip", ".zst": "zstd", ".bz2": "bz2"}
#: File suffix (after any compression suffix) -> format.
FORMATS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "json", ".csv": "csv", ".tsv": "tsv",
           ".parquet": "parquet", ".pq": "parquet"}
#: Bytes of JSON Lines parsed at a time (split at a line end).
JSON_BLOCK = 2 << 20
#: Bytes of CSV parsed at a time.
CSV_BLOCK = 2 << 20
#: Bytes of CSV text handed to the output stream at a time.
CSV_WRITE_BYTES = 256 << 10
#: Parquet row groups: about a million rows, fewer when that many would exceed the byte budget
#: (the group is held in memory until written).
ROW_GROUP_ROWS = 1 << 20
ROW_GROUP_BYTES = 128 << 20
#: Finished Parquet pages held past this many bytes wait in a temporary file next to the output
#: until their row group is written: a million-row group costs no more memory than a small one.
SPILL_BYTES = 4 << 20
#: Result columns of long free text, written to Parquet without statistics.
UNSORTED_TEXT = frozenset({"raw_data", "suggestion", "message", "inputs", "panic_meaning", "root_message"})


class FormatError(ValueError):
    """A file that cannot be read or written as asked."""


def pyarrow(*modules: str) -> Any:
    """pyarrow, with the named modules of it loaded ("csv", "json", "parquet"): each adds to the
    command's start, so a run loads those it uses (see ``compute`` for the compute module)."""
    try:
        import pyarrow as pa

        for name in modules:
            importlib.import_module(f"pyarrow.{name}")
    except ImportError as error:
        raise FormatError(f'bulk files need pyarrow 16 or newer ({error}): pip install "kestrix-evm[bulk]"') from None
    return pa


def compute() -> Any:
    """pyarrow.compute, imported where it is used: its import costs a tenth of a second's start,
    and decoding Parquet to Parquet needs none of it."""
    pyarrow()
    import pyarrow.compute as pc

    return pc


@dataclass(frozen=True)
class FileKind:
    format: str  # jsonl, json, csv, tsv, parquet
    codec: str | None  # compression of a text file
    folder: bool = False  # a folder of Parquet files (partitioned dataset)


def kind_of(path: Path, *, reading: bool) -> FileKind:
    if reading and path.is_dir():
        return FileKind("parquet", None, folder=True)
    suffixes = [s.lower() for s in path.suffixes]
    codec = CODECS.get(suffixes[-1]) if suffixes else None
    if codec is not None:
        suffixes.pop()
    found = FORMATS.get(suffixes[-1]) if suffixes else None
    if found is None or (codec is not None and found == "parquet") or (not reading and found == "json"):
        names = ".jsonl, .csv, .tsv (each optionally .gz or .zst), .parquet" + ("" if not reading else
                                                                                ", .json, a Parquet folder")
        raise FormatError(f"{path}: unknown file type (use {names})")
    return FileKind(found, codec)


@dataclass
class Block:
    """One block of input rows; ``line_errors`` (or None) is, per row, why its line could not be
    read (that row's columns are then all null); ``position`` how far the file has been read,
    in the unit of ``Reader.total``."""

    batch: Any
    line_errors: Any
    position: int


@dataclass
class Reader:
    blocks: Iterator[Block]
    total: int | None  # rows (Parquet) or bytes of the file (others)
    unit: str  # "rows" or "bytes"
    fixed_schema: bool  # every block has the same columns (CSV, Parquet)


def open_reader(path: Path, kind: FileKind, batch_rows: int, threads: bool) -> Reader:
    pa = pyarrow()
    if kind.format == "parquet":
        if kind.folder:
            import pyarrow.dataset as ds

            dataset = ds.dataset(path, format="parquet", partitioning="hive",
                                 exclude_invalid_files=False, ignore_prefixes=[".", "_"])
            total = dataset.count_rows()
            batches = dataset.to_batches(batch_size=batch_rows, use_threads=threads,
                                         batch_readahead=1, fragment_readahead=1)
        else:
            # One row group at a time: Arrow's read-ahead would hold more of the file the longer it
            # is. On this thread alone: the decoding threads are the parallel part, and Arrow's
            # own threads beside them cost a fifth more time and memory.
            total, schema, batches = _parquet_batches(path, batch_rows)
            if total == 0:  # no batch comes: one without rows still carries the columns
                batches = iter([_no_rows(schema)])
        return Reader((Block(batch, None, 0) for batch in batches), total, "rows", True)
    size = path.stat().st_size
    if kind.format in ("csv", "tsv"):
        return Reader(_csv_blocks(path, kind, "\t" if kind.format == "tsv" else ","), size, "bytes", True)
    if kind.format == "jsonl":
        return Reader(_jsonl_blocks(path, kind, threads), size, "bytes", False)
    return Reader(_json_array_blocks(path, kind, batch_rows), size, "bytes", False)


def _parquet_batches(path: Path, batch_rows: int) -> tuple[int, Any, Iterator[Any]]:
    """The rows, Arrow schema and batches of one Parquet file, read on this thread.

    pyarrow.parquet's ``ParquetFile`` is a wrapper of ``pyarrow._parquet.ParquetReader``, and
    importing pyarrow.parquet loads pyarrow's file systems (S3, TLS and more), a tenth of the
    command's start; a pyarrow whose reader takes other arguments gets ``ParquetFile``."""
    pa = pyarrow()
    try:
        from pyarrow._parquet import ParquetReader

        reader = ParquetReader()
        reader.open(pa.OSFile(str(path), "rb"), pre_buffer=False, arrow_extensions_enabled=True)
        groups = range(reader.metadata.num_row_groups)
        batches = reader.iter_batches(batch_rows, groups, None, use_threads=False)
        return reader.metadata.num_rows, reader.schema_arrow, batches
    except (ImportError, AttributeError, TypeError):
        source = pyarrow("parquet").parquet.ParquetFile(path, pre_buffer=False)
        return source.metadata.num_rows, source.schema_arrow, source.iter_batches(batch_size=batch_rows,
                                                                                   use_threads=False)


def _open_input(path: Path, codec: str | None) -> tuple[Any, Any]:
    """The decompressed stream, and the raw file whose position says how far it has been read."""
    pa = pyarrow()
    raw = pa.OSFile(str(path), "rb")
    return (pa.CompressedInputStream(raw, codec) if codec else raw), raw


# ---- CSV and TSV ----


def _csv_blocks(path: Path, kind: FileKind, delimiter: str) -> Iterator[Block]:
    pa = pyarrow("csv")
    pcsv = pa.csv
    parse = {"delimiter": delimiter, "newlines_in_values": True}
    # The header, read once with type inference, names the columns; then every column is read
    # as text: a CSV cell is text, and a number-like column with one odd cell must not abort.
    stream, _ = _open_input(path, kind.codec)
    try:
        with stream:
            names = pcsv.open_csv(stream, read_options=pcsv.ReadOptions(use_threads=False, block_size=CSV_BLOCK),
                                  parse_options=pcsv.ParseOptions(**parse, invalid_row_handler=lambda _: "skip"),
                                  ).schema.names
    except pa.ArrowInvalid as error:
        if "Empty CSV file" in str(error):
            return
        raise FormatError(f"{path}: {error}") from None
    irregular: list[tuple[int | None, str]] = []

    def keep(row: Any) -> str:
        irregular.append((row.number, row.text))
        return "skip"

    stream, raw = _open_input(path, kind.codec)
    with stream:
        try:
            reader = pcsv.open_csv(
                stream, read_options=pcsv.ReadOptions(use_threads=False, block_size=CSV_BLOCK),
                # In a one-column file an empty line is a null cell (pyarrow writes nulls so);
                # with more columns it holds nothing and is skipped.
                parse_options=pcsv.ParseOptions(**parse, invalid_row_handler=keep, ignore_empty_lines=len(names) > 1),
                # Read as bytes, checked as UTF-8 batch by batch: one bad cell must not stop the run.
                convert_options=pcsv.ConvertOptions(column_types={name: pa.binary() for name in names},
                                                    strings_can_be_null=True, quoted_strings_can_be_null=False))
        except pa.ArrowInvalid as error:
            raise FormatError(f"{path}: {error}") from None
        emitted = 0
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                break
            except pa.ArrowInvalid as error:
                raise FormatError(f"{path}: {error} (after row {emitted})") from None
            batch = _as_utf8(batch, emitted)
            batch, emitted = _with_irregular_rows(batch, irregular, names, delimiter, emitted, last=False)
            errors = batch.column(_UTF8_ERRORS)
            batch = batch.drop_columns([_UTF8_ERRORS])
            yield Block(batch, errors if errors.null_count < len(errors) else None, raw.tell())
        if irregular:
            batch, emitted = _with_irregular_rows(_empty_text_batch([*names, _UTF8_ERRORS]), irregular, names,
                                                  delimiter, emitted, last=True)
            yield Block(batch.drop_columns([_UTF8_ERRORS]), None, raw.tell())
        elif emitted == 0:  # a header alone: its columns still reach the output
            yield Block(_empty_text_batch(names), None, raw.tell())


#: A column carried beside a CSV batch while its rows are put in order: why a row's text was not UTF-8.
_UTF8_ERRORS = "\0utf8"


def _as_utf8(batch: Any, emitted: int) -> Any:
    """The batch's byte columns as text, plus the ``_UTF8_ERRORS`` column; a cell that is not
    UTF-8 keeps its bytes as Python escapes (``\\xff``) and its row says so."""
    pa = pyarrow()
    columns: list[Any] = []
    errors: list[str | None] = [None] * batch.num_rows
    for name, column in zip(batch.schema.names, batch.columns):
        try:
            columns.append(column.cast(pa.string()))
        except pa.ArrowInvalid:
            values = column.to_pylist()
            for row, value in enumerate(values):
                try:
                    values[row] = None if value is None else value.decode("utf-8")
                except UnicodeDecodeError:
                    values[row] = value.decode("utf-8", "backslashreplace")
                    errors[row] = errors[row] or f"row {emitted + row + 1}: {name!r} is not UTF-8"
            columns.append(pa.array(values, pa.string()))
    # pa.array of a Python list looks for pandas first (importing it costs a second where it is
    # installed): the usual batch has no error and needs no list.
    error_column = pa.nulls(batch.num_rows, pa.string()) if not any(errors) else pa.array(errors, pa.string())
    return pa.RecordBatch.from_arrays([*columns, error_column], names=[*batch.schema.names, _UTF8_ERRORS])


def _empty_text_batch(names: list[str]) -> Any:
    pa = pyarrow()
    return pa.RecordBatch.from_arrays([pa.array([], pa.string()) for _ in names], names=names)


def _fields_of(text: str, delimiter: str) -> list[str | None]:
    """The fields of one CSV row, null and empty apart as in the rest of the file."""
    pa = pyarrow("csv")
    pcsv = pa.csv
    try:
        row = pcsv.read_csv(
            io.BytesIO(text.encode("utf-8", "backslashreplace") + b"\n"),
            read_options=pcsv.ReadOptions(autogenerate_column_names=True, use_threads=False),
            parse_options=pcsv.ParseOptions(delimiter=delimiter, newlines_in_values=True),
            convert_options=pcsv.ConvertOptions(column_types={f"f{i}": pa.string() for i in range(text.count(delimiter) + 1)},
                                                strings_can_be_null=True, quoted_strings_can_be_null=False))
        if row.num_rows == 1:
            return list(row.to_pylist()[0].values())
    except pa.ArrowInvalid:
        pass
    return list(next(csv.reader(io.StringIO(text), delimiter=delimiter), []))


def _with_irregular_rows(batch: Any, irregular: list[tuple[int | None, str]], names: list[str], delimiter: str,
                         emitted: int, last: bool) -> tuple[Any, int]:
    """Puts the rows whose field count differed from the header back into ``batch``, at their
    place in the file (counted from their line number, which is exact unless quoted values span
    lines), with extra fields in columns named ``field_N`` (N counting from 1)."""
    pa = pyarrow()
    end = emitted + batch.num_rows
    mine: list[tuple[int, list[str | None]]] = []
    while irregular:
        number, text = irregular[0]
        index = number - 2 if number is not None else end  # the header is line 1
        if not last and index >= end + len(mine):
            break
        irregular.pop(0)
        mine.append((max(index, emitted), _fields_of(text, delimiter)))
    if not mine:
        return batch, end
    width = max(len(names), *(len(fields) for _, fields in mine))
    taken = set(names)
    extra = []
    for position in range(len(names), width):
        name = f"field_{position + 1}"
        while name in taken:
            name += "_"
        taken.add(name)
        extra.append(name)
    columns = [[fields[i] if i < len(fields) else None for _, fields in mine] for i in range(width)]
    odd = pa.RecordBatch.from_arrays([pa.array(values, pa.string()) for values in columns], names=[*names, *extra])
    table = pa.concat_tables([pa.Table.from_batches([batch]), pa.Table.from_batches([odd])],
                             promote_options="default")
    # Row i of the merged table goes to its file position.
    positions = list(range(batch.num_rows))
    order: list[int] = []
    good = 0
    for slot, (index, _) in enumerate(mine):
        while good < batch.num_rows and emitted + len(order) < index:
            order.append(positions[good])
            good += 1
        order.append(batch.num_rows + slot)
    order.extend(positions[good:])
    table = table.take(pa.array(order, pa.int64())).combine_chunks()
    merged_batch = table.to_batches()[0] if table.num_rows else _empty_text_batch(table.schema.names)
    return merged_batch, emitted + table.num_rows


# ---- JSON Lines ----


def _jsonl_blocks(path: Path, kind: FileKind, threads: bool) -> Iterator[Block]:
    stream, raw = _open_input(path, kind.codec)
    # A plain file is read again from the start of a block's unfinished last line, rather than
    # that line being joined to the next block (a copy of the whole block).
    seekable = kind.codec is None
    line = 1
    with stream:
        rest = b""
        while True:
            data = stream.read(JSON_BLOCK)
            if not data:
                break
            if rest:
                data = rest + data
            cut = data.rfind(b"\n") + 1
            if cut == 0:
                rest = data
                continue
            rest = b""
            if cut < len(data):
                if seekable:
                    stream.seek(cut - len(data), 1)
                else:
                    rest = data[cut:]
            block = memoryview(data)[:cut]
            lines, filled = _line_counts(block)
            yield Block(*_json_block(block, line, threads, filled), raw.tell())
            line += lines
        if rest.strip():
            yield Block(*_json_block(rest + b"\n", line, threads, 1), raw.tell())  # a last line without its end


def _line_counts(block: bytes | memoryview) -> tuple[int, int]:
    """The lines of ``block`` (each ended by a newline) and those holding more than JSON whitespace."""
    count = _native_function("count_json_lines")
    if count is not None:
        lines, blank = count(block)
        return int(lines), int(lines) - int(blank)
    lines = bytes(block).split(b"\n")[:-1]
    return len(lines), sum(1 for line in lines if line.strip(b" \t\r"))


def _sound_text(value: Any) -> Any:
    """``value`` with every lone surrogate (JSON may escape one; no output format holds it as
    text) written as its escape, ``\\ud800``, in strings and keys alike; nothing is dropped."""
    if isinstance(value, str):
        return value.encode("utf-8", "backslashreplace").decode("utf-8") if not value.isascii() else value
    if isinstance(value, dict):
        return {_sound_text(k): _sound_text(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_sound_text(v) for v in value]
    return value


def _json_block(block: bytes | memoryview, first_line: int, threads: bool, filled: int) -> tuple[Any, Any]:
    """One block of JSON Lines (``filled`` of its lines not blank) as a record batch: pyarrow's
    reader when the block is regular, else line by line (a line that is not an object, types that
    differ, integers beyond 64 bits, a row count other than ``filled``: pyarrow reads two objects
    on one line as two rows)."""
    pa = pyarrow("json")
    pj = pa.json
    read = pj.ReadOptions(use_threads=threads, block_size=1 << 20)
    try:
        table = pj.read_json(pa.py_buffer(block), read_options=read)
        # Text that looks like a time is read as a timestamp, which would rewrite it: keep the text.
        stamps = [f for f in table.schema if pa.types.is_timestamp(f.type) or pa.types.is_date(f.type)]
        if stamps:
            table = pj.read_json(pa.py_buffer(block), read_options=read, parse_options=pj.ParseOptions(
                explicit_schema=pa.schema([(f.name, pa.string()) for f in stamps]), unexpected_field_behavior="infer"))
        if not _exact_numbers(pa, table) or _has_timestamps(pa, table.schema):
            raise ValueError("numbers or times pyarrow would change")
        if table.num_rows == 0 or table.num_rows != filled:
            raise ValueError("no rows, or a line holding more than one value")
        table.validate()  # pyarrow's reader can build an unsound array (lists of nulls): read by lines then
        return table.combine_chunks().to_batches()[0], None
    except (pa.ArrowInvalid, ValueError):
        pass
    rows: list[dict[str, Any] | None] = []
    errors: list[str | None] = []
    for number, text in enumerate(bytes(block).split(b"\n"), first_line):
        if not text.strip():
            continue
        try:
            # Deeply nested lines are refused here rather than exhausting the stack.
            row = parse_json(text.decode("utf-8"), f"line {number}: not JSON")
            if b"\\ud" in text.lower():  # an escaped surrogate, perhaps a lone one
                row = _sound_text(row)
        except (ValueError, UnicodeDecodeError) as error:
            message = str(error) if isinstance(error, ValueError) and not isinstance(error, UnicodeDecodeError) \
                else f"line {number}: not UTF-8"
            rows.append(None)
            errors.append(message)
            continue
        if isinstance(row, dict):
            rows.append(row)
            errors.append(None)
        else:
            rows.append(None)
            errors.append(f"line {number}: not a JSON object")
    return rows_to_batch(rows), (pa.array(errors, pa.string()) if any(errors) else None)


def _has_timestamps(pa: Any, schema: Any) -> bool:
    """Whether any column, or any field nested in one, was read as a time."""
    return any("timestamp" in str(f.type) or "date32" in str(f.type) for f in schema)


def _exact_numbers(pa: Any, table: Any) -> bool:
    """False when a float column holds whole numbers too large for a double to keep exactly
    (pyarrow reads integers beyond 64 bits as doubles)."""
    pc = compute()
    for column in table.columns:
        if pa.types.is_floating(column.type) and column.null_count < len(column):
            big = pc.greater_equal(pc.abs(column), 2.0**53)
            if pc.any(big).as_py():
                return False
    return True


def _json_array_blocks(path: Path, kind: FileKind, batch_rows: int) -> Iterator[Block]:
    """A file holding one JSON array of objects (read whole: such files are written whole)."""
    stream, raw = _open_input(path, kind.codec)
    with stream:
        data = stream.read()
    size = path.stat().st_size
    try:
        items = parse_json(data.decode("utf-8"), f"{path}: not JSON")
        if b"\\ud" in data.lower():  # an escaped surrogate, perhaps a lone one
            items = _sound_text(items)
    except UnicodeDecodeError:
        raise FormatError(f"{path}: not UTF-8") from None
    if isinstance(items, dict):
        items = [items]
    if not isinstance(items, list):
        raise FormatError(f"{path}: expected a JSON array of objects")
    pa = pyarrow()
    for start in range(0, max(len(items), 1), batch_rows):
        chunk = items[start:start + batch_rows]
        if not chunk:
            return
        rows = [item if isinstance(item, dict) else None for item in chunk]
        errors = [None if isinstance(item, dict) else f"item {start + i}: not a JSON object"
                  for i, item in enumerate(chunk)]
        yield Block(rows_to_batch(rows), pa.array(errors, pa.string()) if any(errors) else None, size)


def rows_to_batch(rows: list[dict[str, Any] | None]) -> Any:
    """Row dicts (None: a row without columns) as a record batch, every key a column in
    first-seen order; a column whose values are not all of one JSON type is text (strings as
    they are, other values as JSON)."""
    pa = pyarrow()
    names: dict[str, None] = {}
    for row in rows:
        if row:
            names.update(dict.fromkeys(row))
    columns = []
    for name in names:
        values = [row.get(name) if row else None for row in rows]
        columns.append(_column_of(pa, values))
    if not names:  # rows, but no columns
        return pa.record_batch([pa.nulls(len(rows))], names=["_"]).drop_columns(["_"])
    return pa.RecordBatch.from_arrays(columns, names=list(names))


def _column_of(pa: Any, values: list[Any]) -> Any:
    kinds = {type(v) for v in values if v is not None}
    if not kinds:
        return pa.nulls(len(values))
    simple = {str: pa.string(), bool: pa.bool_(), int: pa.int64(), float: pa.float64()}
    if len(kinds) == 1 and (kind := next(iter(kinds))) in simple:
        try:
            return pa.array(values, simple[kind])
        except (OverflowError, pa.ArrowInvalid):
            pass
    return pa.array([v if v is None or isinstance(v, str) else json_text(v) for v in values], pa.string())


def json_text(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, default=_json_default)


def _json_default(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "0x" + bytes(value).hex()
    return str(value)


# ---- One schema for blocks that differ ----


def unify(schema: Any, other: Any) -> Any:
    """The schema holding both: new columns appended; a column whose types differ becomes text
    (a null-typed column takes the other's type)."""
    pa = pyarrow()
    if schema.equals(other):
        return schema
    fields = {f.name: f for f in schema}
    for field in other:
        known = fields.get(field.name)
        if known is None:
            fields[field.name] = field
        elif known.type != field.type:
            if pa.types.is_null(known.type):
                fields[field.name] = field.with_nullable(True)
            elif not pa.types.is_null(field.type):
                fields[field.name] = pa.field(field.name, pa.string())
    return pa.schema(list(fields.values()))


def conform(batch: Any, schema: Any) -> Any:
    """``batch`` with exactly the columns of ``schema`` (missing ones null, others as text where
    ``unify`` made them text)."""
    pa = pyarrow()
    if batch.schema == schema:
        return batch
    columns = []
    for field in schema:
        index = batch.schema.get_field_index(field.name)
        if index < 0:
            columns.append(pa.nulls(batch.num_rows, field.type))
            continue
        column = batch.column(index)
        if column.type != field.type:
            column = column.cast(field.type) if pa.types.is_null(column.type) else as_text(column)
        columns.append(column)
    return pa.RecordBatch.from_arrays(columns, schema=schema)


def as_text(array: Any) -> Any:
    """A column as text: strings as they are, numbers, booleans and times in their usual text
    form, anything else (bytes, lists, structs) as JSON, bytes as "0x" + hex."""
    pa = pyarrow()
    kind = array.type
    if pa.types.is_string(kind):
        return array
    if (pa.types.is_large_string(kind) or pa.types.is_string_view(kind) or pa.types.is_integer(kind)
            or pa.types.is_boolean(kind) or pa.types.is_temporal(kind) or pa.types.is_decimal(kind)):
        return array.cast(pa.string())
    if pa.types.is_floating(kind):
        return pa.array([None if v is None else json_text(v) for v in array.to_pylist()], pa.string())
    values = array.to_pylist()
    return pa.array([v if v is None or isinstance(v, str) else
                     ("0x" + v.hex() if isinstance(v, bytes) else json_text(v)) for v in values], pa.string())


# ---- Writers ----


def _flat(pa: Any, field: Any) -> bool:
    """Whether the CSV writer takes this type as it is."""
    kind = field.type
    return not (pa.types.is_nested(kind) or pa.types.is_dictionary(kind) or pa.types.is_binary(kind)
                or pa.types.is_large_binary(kind) or pa.types.is_fixed_size_binary(kind)
                or pa.types.is_binary_view(kind) or pa.types.is_string_view(kind) or pa.types.is_null(kind))


@dataclass(frozen=True)
class Rendered:
    """A batch already turned into the bytes of the output file; for CSV also the schema the
    bytes were rendered for (a file whose columns differ reads the batch back from them, then
    conforms and renders it again) and, for a batch without columns, the batch."""

    data: Any
    schema: Any = None
    batch: Any = None


class TableWriter:
    """Writes record batches whose columns may grow or change type between batches.

    Parquet and CSV fix their columns when the file starts: when a batch brings new columns
    or text where a column had another type, the file written so far is closed as a segment
    and a new one begins with the wider schema; ``close`` then joins the segments into the
    target in the final schema (one extra pass, only for files whose columns changed). JSON
    Lines has no fixed columns and is written as it comes."""

    def __init__(self, path: Path, kind: FileKind, *, threads: int = 1) -> None:
        self.path = path
        self.kind = kind
        self.threads = threads  # for kestrix's own Parquet writer: columns encoded at once
        self.schema: Any = None
        self.segments: list[tuple[Path, Any]] = []  # (file, schema) of finished segments
        self.created: list[Path] = []  # every file opened, removed by abort
        self.target = path
        self.sink: Any = None
        self.writer: Any = None
        self.stream: ParquetStream | None = None
        self.pending: list[Any] = []  # Parquet batches of the row group being gathered
        self.pending_rows = 0
        self.pending_bytes = 0

    def prepare(self, batch: Any) -> Any:
        """What ``write`` takes for ``batch``; safe on any thread, so that the formatting that
        depends on nothing written before (JSON Lines and CSV text) runs on the decoding threads."""
        if self.kind.format in ("csv", "tsv"):
            ready = _csv_ready(batch)
            return Rendered(csv_bytes(ready, self._delimiter(), header=False), ready.schema,
                            None if ready.num_columns else ready)
        return Rendered(jsonl_bytes(batch)) if self.kind.format == "jsonl" else batch

    def write(self, batch: Any, memo: tuple[int, bytes, list[str]] | None = None) -> None:
        """Appends a batch (as ``prepare`` gave it). ``memo``: (numbering, memo rows, names of
        the columns whose values follow each row's memo row), which kestrix's Parquet writer
        uses to encode such a value once per memo row."""
        if self.kind.format == "jsonl":
            if self.sink is None:
                self._start(pyarrow().schema([]), self.path)
            self.sink.write(batch.data if isinstance(batch, Rendered) else jsonl_bytes(batch))
            return
        if self.kind.format in ("csv", "tsv"):
            self._write_csv(batch)
            return
        schema = batch.schema if self.schema is None else unify(self.schema, batch.schema)
        if self.schema is None or not schema.equals(self.schema):
            if self.writer is not None or self.stream is not None:
                self._finish_segment()
            self._start(schema, self.path.with_name(f"{self.path.name}.{len(self.segments)}"))
        conformed = conform(batch, self.schema)
        if self.stream is not None:
            # Columns conformed to another type no longer hold what the memo rows say.
            self.stream.write(conformed, memo if conformed is batch else None)
        else:
            self._write(conformed)

    def _delimiter(self) -> str:
        return "\t" if self.kind.format == "tsv" else ","

    def _write_csv(self, batch: Any) -> None:
        """Appends a CSV batch (rendered by ``prepare`` or not): as it is when its columns are the
        file's, else into the segment of the unified columns, conformed and rendered again."""
        rendered = batch if isinstance(batch, Rendered) else None
        ready = _csv_ready(batch) if rendered is None else rendered.batch
        columns = ready.schema if rendered is None else rendered.schema
        if rendered is not None and self.schema is not None and columns == self.schema:
            self._append(rendered.data)
            return
        if rendered is not None and ready is None:  # rendered for other columns: read back from its text
            ready = self._read_rendered(rendered)
        schema = ready.schema if self.schema is None else unify(self.schema, ready.schema)
        if self.schema is None or not schema.equals(self.schema):
            if self.sink is not None:
                self._finish_segment()
            self._start(schema, self.path.with_name(f"{self.path.name}.{len(self.segments)}"))
        conformed = conform(ready, self.schema)
        if rendered is not None and conformed.schema == columns:
            self._append(rendered.data)
        else:
            self._write(conformed)

    def _read_rendered(self, rendered: Rendered) -> Any:
        """The batch ``rendered`` holds the text of."""
        pa = pyarrow()
        if not rendered.data.size:
            return _no_rows(rendered.schema)
        reader = self._csv_reader(pa.BufferReader(rendered.data), rendered.schema, header=False)
        return pa.Table.from_batches(list(reader), reader.schema).combine_chunks().to_batches()[0]

    def _append(self, data: Any) -> None:
        """Writes CSV text in pieces: one write of many megabytes costs the kernel twice the CPU."""
        view = memoryview(data)
        for start in range(0, len(view), CSV_WRITE_BYTES):
            self.sink.write(view[start:start + CSV_WRITE_BYTES])

    def _write(self, batch: Any) -> None:
        if self.kind.format != "parquet":
            self._append(csv_bytes(batch, self._delimiter(), header=False))
            return
        if self.stream is not None:
            self.stream.write(batch)
            return
        self.pending.append(batch)
        self.pending_rows += batch.num_rows
        self.pending_bytes += held_bytes(batch)
        if self.pending_rows >= ROW_GROUP_ROWS or self.pending_bytes >= ROW_GROUP_BYTES:
            self._flush()

    def _flush(self) -> None:
        if self.pending:
            pa = pyarrow()
            self.writer.write_table(pa.Table.from_batches(self.pending, self.schema), row_group_size=ROW_GROUP_ROWS)
        self.pending, self.pending_rows, self.pending_bytes = [], 0, 0

    def _start(self, schema: Any, target: Path) -> None:
        pa = pyarrow()
        self.schema = schema
        self.target = target
        self.created.append(target)
        if self.kind.format == "parquet":
            # Min/max statistics of the long free-text result columns never prune a row group and
            # cost an eighth of the writing: kept for every other column.
            statistics = [name for name in schema.names if name not in UNSORTED_TEXT]
            self.stream = ParquetStream.open(target, schema, statistics, self.threads)
            if self.stream is None:
                self.writer = pyarrow("parquet").parquet.ParquetWriter(target, schema, write_statistics=statistics)
            return
        raw = pa.OSFile(str(target), "wb")
        self.sink = pa.CompressedOutputStream(raw, self.kind.codec) if self.kind.codec else raw
        if self.kind.format in ("csv", "tsv"):
            self.sink.write(_csv_header(schema, self._delimiter()))

    def _close_open(self) -> None:
        self._flush()
        if self.stream is not None:
            self.stream.close()
            self.stream = None
        if self.writer is not None:
            self.writer.close()
        if self.sink is not None:
            self.sink.close()
        self.writer = self.sink = None

    def _finish_segment(self) -> None:
        self._close_open()
        self.segments.append((self.target, self.schema))

    def close(self, *, empty_schema: Any) -> None:
        """Finishes the file (``empty_schema``: the columns of a file without rows)."""
        if self.kind.format == "jsonl":
            if self.sink is None:
                self._start(empty_schema, self.path)
            self._close_open()
            return
        if self.schema is None:  # nothing written yet
            self.write(_empty_batch(empty_schema))
        self._finish_segment()
        if len(self.segments) == 1:
            os.replace(self.segments[0][0], self.path)
            return
        self.schema = self.segments[-1][1]
        self._start(self.schema, self.path)
        for path, schema in self.segments:
            for batch in self._read_segment(path, schema):
                self._write(conform(batch, self.schema))
        self._close_open()
        for path, _ in self.segments:
            path.unlink(missing_ok=True)

    def _read_segment(self, path: Path, schema: Any) -> Iterator[Any]:
        pa = pyarrow()
        if self.kind.format == "parquet":
            yield from pyarrow("parquet").parquet.ParquetFile(path).iter_batches(batch_size=65536)
            return
        stream = pa.OSFile(str(path), "rb")
        if self.kind.codec:
            stream = pa.CompressedInputStream(stream, self.kind.codec)
        with stream:
            yield from self._csv_reader(stream, schema, header=True)

    def _csv_reader(self, stream: Any, schema: Any, *, header: bool) -> Any:
        """Batches of the CSV text this writer wrote for ``schema``, as they were: only an empty
        unquoted field is null (not "nan", not "NA"), and an empty line is a row (of a single
        column, null)."""
        pa = pyarrow("csv")
        return pa.csv.open_csv(
            stream, read_options=pa.csv.ReadOptions(use_threads=False, column_names=None if header else schema.names),
            parse_options=pa.csv.ParseOptions(delimiter=self._delimiter(), newlines_in_values=True,
                                              ignore_empty_lines=False),
            convert_options=pa.csv.ConvertOptions(column_types={f.name: f.type for f in schema}, null_values=[""],
                                                  strings_can_be_null=True, quoted_strings_can_be_null=False))

    def abort(self) -> None:
        """Closes what is open without finishing it and removes every file written."""
        self.pending = []
        if self.stream is not None:
            self.stream.abort()
            self.stream = None
        for closer in (self.writer, self.sink):
            if closer is not None:
                try:
                    closer.close()
                except Exception:  # noqa: BLE001 (the files are removed next, whatever failed)
                    pass
        self.writer = self.sink = None
        for path in (*self.created, self.path):
            path.unlink(missing_ok=True)


#: Parquet kinds of kestrix's own writer (ParquetKind in src/tools/parquet_writer.hpp).
_PARQUET_BOOL, _PARQUET_FLOAT32, _PARQUET_FLOAT64, _PARQUET_TEXT, _PARQUET_BINARY = 0, 9, 10, 11, 12
_PARQUET_INTEGERS = {(8, True): 1, (16, True): 2, (32, True): 3, (64, True): 4,
                     (8, False): 5, (16, False): 6, (32, False): 7, (64, False): 8}


class ParquetStream:
    """A Parquet file written by kestrix's own writer: each batch is encoded as it comes, its
    columns on ``threads`` threads, so a row group of a million rows holds only its encoded
    pages in memory. It takes flat columns of booleans, integers, floats, text and binary (the
    file reads back with the same Arrow schema, which it stores as Arrow's writer does);
    ``open`` gives None for other columns, which Arrow's writer then writes."""

    def __init__(self, handle: Any, sink: Any, write: Any, finish: Any, folder: Path) -> None:
        self.handle, self.sink, self._write, self._finish = handle, sink, write, finish
        self.folder = folder
        self.spill: Any = None  # the temporary file of spilled pages, made when first needed

    @classmethod
    def open(cls, target: Path, schema: Any, statistics: list[str], threads: int) -> ParquetStream | None:
        make = _native_function("parquet_writer")
        fields = _parquet_fields(schema, set(statistics))
        if make is None or fields is None:
            return None
        import base64

        pa = pyarrow()
        metadata = [(key, value) for key, value in (schema.metadata or {}).items() if key != b"ARROW:schema"]
        metadata.append((b"ARROW:schema", base64.b64encode(schema.serialize().to_pybytes())))
        handle = make(fields, max(1, threads), ROW_GROUP_ROWS, ROW_GROUP_BYTES, _created_by(), metadata,
                      SPILL_BYTES)
        return cls(handle, pa.OSFile(str(target), "wb"), _native_function("parquet_write"),
                   _native_function("parquet_finish"), target.parent)

    def write(self, batch: Any, memo: tuple[int, bytes, list[str]] | None = None) -> None:
        """Encodes a batch of the stream's columns; ``memo`` as ``TableWriter.write`` takes it."""
        pa = pyarrow()
        hint = None
        if memo is not None:
            numbering, rows, names = memo
            hint = (numbering, rows, [batch.schema.get_field_index(name) for name in names])
        spilled, pieces = self._write(self.handle, batch.num_rows, batch.schema.names,
                                      [_parquet_layout(pa, column) for column in batch.columns], hint)
        if spilled:
            if self.spill is None:
                import tempfile

                # Beside the output (the same disk, where /tmp may be memory), without a name.
                self.spill = tempfile.TemporaryFile(dir=self.folder, prefix=".kestrix-spill-")
            for piece in spilled:
                self.spill.write(piece)
        self._put(pieces)

    def _put(self, pieces: list[Any]) -> None:
        for piece in pieces:
            if not isinstance(piece, tuple):
                self.sink.write(piece)
                continue
            offset, size = piece
            self.spill.flush()
            while size > 0:
                chunk = os.pread(self.spill.fileno(), min(size, 1 << 20), offset)
                if not chunk:
                    raise OSError(f"the spill file in {self.folder} lost what was written to it")
                self.sink.write(chunk)
                offset += len(chunk)
                size -= len(chunk)

    def close(self) -> None:
        self._put(self._finish(self.handle))
        self._close_files()

    def abort(self) -> None:
        self._close_files()

    def _close_files(self) -> None:
        """Closes the file, and the spill file (which goes with it, having no name)."""
        self.sink.close()
        if self.spill is not None:
            self.spill.close()


def _created_by() -> str:
    from kestrix_tools import __version__

    return f"kestrix-evm version {__version__}"


def _parquet_fields(schema: Any, statistics: set[str]) -> list[tuple[str, int, bool, bool]] | None:
    """(name, kind, nullable, statistics) of every column, or None when one is of a type
    kestrix's writer does not take."""
    pa = pyarrow()
    fields = []
    for field in schema:
        kind = field.type
        if pa.types.is_boolean(kind):
            code = _PARQUET_BOOL
        elif pa.types.is_integer(kind):
            code = _PARQUET_INTEGERS[(kind.bit_width, pa.types.is_signed_integer(kind))]
        elif kind in (pa.float32(), pa.float64()):
            code = _PARQUET_FLOAT32 if kind == pa.float32() else _PARQUET_FLOAT64
        elif pa.types.is_string(kind) or pa.types.is_large_string(kind):
            code = _PARQUET_TEXT
        elif pa.types.is_binary(kind) or pa.types.is_large_binary(kind):
            code = _PARQUET_BINARY
        else:
            return None
        fields.append((field.name, code, field.nullable, field.name in statistics))
    return fields or None


def _parquet_layout(pa: Any, column: Any) -> tuple[int, int, Any, Any, Any]:
    """(layout, offset, validity, values, data) of a column of a type ``_parquet_fields`` takes."""
    kind = column.type
    if pa.types.is_boolean(kind) or pa.types.is_integer(kind) or pa.types.is_floating(kind):
        validity, values = column.buffers()
        code = (_BOOL if pa.types.is_boolean(kind) else _FLOAT32 if kind == pa.float32()
                else _FLOAT64 if kind == pa.float64() else _INTEGERS[(kind.bit_width, pa.types.is_signed_integer(kind))])
        return (code, column.offset, validity, values, None)
    validity, offsets, data = column.buffers()
    large = pa.types.is_large_string(kind) or pa.types.is_large_binary(kind)
    return (_LARGE_TEXT if large else _TEXT, column.offset, validity, offsets, data)


def held_bytes(batch: Any) -> int:
    """The memory ``batch`` holds: its bytes if already rendered, else every buffer its columns
    reference, counted once however many columns share it (``raw_data`` and the input column,
    the root-cause columns of rows without nesting) and whole where a column is a slice."""
    if isinstance(batch, Rendered):
        return int(batch.data.size)
    return int(batch.get_total_buffer_size())


def _empty_batch(schema: Any) -> Any:
    pa = pyarrow()
    return pa.RecordBatch.from_arrays([pa.array([], f.type) for f in schema], schema=schema)


def _csv_ready(batch: Any) -> Any:
    """Columns the CSV writer cannot take (bytes, lists, structs, dictionaries, all-null, string
    views) as text."""
    pa = pyarrow()
    if all(_flat(pa, f) for f in batch.schema):
        return batch
    columns = [c if _flat(pa, f) else (c.cast(pa.string()) if pa.types.is_null(f.type) else as_text(c))
               for c, f in zip(batch.columns, batch.schema)]
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names)


# ---- CSV and TSV out ----


def csv_bytes(batch: Any, delimiter: str, *, header: bool) -> Any:
    """A buffer holding ``batch`` (as ``_csv_ready`` leaves it) as CSV, byte for byte what
    pyarrow's ``CSVWriter`` writes with ``WriteOptions(delimiter=delimiter, include_header=header)``:
    text quoted with '"' doubled, null an empty unquoted field (``""`` is empty text), numbers and
    times as Arrow casts them to text. The native writer takes text, integers, booleans and
    floats from their Arrow buffers, other columns as the text Arrow casts them to."""
    pa = pyarrow()
    write = _native_function("write_csv")
    if write is None:
        pyarrow("csv")
        sink = pa.BufferOutputStream()
        writer = pa.csv.CSVWriter(sink, batch.schema, write_options=pa.csv.WriteOptions(
            delimiter=delimiter, include_header=header))
        writer.write_batch(batch)
        writer.close()
        return sink.getvalue()
    columns = [_csv_column(pa, column) for column in batch.columns]
    return pa.py_buffer(write(batch.num_rows, batch.schema.names, columns, delimiter, header))


def _no_rows(schema: Any) -> Any:
    """A batch of ``schema`` without rows, built without ``pa.array`` (which imports pandas where
    it is installed: a second of CPU)."""
    pa = pyarrow()
    return pa.RecordBatch.from_arrays([pa.nulls(0, field.type) for field in schema], schema=schema)


def _csv_header(schema: Any, delimiter: str) -> Any:
    """The header line ``csv_bytes`` writes for ``schema``."""
    return csv_bytes(_no_rows(schema), delimiter, header=True)


def _csv_column(pa: Any, column: Any) -> tuple[int, int, Any, Any, Any]:
    """(kind, offset, validity, values, data) of one column for the native CSV writer."""
    kind = column.type
    if kind in (pa.float32(), pa.float64()):  # every value: CSV has nan and inf
        validity, values = column.buffers()
        return (_FLOAT32 if kind == pa.float32() else _FLOAT64, column.offset, validity, values, None)
    if (pa.types.is_null(kind) or pa.types.is_string(kind) or pa.types.is_large_string(kind)
            or pa.types.is_string_view(kind) or pa.types.is_boolean(kind) or pa.types.is_integer(kind)):
        return _native_column(pa, column)
    # Times, decimals, half floats: Arrow's text, unquoted, as its CSV writer casts them.
    large = len(column) > (1 << 24)  # text past 2 GB needs 64-bit offsets
    text = column.cast(pa.large_string() if large else pa.string())
    validity, offsets, data = text.buffers()
    return (_LARGE_JSON if large else _JSON, text.offset, validity, offsets, data)


# ---- JSON Lines out, built column by column ----

#: Bytes a JSON string holds as they are (everything but '"', backslash and control characters).
_PLAIN = bytes(b for b in range(0x20, 0x100) if b not in b'"\\')
_CONTROL = r"[\x00-\x1f]"


def jsonl_bytes(batch: Any) -> Any:
    """A buffer holding the rows of ``batch`` as JSON Lines (UTF-8, one object per line, every column a key,
    null as null). The native writer takes text, integers, booleans and finite floats from their
    Arrow buffers; every other column is first rendered to JSON text here (``_json_values``).
    Text is escaped as ``json.dumps(s, ensure_ascii=False)``; a float is written as Arrow writes it
    (shortest digits that read back as the same value, positional for decimal exponents -6..9,
    else ``1e+16``), with ``.0`` added to a whole number so that it reads back as a float; a
    float32 reads back as the same float32."""
    pa = pyarrow()
    if batch.num_rows == 0:
        return pa.py_buffer(b"")
    write = _native_function("write_json_lines")
    if write is None:
        return _jsonl_bytes_arrow(batch)
    columns = [_native_column(pa, column) for column in batch.columns]
    return pa.py_buffer(write(batch.num_rows, batch.schema.names, columns))


#: The native writer's column kinds (JsonColumnKind in src/tools/jsonl_writer.hpp).
_NULL, _TEXT, _LARGE_TEXT, _JSON, _LARGE_JSON, _BOOL = range(6)
_INTEGERS = {(8, True): 6, (16, True): 7, (32, True): 8, (64, True): 9,
             (8, False): 10, (16, False): 11, (32, False): 12, (64, False): 13}
_FLOAT32, _FLOAT64 = 14, 15


def _native_function(name: str) -> Any:
    """The native module's function ``name``, or None where the module or the function is missing."""
    try:
        from kestrix_tools import _native
    except ImportError:
        return None
    return getattr(_native, name, None)


def _native_column(pa: Any, column: Any) -> tuple[int, int, Any, Any, Any]:
    """(kind, offset, validity, values, data) of one column for the native writer; columns of
    other types (and floats that are not all finite) as the JSON text ``_json_values`` renders."""
    kind = column.type
    if pa.types.is_null(kind):
        return (_NULL, 0, None, None, None)
    if pa.types.is_string_view(kind):
        column = column.cast(pa.large_string() if column.nbytes > (1 << 30) else pa.string())
        kind = column.type
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        validity, offsets, data = column.buffers()
        return (_LARGE_TEXT if pa.types.is_large_string(kind) else _TEXT, column.offset, validity, offsets, data)
    if pa.types.is_boolean(kind) or pa.types.is_integer(kind) or kind in (pa.float32(), pa.float64()):
        pc = compute()
        if pa.types.is_floating(kind) and not pc.all(pc.is_finite(column), min_count=0).as_py():
            return _native_json(pa, column)
        validity, values = column.buffers()
        code = (_BOOL if pa.types.is_boolean(kind) else _FLOAT32 if kind == pa.float32()
                else _FLOAT64 if kind == pa.float64() else _INTEGERS[(kind.bit_width, pa.types.is_signed_integer(kind))])
        return (code, column.offset, validity, values, None)
    return _native_json(pa, column)


def _native_json(pa: Any, column: Any) -> tuple[int, int, Any, Any, Any]:
    text = _json_values(pa, compute(), column)
    validity, offsets, data = text.buffers()
    return (_LARGE_JSON if pa.types.is_large_string(text.type) else _JSON, text.offset, validity, offsets, data)


def _jsonl_bytes_arrow(batch: Any) -> Any:
    """``jsonl_bytes`` without the native module, built with Arrow's compute kernels: only values
    that need escaping, and columns of bytes, lists and structs, are turned into JSON one by one."""
    pa = pyarrow()
    pc = compute()
    # Text past 2 GB needs 64-bit offsets; the JSON text is at most a few times the batch.
    large = batch.nbytes > (256 << 20)
    parts: list[Any] = []
    for index, (column, field) in enumerate(zip(batch.columns, batch.schema)):
        parts.append(("{" if index == 0 else ",") + json.dumps(field.name, ensure_ascii=False) + ":")
        values = _json_values(pa, pc, column)
        parts.append(values.cast(pa.large_string()) if large else values)
    if not parts:
        parts = ["{"]
    parts.append("}\n")
    lines = pc.binary_join_element_wise(*parts, "", null_handling="replace", null_replacement="null")
    if isinstance(lines, pa.Scalar):
        return pa.py_buffer((lines.as_py() or "").encode() * batch.num_rows)
    offsets, data = lines.buffers()[1], lines.buffers()[2]
    width = 8 if pa.types.is_large_string(lines.type) else 4
    start = int.from_bytes(offsets[lines.offset * width:(lines.offset + 1) * width], "little")
    end = int.from_bytes(offsets[(lines.offset + len(lines)) * width:(lines.offset + len(lines) + 1) * width],
                         "little")
    return data.slice(start, end - start)


def _json_values(pa: Any, pc: Any, column: Any) -> Any:
    """A string column holding each value's JSON text (null where the value is null)."""
    kind = column.type
    if pa.types.is_null(kind):
        return column.cast(pa.string())
    if pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind):
        text = column.cast(pa.string())
        # One pass over the column's bytes says which escapes it needs; most columns need none.
        data = text.buffers()[2]
        odd = data.to_pybytes().translate(None, _PLAIN) if data is not None else b""
        if b'"' in odd or b"\\" in odd:
            text = pc.replace_substring(pc.replace_substring(text, "\\", "\\\\"), '"', '\\"')
        quoted = pc.binary_join_element_wise('"', text, '"', "")
        if odd.translate(None, b'"\\'):  # rare: control characters, escaped one value at a time
            control = pc.match_substring_regex(text, _CONTROL)
            fixed = quoted.to_pylist()
            values = column.cast(pa.string()).to_pylist()
            for row in pc.indices_nonzero(control).to_pylist():
                fixed[row] = json.dumps(values[row], ensure_ascii=False)
            quoted = pa.array(fixed, pa.string())
        return quoted
    if pa.types.is_boolean(kind) or pa.types.is_integer(kind):
        return column.cast(pa.string())
    if pa.types.is_floating(kind):
        finite = pc.is_finite(column)
        if pc.all(pc.fill_null(finite, True)).as_py():
            text = column.cast(pa.string())
            # 1.0 is written "1" by Arrow: keep it a float for the reader.
            whole = pc.invert(pc.match_substring_regex(text, "[.e]"))
            return pc.if_else(whole, pc.binary_join_element_wise(text, ".0", ""), text)
    if pa.types.is_temporal(kind) or pa.types.is_decimal(kind):
        return pc.binary_join_element_wise('"', column.cast(pa.string()), '"', "")
    return pa.array([None if v is None else json_text(v) for v in column.to_pylist()], pa.string())

