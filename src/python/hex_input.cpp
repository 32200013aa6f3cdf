#include "python/hex_input.hpp"

#include <cstddef>

namespace kestrix::python {

namespace {

/// The value of a hexadecimal digit, or -1.
constexpr int digit_value(unsigned char byte) noexcept {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

/// Code points below 0x100 that are shown as \u{..}: controls, DEL, the C1 block, NBSP and the
/// soft hyphen (NUL, tab, line feed and carriage return have short escapes of their own).
constexpr bool shown_as_code(unsigned char byte) noexcept {
    return byte < 0x20 || (byte >= 0x7F && byte <= 0xA0) || byte == 0xAD;
}

} // namespace

std::string quote_byte_as_char(unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "'";
    switch (byte) {
    case '\'':
        out.append("\\'");
        break;
    case '\\':
        out.append("\\\\");
        break;
    case 0x00:
        out.append("\\0");
        break;
    case '\t':
        out.append("\\t");
        break;
    case '\n':
        out.append("\\n");
        break;
    case '\r':
        out.append("\\r");
        break;
    default:
        if (shown_as_code(byte)) {
            out.append("\\u{");
            if (byte >= 0x10) out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0x0F]);
            out.push_back('}');
        } else if (byte < 0x80) {
            out.push_back(static_cast<char>(byte));
        } else {
            // U+00A1..U+00FF as UTF-8: two bytes.
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
        break;
    }
    out.push_back('\'');
    return out;
}

std::expected<core::Bytes, std::string> parse_revert_hex(std::string_view text) {
    if (text.starts_with("0x")) text.remove_prefix(2);
    if (text.size() % 2 != 0) return std::unexpected(std::string("Odd number of digits"));

    core::Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto high_byte = static_cast<unsigned char>(text[i]);
        const auto low_byte = static_cast<unsigned char>(text[i + 1]);
        const int high = digit_value(high_byte);
        const int low = digit_value(low_byte);
        if (high < 0 || low < 0) {
            const std::size_t at = high < 0 ? i : i + 1;
            return std::unexpected("Invalid character " +
                                   quote_byte_as_char(high < 0 ? high_byte : low_byte) +
                                   " at position " + std::to_string(at));
        }
        bytes.push_back(static_cast<std::uint8_t>((high << 4) | low));
    }
    return bytes;
}

} // namespace kestrix::python
