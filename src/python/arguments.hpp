#pragma once
/// Argument handling shared by every callable: matching positional and keyword arguments to
/// parameters, converting `data`, `context` and `code`, and the TypeError texts for both.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrix::python {

/// The fixed description of one callable's parameters (all required, positional or keyword).
struct ArgumentDescription {
    /// "EvmErrorDecoder.decode()", "decode_error()", ...: the name every message starts with.
    std::string_view full_name;
    std::span<const std::string_view> parameters;
};

/// Fills one borrowed slot per parameter from the METH_FASTCALL | METH_KEYWORDS arguments.
/// Returns false with a TypeError (or the error of reading a keyword name) pending.
[[nodiscard]] bool parse_fastcall_arguments(const ArgumentDescription& description,
                                            PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, std::span<PyObject*> slots);

/// The same for a positional tuple and an optional keyword dictionary (the constructor).
[[nodiscard]] bool parse_tuple_arguments(const ArgumentDescription& description, PyObject* args,
                                         PyObject* kwargs, std::span<PyObject*> slots);

/// "'<qualified type name>' object cannot be converted to '<expected>'".
[[nodiscard]] std::string type_mismatch_message(PyObject* object, std::string_view expected);

/// `data`: the UTF-8 bytes of a str (subclasses included), borrowed from the object. On
/// failure returns nullopt with "argument 'data': ..." TypeError or CPython's
/// UnicodeEncodeError pending.
[[nodiscard]] std::optional<std::string_view> convert_data_argument(PyObject* data);

/// `context`: true when it is a dict (subclasses included); otherwise false with the
/// "argument 'context': ..." TypeError pending.
[[nodiscard]] bool check_context_argument(PyObject* context);

/// `code`: an int, or anything whose __index__ gives one, as an unsigned 64-bit value. A
/// TypeError is re-raised prefixed with "argument 'code': "; OverflowError passes unchanged.
[[nodiscard]] std::optional<std::uint64_t> convert_code_argument(PyObject* code);

} // namespace kestrix::python
