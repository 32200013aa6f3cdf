#pragma once
/// Strict UTF-8 decoding and encoding of single scalar values.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrix::core {

/// One decoded scalar value and the bytes it took; length 0 when the bytes are not a
/// well-formed sequence.
struct Utf8Scalar {
    char32_t code_point = 0;
    std::size_t length = 0;
};

/// Decodes the sequence starting at `text[at]` (at < size). Overlong forms, surrogates,
/// values past U+10FFFF and cut-short sequences give length 0.
[[nodiscard]] Utf8Scalar decode_utf8_scalar(std::string_view text, std::size_t at) noexcept;

/// Appends the UTF-8 form of a scalar value (at most U+10FFFF).
void append_utf8(std::string& out, char32_t code_point);

} // namespace kestrix::core
