#pragma once
/// _native._snappy_compress: the Python face of the Snappy compressor, for tests.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrix::tools {

/// _snappy_compress(data): the raw Snappy compression of the bytes-like `data` (below 4 GiB,
/// else ValueError) as bytes; the GIL is released while it compresses.
PyObject* snappy_compress_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

} // namespace kestrix::tools
