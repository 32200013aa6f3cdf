"""Decoding many revert data at once: an iterator of dicts, or an Arrow column in, columns out."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal


from kestrix_tools._explain import SupportsDecode

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["RESULT_FIELDS", "decode_arrow", "decode_many", "result_type"]

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


def default_decoder() -> SupportsDecode:
    """The package's decoder with no sources of the user's: ``kestrix_tools.Decoder()``, which
    knows the built-in errors, the wrappers of data/wrappers.json and the well-known protocols'
    errors, and also decodes whole Arrow columns natively."""
    from kestrix_tools.decoder import Decoder

    return Decoder()


def decode_many(
    items: Iterable[str | bytes | bytearray | memoryview | None],
    decoder: SupportsDecode | None = None,
    *,
    errors: Literal["raise", "null"] = "raise",
    root_cause: bool = False,
) -> Iterator[DecodeResult | None]:
    """Yields one result dict per item, in order, lazily (one item in memory at a time).

    Items are hexadecimal text as ``kestrix`` reads it, or raw bytes; ``None`` yields ``None``.
    Text that is not hexadecimal raises the decoder's ``ValueError`` (with a note giving the
    item's index) when ``errors="raise"``, or yields ``None`` when ``errors="null"``.
    With ``root_cause=True`` each dict also has, after the ten keys, the root cause of a wrapped
    revert: ``root_kind``, ``root_error_name``, ``root_message``, ``root_selector`` and ``depth``
    (0 without nesting, and then the root keys equal the outer ones).
    """
    if errors not in ("raise", "null"):
        raise ValueError(f"errors must be 'raise' or 'null', not {errors!r}")
    used = decoder if decoder is not None else default_decoder()
    decode = _with_root_cause(used) if root_cause else used.decode
    for index, item in enumerate(items):
        if item is None:
            yield None
            continue
        text = item if isinstance(item, str) else bytes(item).hex()
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


def result_type(*, error_column: bool = False) -> Any:
    """The Arrow struct type ``decode_arrow`` returns: strings, ``float64`` confidence,
    ``uint64`` panic code, and a trailing string ``error`` field when asked for."""
    import pyarrow as pa

    string_fields = [(name, pa.string()) for name in RESULT_FIELDS]
    fields = dict(string_fields)
    fields["confidence"] = pa.float64()
    fields["panic_code"] = pa.uint64()
    if error_column:
        fields["error"] = pa.string()
    return pa.struct(list(fields.items()))


_TEXT_TYPES = ("string", "large_string", "string_view")
_BYTES_TYPES = ("binary", "large_binary", "binary_view")


def decode_arrow(array: Any, decoder: Any = None, *, error_column: bool = False) -> Any:
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
    ``decoder`` is a ``kestrix_tools.Decoder`` (default: ``kestrix_tools.Decoder()``); with it
    the decoding runs natively over the Arrow buffers, building no Python object per row.
    Any other object with a ``decode`` method is called once per row instead.
    """
    import pyarrow as pa

    if isinstance(array, pa.ChunkedArray):
        chunks = [decode_arrow(chunk, decoder, error_column=error_column) for chunk in array.chunks]
        return pa.chunked_array(chunks, type=result_type(error_column=error_column))
    if not isinstance(array, pa.Array):
        raise TypeError(f"decode_arrow() expects a pyarrow Array or ChunkedArray, not {type(array).__name__}")
    kind = str(array.type)
    if kind not in _TEXT_TYPES + _BYTES_TYPES:
        raise TypeError(f"decode_arrow() expects a string or binary array, not {array.type}")
    if kind.endswith("_view"):
        array = array.cast(pa.string() if kind in _TEXT_TYPES else pa.binary())
    native = _decode_arrow_native(array, decoder, error_column)
    if native is not None:
        return native
    return _decode_arrow_rows(array, decoder, error_column)


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
        from kestrix_tools._explain import _default_decoder

        decoder = _default_decoder()
    native = decoder if isinstance(decoder, _native.Decoder) else getattr(decoder.decode, "__self__", None)
    if isinstance(native, _native.Decoder):
        return True, native
    return False, None


def _decode_arrow_native(array: Any, decoder: Any, error_column: bool) -> Any:
    """The column decode over the Arrow buffers, or None when the native module cannot do it."""
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
    parts = _native.decode_arrow(native, len(array), array.offset, validity, offsets or empty, data or empty,
                                 binary, large, error_column)
    struct_type = result_type(error_column=error_column)
    length = len(array)
    children = []
    for field, (nulls, bitmap, first, second) in zip(struct_type, parts[1:]):
        buffers = [pa.py_buffer(bitmap) if nulls else None, pa.py_buffer(first)]
        if second is not None:
            buffers.append(pa.py_buffer(second))
        children.append(pa.Array.from_buffers(field.type, length, buffers, null_count=nulls))
    nulls, bitmap, _, _ = parts[0]
    return pa.Array.from_buffers(struct_type, length, [pa.py_buffer(bitmap) if nulls else None],
                                 null_count=nulls, children=children)


def _decode_arrow_rows(array: Any, decoder: Any, error_column: bool) -> Any:
    """Row-by-row path for decoders the native column decode cannot use."""
    import pyarrow as pa

    decode = (decoder if decoder is not None else default_decoder()).decode
    rows: list[dict[str, Any] | None] = []
    for item in array.to_pylist():
        row: dict[str, Any] | None = None
        if item is not None:
            try:
                row = dict(decode(item if isinstance(item, str) else item.hex()))
                if error_column:
                    row["error"] = None
            except ValueError as error:
                if error_column:
                    row = dict.fromkeys(RESULT_FIELDS)
                    row["error"] = str(error)
        rows.append(row)
    return pa.array(rows, type=result_type(error_column=error_column))
