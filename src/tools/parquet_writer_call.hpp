#pragma once
/// _native.parquet_writer, parquet_write and parquet_finish: the Python face of the streaming
/// Parquet writer. The writer is a capsule; the file's bytes come back as read-only buffers
/// (no copies) that the caller writes in order.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrix::tools {

/// parquet_writer(fields, threads, row_group_rows, row_group_bytes, created_by, metadata):
/// `fields` a sequence of (name, kind, nullable, statistics), kind a ParquetKind number;
/// `metadata` a sequence of (key, value) pairs (str or bytes) for the footer.
PyObject* parquet_writer_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// parquet_write(writer, rows, names, columns): encodes a record batch given as write_json_lines
/// takes it; returns the list of buffers of the row groups it finished (the file's header
/// first). The GIL is released while it encodes.
PyObject* parquet_write_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// parquet_finish(writer): the buffers of the last row group and the footer.
PyObject* parquet_finish_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

} // namespace kestrix::tools
