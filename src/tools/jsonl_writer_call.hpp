#pragma once
/// _native.write_json_lines and write_csv: the Python face of the JSON Lines and CSV writer.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrix::tools {

/// write_json_lines(rows, names, columns): the JSON Lines text of a record batch's `rows` rows.
/// `names` is a sequence of str (the keys); `columns` a sequence of (kind, offset, validity,
/// values, data) per column, kind a JsonColumnKind number and the buffers any objects with the
/// buffer protocol or None. Returns a read-only buffer object over the text (no copy). Malformed
/// buffers raise ValueError; the GIL is released while it writes.
PyObject* write_json_lines_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// write_csv(rows, names, columns, delimiter, header): the CSV text of the same columns, as
/// Arrow's CSV writer writes it with `delimiter` (a one-character str); `header`: whether the
/// line of names comes first. Otherwise as write_json_lines (a float column may hold any value).
PyObject* write_csv_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

} // namespace kestrix::tools
