#pragma once
/// The `definitions` argument of Decoder(): Python sequences of error definitions read into
/// plain C++ values.

#define PY_SSIZE_T_CLEAN
#include "tools/user_registry.hpp"

#include <Python.h>
#include <optional>
#include <vector>

namespace kestrix::tools {

/// Reads a sequence of (name, params, suggestion or None) with params a sequence of (name,
/// type, components or None). Returns nullopt with an exception pending: TypeError when
/// `definitions` is not iterable, ValueError naming the definition for a wrong shape or type,
/// or what CPython raised while reading (UnicodeEncodeError, MemoryError).
[[nodiscard]] std::optional<std::vector<ErrorDefinition>> read_definitions(PyObject* definitions);

} // namespace kestrix::tools
