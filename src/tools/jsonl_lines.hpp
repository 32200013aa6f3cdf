#pragma once
/// Counting the lines of a block of JSON Lines, and those holding nothing but JSON whitespace,
/// so that rows read from the block can be matched to its lines.

#include <cstddef>
#include <string_view>

namespace kestrix::tools {

struct JsonLineCount {
    std::size_t lines = 0; ///< '\n' characters
    std::size_t blank = 0; ///< lines of only ' ', '\t' and '\r' (empty ones too)
};

/// The lines of `text`, each ended by '\n' (bytes after the last '\n' are no line).
[[nodiscard]] JsonLineCount count_json_lines(std::string_view text) noexcept;

} // namespace kestrix::tools
