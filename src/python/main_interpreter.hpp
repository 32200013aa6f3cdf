#pragma once
/// Extension modules whose class and module object are shared by the whole process live in the
/// main interpreter only.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string_view>

namespace kestrix::python {

/// True in the main interpreter; elsewhere false with the ImportError "<module> does not support
/// sub-interpreters: ..." (or MemoryError) pending. Nothing is claimed, so the main interpreter
/// can always import, whichever interpreter tried first.
[[nodiscard]] bool require_main_interpreter(std::string_view module_name) noexcept;

} // namespace kestrix::python
