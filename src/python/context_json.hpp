#pragma once
/// The context dict of decode_with_context as the JSON object text the context reader takes.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <optional>
#include <string>

namespace kestrix::python {

/// {"key":"value",...}: keys sorted by their UTF-8 bytes, every value a JSON string (the str
/// itself, or str(value) for anything else). Reads the dict with PyDict_Next, so a subclass's
/// iteration methods are not used. A value whose str() raises is reported as unraisable and
/// written as "<unprintable TYPE object>". Returns nullopt with an exception pending: TypeError
/// for a key that is not a str, the internal-invariant exception when str() of a value changed
/// the dict, or whatever CPython raised (UnicodeEncodeError, MemoryError).
[[nodiscard]] std::optional<std::string> context_dict_to_json(PyObject* dict);

} // namespace kestrix::python
