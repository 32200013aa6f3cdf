#pragma once
/// The Python form of one decode: a plain dict with always the same ten keys.

#define PY_SSIZE_T_CLEAN
#include "core/records.hpp"

#include <Python.h>

namespace kestrix::python {

/// Builds the result dict: "raw_data", "selector", "suggestion", "confidence", "kind",
/// "message", "error_name", "inputs", "panic_code", "panic_meaning", in that order; fields that
/// do not apply are None. Consumes the record. Returns a new reference, or nullptr with an
/// exception pending: a failed PyDict_SetItem passes its exception on; a failure to create an
/// object is printed and becomes the internal-invariant exception "Python API call failed".
[[nodiscard]] PyObject* decoded_error_to_dict(core::DecodedError record);

} // namespace kestrix::python
