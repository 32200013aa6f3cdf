#pragma once
/// The class kestrix_tools._native.Decoder: the built-in errors and the user's own, decoded by the
/// same pipeline as kestrix.

#define PY_SSIZE_T_CLEAN
#include "core/registry.hpp"
#include "evm/unwrap.hpp"

#include <Python.h>

namespace kestrix::tools {

/// The class object, created on first need and kept for the process; a borrowed reference, or
/// nullptr with CPython's error pending.
[[nodiscard]] PyObject* native_decoder_type() noexcept;

/// The registry of a Decoder instance (of the class or a subclass), or nullptr for any other
/// object. It lives as long as the instance.
[[nodiscard]] const core::ErrorRegistry* native_decoder_registry(PyObject* object) noexcept;

/// The wrapper rules of a Decoder instance, for evm::unwrap_revert with its registry; nullptr
/// for any other object. They live as long as the instance.
[[nodiscard]] const evm::WrapperRules* native_decoder_wrappers(PyObject* object) noexcept;

} // namespace kestrix::tools
