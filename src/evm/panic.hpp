#pragma once
/// Solidity panic codes and their descriptions.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrix::evm {

/// The description of a panic code; "unknown panic code" outside the table.
[[nodiscard]] std::string_view panic_meaning(std::uint64_t code) noexcept;

/// "Solidity assert violation (panic code 0x11): arithmetic overflow or underflow."
[[nodiscard]] std::string panic_suggestion(std::uint64_t code, std::string_view meaning);

} // namespace kestrix::evm
