#pragma once
/// How deeply the arrays and objects of a JSON text nest, measured before Python's json parser
/// recurses into them.

#include <cstddef>
#include <string_view>

namespace kestrix::tools {

/// Whether the brackets of the UTF-8 JSON `text`, outside its strings, nest deeper than `limit`.
/// One pass; a text that is not JSON is measured as far as it reads like JSON.
[[nodiscard]] bool json_nesting_exceeds(std::string_view text, std::size_t limit) noexcept;

} // namespace kestrix::tools
