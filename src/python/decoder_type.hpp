#pragma once
/// The class EvmErrorDecoder: a heap type whose instances each hold a share of their own
/// signature registry.

#define PY_SSIZE_T_CLEAN
#include "core/registry.hpp"

#include <Python.h>

namespace kestrix::python {

/// The class object, created with PyType_FromSpec on first need and kept for the process.
/// Returns a borrowed reference, or nullptr with the RuntimeError "An error occurred while
/// initializing class EvmErrorDecoder" pending (its __cause__ is CPython's exception).
[[nodiscard]] PyObject* decoder_type() noexcept;

/// The registry of a decoder object (`self` of the methods).
[[nodiscard]] const core::ErrorRegistry& decoder_registry(PyObject* self) noexcept;

} // namespace kestrix::python
