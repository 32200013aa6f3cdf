#pragma once
/// _native.decode_arrow: the Python face of the column decode.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrix::tools {

/// decode_arrow(decoder, length, offset, validity, offsets, data, binary, large_offsets,
/// error_column[, root_cause[, memo]]): decodes an Arrow string or binary column given as its
/// buffers (any objects with the buffer protocol; validity may be None) with a _native.Decoder, or
/// the built-in errors when decoder is None. Returns (columns, summary). The columns are a list:
/// (null_count, validity) of the struct, then per
/// result column (null_count, validity, offsets or values, data or None), the root-cause columns
/// only with root_cause, "error" only with error_column; raw_data is None when it repeats the
/// input (lowercase "0x" text with 32-bit offsets): the input's offsets and data with the
/// validity of kind make it. The summary is ({kind: rows}, rows not hexadecimal, null rows,
/// whether a row is nested). Releases the GIL while it decodes. With a memo (from decode_memo,
/// for the same decoder) the distinct rows of earlier calls are not decoded again.
PyObject* decode_arrow_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// decode_memo(decoder): a memo (a capsule) for the calls of one thread to decode_arrow with
/// `decoder` (a _native.Decoder, or None for the built-in errors).
PyObject* decode_memo_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

} // namespace kestrix::tools
