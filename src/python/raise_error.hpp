#pragma once
/// Raising a Python exception with a message held as UTF-8 text.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string_view>

namespace kestrix::python {

/// Raises `type` with `message` (taken by length, so NUL bytes survive; invalid UTF-8 is
/// replaced). When the message object cannot be made, the MemoryError stays the pending
/// exception instead of a message-less `type`. Always returns nullptr.
PyObject* raise_error(PyObject* type, std::string_view message) noexcept;

} // namespace kestrix::python
