#pragma once
/// Unicode default full lowercase mapping (toLowercase), Final_Sigma included.

#include <string>
#include <string_view>

namespace kestrix::evm {

/// Lowercases valid UTF-8 text as Python's str.lower() does.
[[nodiscard]] std::string unicode_lower(std::string_view utf8);

} // namespace kestrix::evm
