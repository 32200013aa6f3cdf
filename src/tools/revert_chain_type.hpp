#pragma once
/// The class kestrix_tools._native.RevertChain: the layers of one unwrapped revert, made without
/// running Python code. kestrix_tools.Explanation subclasses it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrix::tools {

/// The class object, created on first need and kept for the process; a borrowed reference, or
/// nullptr with CPython's error pending.
[[nodiscard]] PyObject* revert_chain_type() noexcept;

/// A new instance of `type` (RevertChain or a subclass) holding `layers` (a tuple of layer
/// tuples) and `decoder`; nullptr with an exception pending. Steals neither reference.
[[nodiscard]] PyObject* new_revert_chain(PyTypeObject* type, PyObject* layers, PyObject* decoder);

} // namespace kestrix::tools
