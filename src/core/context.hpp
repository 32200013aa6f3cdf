#pragma once
/// Reading the caller's context (a JSON object text) into an ErrorContext.

#include "core/records.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace kestrix::core {

/// Reads the JSON object text into an ErrorContext. Known keys are "chain", "tx_hash",
/// "contract_address", "call_selector" (string or null) and "block_number" (null, a
/// non-negative integer that fits in 64 bits, or a string of 1 to 20 decimal digits that
/// fits); every other key is skipped with its value. A failure carries the message to raise,
/// with line and column.
[[nodiscard]] std::expected<ErrorContext, std::string> parse_error_context(std::string_view json);

} // namespace kestrix::core
