#pragma once
/// The callables CPython invokes. Each wrapper only parses and converts its arguments, then
/// hands plain C++ values to the body that does the work; no C++ exception leaves a wrapper.

#define PY_SSIZE_T_CLEAN
#include "core/registry.hpp"

#include <Python.h>
#include <cstdint>
#include <string_view>

namespace kestrix::python {

// ---- Wrappers (METH_FASTCALL | METH_KEYWORDS) ----

/// EvmErrorDecoder.decode(data)
PyObject* decode_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
/// EvmErrorDecoder.decode_with_context(data, context)
PyObject* decode_with_context_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept;
/// kestrix.decode_error(data)
PyObject* decode_error_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;
/// kestrix.panic_meaning(code)
PyObject* panic_meaning_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

// ---- Bodies: converted arguments in, a new reference or nullptr with an exception out ----

/// Decodes the hexadecimal text with `registry` and no context.
[[nodiscard]] PyObject* decode_body(const core::ErrorRegistry& registry, std::string_view data);
/// Checks the hexadecimal text first, then reads the context dict, then decodes with both.
[[nodiscard]] PyObject* decode_with_context_body(const core::ErrorRegistry& registry,
                                                 std::string_view data, PyObject* context);
/// Builds a fresh built-in registry for this call alone and decodes with it.
[[nodiscard]] PyObject* decode_error_body(std::string_view data);
/// The description of a Solidity panic code as a new str.
[[nodiscard]] PyObject* panic_meaning_body(std::uint64_t code);

} // namespace kestrix::python
