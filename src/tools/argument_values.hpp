#pragma once
/// Decoded arguments as plain Python values: what `Layer.args` holds.

#define PY_SSIZE_T_CLEAN
#include "core/records.hpp"
#include "core/registry.hpp"

#include <Python.h>
#include <span>

namespace kestrix::tools {

/// A dict from parameter name ("argN" where unnamed) to value: int, bool, str (addresses as
/// lowercase "0x" text), bytes for `bytes` and `bytesN`, list for arrays, dict for tuples with
/// named members (a tuple otherwise). `params` gives the declared types. A new reference, or
/// nullptr with an exception pending.
[[nodiscard]] PyObject* argument_dict(std::span<const core::NamedInput> inputs,
                                      std::span<const core::ErrorParam> params);

/// The same for one value; `type` is its declared canonical type text ("" when not known).
[[nodiscard]] PyObject* argument_value(const core::InputValue& value, std::string_view type);

} // namespace kestrix::tools
