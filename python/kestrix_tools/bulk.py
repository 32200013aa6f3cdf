"""Decoding many revert data at once: an iterator of dicts, or an Arrow column in, columns out."""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

from kestrix_tools.decoder import SupportsDecode, default_decoder

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["RESULT_FIELDS", "ROOT_FIELDS", "decode_arrow", "decode_many", "result_type"]

#: The ten keys of a result dict, in order; also the field names of ``decode_arrow``'s struct.
RESULT_FIELDS: tuple[str, ...] = (
    "raw_data",
    "selector",
    "suggestion",
    "confidence",
    "kind",
    "message",
    "error_name",
    "inputs",
    "panic_code",
    "panic_meaning",
)

#: The root-cause fields ``decode_arrow(..., root_cause=True)`` adds after the ten: the innermost
#: revert of a wrapped one, and how many wrappers lie above it (0, and the outer values, without).
ROOT_FIELDS: tuple[str, ...] = ("root_kind", "root_error_name", "root_message", "root_selector", "depth")


def _is_null(item: object) -> bool:
    """None, and what pandas and NumPy put in an empty cell: NaN, ``pd.NA``, ``pd.NaT``."""
    if item is None:
        return True
    if isinstance(item, float):
        return item != item
    if type(item).__name__ in ("NAType", "NaTType"):
        return True
    return getattr(item, "shape", None) == () and hasattr(item, "dtype") and bool(item != item)  # NumPy NaN


def decode_many(
    items: Iterable[str | bytes | bytearray | memoryview | None],
    decoder: SupportsDecode | None = None,
    *,
    errors: Literal["raise", "null"] = "raise",
    root_cause: bool = False,
) -> Iterator[DecodeResult | None]:
    """Yields one result dict per item, in order, lazily (one item in memory at a time).

    Items are hexadecimal text as ``kestrix`` reads it, or raw bytes. A null item (``None``, or
    an empty cell from pandas: ``NaN``, ``pd.NA``) yields ``None``; any other item that is not
    text or bytes (a number, say) raises ``TypeError``. Text that is not hexadecimal raises the
    decoder's ``ValueError`` (with a note giving the item's index) when ``errors="raise"``, or
    yields ``None`` when ``errors="null"``.
    With ``root_cause=True`` each dict also has, after the ten keys, the root cause of a wrapped
    revert: ``root_kind``, ``root_error_name``, ``root_message``, ``root_selector`` and ``depth``
    (0 without nesting, and then the root keys equal the outer ones).
    """
    if errors not in ("raise", "null"):
        raise ValueError(f"errors must be 'raise' or 'null', not {errors!r}")
    used = decoder if decoder is not None else default_decoder()
    decode = _with_root_cause(used) if root_cause else used.decode
    for index, item in enumerate(items):
        if isinstance(item, str):
            text = item
        elif isinstance(item, (bytes, bytearray, memoryview)):
            text = bytes(item).hex()
        elif _is_null(item):
            yield None
            continue
        else:
            # bytes(n) would make n zero bytes out of a number: refuse it.
            raise TypeError(f"decode_many() item {index} is {type(item).__name__}, not text, bytes or None")
        try:
            result = decode(text)
        except ValueError as error:
            if errors == "null":
                yield None
                continue
            error.add_note(f"while decoding item {index}")
            raise
        yield result


def _with_root_cause(decoder: SupportsDecode) -> Callable[[str], DecodeResult]:
    from kestrix_tools._explanation import explain_data

    def decode(text: str) -> DecodeResult:
        explanation = explain_data(decoder, text)
        return {**explanation.to_dict(), **explanation.root_fields()}  # type: ignore[typeddict-item]

    return decode


@functools.cache
def result_type(*, error_column: bool = False, root_cause: bool = False) -> Any:
    """The Arrow struct type ``decode_arrow`` returns: strings, ``float64`` confidence,
    ``uint64`` panic code, the root-cause fields (``uint8`` depth) and a trailing string
    ``error`` field when asked for."""
    import pyarrow as pa

    string_fields = [(name, pa.string()) for name in RESULT_FIELDS]
    fields = dict(string_fields)
    fields["confidence"] = pa.float64()
    fields["panic_code"] = pa.uint64()
    if root_cause:
        fields.update((name, pa.string()) for name in ROOT_FIELDS)
        fields["depth"] = pa.uint8()
    if error_column:
        fields["error"] = pa.string()
    return pa.struct(list(fields.items()))


_TEXT_TYPES = ("string", "large_string", "string_view")
_BYTES_TYPES = ("binary", "large_binary", "binary_view")


def decode_arrow(array: Any, decoder: Any = None, *, error_column: bool = False, root_cause: bool = False) -> Any:
    """Decodes a pyarrow column of revert data into a struct array of the ten result columns.

    ``array`` is a ``pyarrow`` string or binary array (``large_`` and view types too) or a
    ``ChunkedArray`` of one of them; text is hexadecimal as ``kestrix`` reads it, binary the raw
    bytes. The result has one row per input row, in order: a ``StructArray`` for an array, a
    ``ChunkedArray`` with the same chunking for a chunked array. Its fields are the ten keys
    of the result dict (``float64`` confidence, ``uint64`` panic code, strings otherwise).

    A null input row gives a null struct row. A row whose text is not hexadecimal gives a null
    struct row too, unless ``error_column=True``: then the struct has an eleventh string field
    ``error``, and such a row is a valid struct whose ten result fields are null and whose
    ``error`` holds the ``ValueError`` message (``error`` is null on every other row).
    With ``root_cause=True`` the struct also has ``root_kind``, ``root_error_name``,
    ``root_message``, ``root_selector`` (strings) and ``depth`` (``uint8``) after the ten: the
    innermost revert a wrapped one carries, as ``Decoder.explain`` finds it, and the number of
    wrappers above it; without nesting, depth 0 and the root fields repeat the outer ones.

    ``array`` may also be anything that exports the Arrow C stream or array interface
    (``__arrow_c_stream__``, ``__arrow_c_array__``: pandas Series with an Arrow dtype, Polars
    Series, nanoarrow arrays) or a pandas Series of ``str`` and ``None``.
    ``decoder`` is a ``kestrix_tools.Decoder`` (default: ``kestrix_tools.Decoder()``); with it
    the decoding runs natively over the Arrow buffers, building no Python object per row.
    Any other object with a ``decode`` method is called once per row instead.
    """
    import pyarrow as pa

    array = _as_arrow(array)
    if isinstance(array, pa.ChunkedArray):
        # The chunks share one memo: a revert decoded in one chunk is not decoded again in the next.
        memo = decode_memo(decoder)
        chunks = [decode_array(chunk, decoder, error_column=error_column, root_cause=root_cause, memo=memo)
                  for chunk in array.chunks]
        return pa.chunked_array(chunks, type=result_type(error_column=error_column, root_cause=root_cause))
    if not isinstance(array, pa.Array):
        raise TypeError(f"decode_arrow() expects a pyarrow Array or ChunkedArray, or an object exporting the Arrow "
                        f"C stream or array interface, not {type(array).__name__}")
    return decode_array(array, decoder, error_column=error_column, root_cause=root_cause)


def decode_memo(decoder: Any) -> Any:
    """A memo of decoded rows for one thread's ``decode_array`` calls with ``decoder``: the
    distinct reverts of earlier calls are not decoded again. None when the decoder does not run
    natively."""
    usable, native = native_decoder(decoder)
    if not usable:
        return None
    from kestrix_tools import _native

    return _native.decode_memo(native)


def decode_array(array: Any, decoder: Any, *, error_column: bool, root_cause: bool, memo: Any = None) -> Any:
    """``decode_arrow`` of one pyarrow Array, with ``memo`` (from ``decode_memo`` for the same
    decoder, used by one thread at a time) when given."""
    import pyarrow as pa

    kind = str(array.type)
    if kind not in _TEXT_TYPES + _BYTES_TYPES:
        raise TypeError(f"decode_arrow() expects a string or binary array, not {array.type}")
    if kind.endswith("_view"):
        array = array.cast(pa.string() if kind in _TEXT_TYPES else pa.binary())
    native = _decode_arrow_native(array, decoder, error_column, root_cause, memo)
    if native is not None:
        return native
    return _decode_arrow_rows(array, decoder, error_column, root_cause)


def _as_arrow(array: Any) -> Any:
    """``array`` as a pyarrow Array or ChunkedArray where it can be read as one: the Arrow C
    stream and array interfaces (a stream becomes a ChunkedArray, keeping its chunks), and a
    pandas Series (its values, by pyarrow's own conversion); anything else is returned as is."""
    import pyarrow as pa

    if isinstance(array, (pa.Array, pa.ChunkedArray)):
        return array
    if hasattr(array, "__arrow_c_stream__"):
        return pa.chunked_array(array)
    if hasattr(array, "__arrow_c_array__"):
        return pa.array(array)
    if type(array).__module__.startswith("pandas.") and type(array).__name__ == "Series":
        return pa.Array.from_pandas(array)
    return array


def native_decoder(decoder: Any) -> tuple[bool, Any]:
    """Whether the native column decode can run for ``decoder``, and the native object it takes:
    ``None`` for the built-in errors, else the ``_native.Decoder`` whose bound ``decode`` the
    decoder carries (``kestrix_tools.Decoder`` hands its calls straight to one)."""
    try:
        from kestrix_tools import _native
    except ImportError:
        return False, None
    if not hasattr(_native, "decode_arrow"):
        return False, None
    if decoder is None:
        # The package's default decoder (kept once per process), with the known errors.
        decoder = default_decoder()
    native = decoder if isinstance(decoder, _native.Decoder) else getattr(decoder.decode, "__self__", None)
    if isinstance(native, _native.Decoder):
        return True, native
    return False, None


class ColumnSummary(NamedTuple):
    """What the rows of one native decode came to."""

    kinds: dict[str, int]  #: rows per kind of result
    failed: int  #: rows that are not hexadecimal
    nulls: int  #: null rows
    nested: bool  #: whether a row's revert is nested


class NativeColumns(NamedTuple):
    """The result of one native decode, before it becomes a struct array."""

    columns: list[Any]  #: one pyarrow Array per field of the struct
    validity: Any  #: the struct's validity bitmap (a pyarrow Buffer), None without null rows
    nulls: int  #: null struct rows
    summary: ColumnSummary
    #: (numbering, rows): each row's row in the memo (uint32 bytes) and the memo's numbering of
    #: its rows. Rows of one numbering with the same memo row hold the same values in every
    #: column, and had the same input.
    memo_rows: tuple[int, bytes]


def decode_columns(array: Any, decoder: Any, *, error_column: bool, root_cause: bool,
                   memo: Any = None) -> NativeColumns | None:
    """``decode_arrow`` of a string or binary pyarrow Array (not a view type), natively over its
    buffers, as its struct's parts; None when the native module cannot decode with ``decoder``.
    ``memo`` is as for ``decode_array``."""
    import pyarrow as pa

    usable, native = native_decoder(decoder)
    if not usable:
        return None
    from kestrix_tools import _native

    kind = array.type
    validity, offsets, data = array.buffers()
    binary = pa.types.is_binary(kind) or pa.types.is_large_binary(kind)
    large = pa.types.is_large_string(kind) or pa.types.is_large_binary(kind)
    empty = b""
    parts, summary = _native.decode_arrow(native, len(array), array.offset, validity, offsets or empty,
                                          data or empty, binary, large, error_column, root_cause, memo)
    struct_type = result_type(error_column=error_column, root_cause=root_cause)
    length = len(array)
    structure, kind = parts[0], parts[1 + RESULT_FIELDS.index("kind")]
    assert structure is not None and kind is not None
    children = []
    for field, part in zip(struct_type, parts[1:]):
        if part is None:
            # raw_data repeats the input text: its offsets and data, valid where kind is.
            kind_nulls, kind_bitmap, _, _ = kind
            buffers = [pa.py_buffer(kind_bitmap) if kind_nulls else None,
                       offsets.slice(array.offset * 4, (length + 1) * 4), data or pa.py_buffer(empty)]
            children.append(pa.Array.from_buffers(field.type, length, buffers, null_count=kind_nulls))
            continue
        nulls, bitmap, first, second = part
        buffers = [pa.py_buffer(bitmap) if nulls else None, pa.py_buffer(first)]
        if second is not None:
            buffers.append(pa.py_buffer(second))
        children.append(pa.Array.from_buffers(field.type, length, buffers, null_count=nulls))
    nulls, bitmap, _, _ = structure
    kinds, failed, null_rows, nested, numbering, memo_rows = summary
    return NativeColumns(children, pa.py_buffer(bitmap) if nulls else None, nulls,
                         ColumnSummary(kinds, failed, null_rows, nested), (numbering, memo_rows))


def _decode_arrow_native(array: Any, decoder: Any, error_column: bool, root_cause: bool, memo: Any) -> Any:
    """The column decode over the Arrow buffers, or None when the native module cannot do it."""
    import pyarrow as pa

    decoded = decode_columns(array, decoder, error_column=error_column, root_cause=root_cause, memo=memo)
    if decoded is None:
        return None
    return pa.Array.from_buffers(result_type(error_column=error_column, root_cause=root_cause), len(array),
                                 [decoded.validity], null_count=decoded.nulls, children=decoded.columns)


def _decode_arrow_rows(array: Any, decoder: Any, error_column: bool, root_cause: bool) -> Any:
    """Row-by-row path for decoders the native column decode cannot use."""
    import pyarrow as pa

    used = decoder if decoder is not None else default_decoder()
    explain = getattr(used, "explain", None) if root_cause else None
    rows: list[dict[str, Any] | None] = []
    for item in array.to_pylist():
        row: dict[str, Any] | None = None
        if item is not None:
            text = item if isinstance(item, str) else item.hex()
            try:
                row = dict(used.decode(text))
                if root_cause:
                    row.update(_root_fields(row, explain(text) if explain is not None else None))
                if error_column:
                    row["error"] = None
            except ValueError as error:
                if error_column:
                    row = dict.fromkeys(RESULT_FIELDS + (ROOT_FIELDS if root_cause else ()))
                    row["error"] = str(error)
        rows.append(row)
    return pa.array(rows, type=result_type(error_column=error_column, root_cause=root_cause))


def _root_fields(outer: dict[str, Any], explanation: Any) -> dict[str, Any]:
    """The root-cause fields of one row: from the explanation's root, or the outer result's own."""
    if explanation is None or explanation.depth == 0:
        return {"root_kind": outer["kind"], "root_error_name": outer["error_name"],
                "root_message": outer["message"], "root_selector": outer["selector"], "depth": 0}
    root = explanation.root
    return {"root_kind": root.kind, "root_error_name": root.error_name, "root_message": root.message,
            "root_selector": root.selector, "depth": explanation.depth}
