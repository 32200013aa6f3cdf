#pragma once
/// UTF-8 decoding with replacement.

#include <cstdint>
#include <span>
#include <string>

namespace kestrix::abi {

/// Copies `bytes` as UTF-8, replacing every maximal invalid sequence with one U+FFFD (the
/// same result as Python's bytes.decode("utf-8", "replace")).
[[nodiscard]] std::string utf8_replace_invalid(std::span<const std::uint8_t> bytes);

} // namespace kestrix::abi
