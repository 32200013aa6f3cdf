#pragma once
/// The steps every decoding entry point shares: revert data from hexadecimal text, and one run of
/// the pipeline turned into the result dict.

#define PY_SSIZE_T_CLEAN
#include "core/records.hpp"
#include "core/registry.hpp"

#include <Python.h>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrix::python {

/// Bytes of the revert data, or nullopt with the ValueError "hex decode: ..." raised.
[[nodiscard]] std::optional<core::Bytes> revert_bytes(std::string_view data);

/// Runs the pipeline and turns its outcome into the result dict, or raises the RuntimeError
/// carrying the core error's display text. Returns a new reference or nullptr.
[[nodiscard]] PyObject* decode_to_dict(const core::ErrorRegistry& registry,
                                       std::span<const std::uint8_t> bytes,
                                       std::optional<core::ErrorContext> context);

/// The same for bytes the caller hands over: they are freed as soon as the pipeline is done,
/// before the dict's strings are made (the record keeps its own copy), which lowers the peak
/// memory of a large payload by its size.
[[nodiscard]] PyObject* decode_to_dict(const core::ErrorRegistry& registry, core::Bytes&& bytes,
                                       std::optional<core::ErrorContext> context);

} // namespace kestrix::python
