#pragma once
/// The two standard revert payloads: Error(string) and Panic(uint256).

#include "core/reason_table.hpp"
#include "evm/outcome.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrix::evm {

/// Decodes an Error(string) payload (the bytes after the selector); nullopt when it does not
/// decode. Trailing U+0000 characters are dropped from the reason. The suggestion is the
/// table's meaning for the reason when `table` has one, else the keyword hint.
[[nodiscard]] std::optional<Outcome> decode_revert_string(std::span<const std::uint8_t> payload,
                                                          const core::ReasonTable* table = nullptr);

/// Decodes a Panic(uint256) payload; nullopt when it does not decode or the code does not fit
/// in 64 bits.
[[nodiscard]] std::optional<Outcome> decode_panic(std::span<const std::uint8_t> payload);

/// The keyword hint for a revert reason, tested on its Unicode full lowercase form.
[[nodiscard]] std::optional<std::string> revert_string_suggestion(std::string_view reason);

} // namespace kestrix::evm
