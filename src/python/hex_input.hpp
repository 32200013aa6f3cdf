#pragma once
/// Revert data given as hexadecimal text.

#include "core/records.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace kestrix::python {

/// Turns the UTF-8 text into bytes: an exact leading "0x" is dropped once, then the rest must
/// be pairs of hexadecimal digits (either case). Fails with "Odd number of digits" (checked
/// before any digit) or "Invalid character 'c' at position N" for the first non-digit byte,
/// N counting bytes after the prefix.
[[nodiscard]] std::expected<core::Bytes, std::string> parse_revert_hex(std::string_view text);

/// parse_revert_hex into `out` (resized to fit), so that a caller decoding many texts reuses
/// one buffer; `out` holds no meaningful bytes after a failure.
[[nodiscard]] std::expected<void, std::string> parse_revert_hex_into(std::string_view text,
                                                                     core::Bytes& out);

/// The byte taken as the code point of the same number, written between single quotes the way
/// the hexadecimal failure message shows it ('g', '\'', '\n', '\u{1b}', 'Ã').
[[nodiscard]] std::string quote_byte_as_char(unsigned char byte);

} // namespace kestrix::python
