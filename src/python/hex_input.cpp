#include "python/hex_input.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix::python {

namespace {

/// Marks a byte that is not a hexadecimal digit in kDigitValue.
constexpr std::uint8_t kNotDigit = 0x80;

/// The value of every byte read as a hexadecimal digit (either case), or kNotDigit.
constexpr std::array<std::uint8_t, 256> kDigitValue = [] {
    std::array<std::uint8_t, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        if (byte >= '0' && byte <= '9') {
            table[byte] = static_cast<std::uint8_t>(byte - '0');
        } else if (byte >= 'a' && byte <= 'f') {
            table[byte] = static_cast<std::uint8_t>(byte - 'a' + 10);
        } else if (byte >= 'A' && byte <= 'F') {
            table[byte] = static_cast<std::uint8_t>(byte - 'A' + 10);
        } else {
            table[byte] = kNotDigit;
        }
    }
    return table;
}();

std::uint8_t digit_value(char c) noexcept {
    return kDigitValue[static_cast<unsigned char>(c)];
}

#if defined(__SSE2__)
/// Reads sixteen hexadecimal digits into eight bytes with SSE2 (part of every x86-64 CPU):
/// returns false, writing nothing, when any of the sixteen is not a digit.
bool read_sixteen_digits(const char* digits, std::uint8_t* out) noexcept {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits));
    // Unsigned distances from '0' and (case folded) from 'a': a digit is within 9 of the one or
    // within 5 of the other.
    const __m128i decimal = _mm_sub_epi8(x, _mm_set1_epi8('0'));
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i is_decimal = _mm_cmpeq_epi8(_mm_min_epu8(decimal, _mm_set1_epi8(9)), decimal);
    const __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    if (_mm_movemask_epi8(_mm_or_si128(is_decimal, is_letter)) != 0xFFFF) return false;
    const __m128i values =
        _mm_or_si128(_mm_and_si128(is_decimal, decimal),
                     _mm_and_si128(is_letter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    // Each 16-bit lane holds a pair, its first digit (the high nibble) in the low byte.
    const __m128i high = _mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 4);
    const __m128i bytes = _mm_or_si128(high, _mm_srli_epi16(values, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
    return true;
}
#else
/// Reads eight hexadecimal digits into four bytes with word arithmetic (SWAR): every lane is
/// range-checked at once, so there is no branch per character. Returns false, writing
/// nothing, when any of the eight is not a digit.
bool read_eight_digits(const char* digits, std::uint8_t* out) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x80 * kOnes;
    std::uint64_t x;
    std::memcpy(&x, digits, sizeof x);
    if constexpr (std::endian::native == std::endian::big) x = std::byteswap(x);
    if ((x & kHigh) != 0) return false;
    // With every lane below 0x80, adding a constant below 0x80 cannot carry into the next lane,
    // and the lane's top bit tells whether it reached 0x80: lane >= 0x80 - constant.
    const std::uint64_t decimal = (x + (0x80 - '0') * kOnes) & ~(x + (0x80 - '9' - 1) * kOnes);
    const std::uint64_t folded = x | (0x20 * kOnes); // 'A'..'F' -> 'a'..'f'
    const std::uint64_t letter =
        (folded + (0x80 - 'a') * kOnes) & ~(folded + (0x80 - 'f' - 1) * kOnes);
    if (((decimal | letter) & kHigh) != kHigh) return false;
    // Digit values: the low nibble, plus 9 for letters.
    const std::uint64_t values = (x & (0x0F * kOnes)) + ((letter & kHigh) >> 7) * 9;
    // Pairs: the first digit of each pair (lower lane) is the high nibble.
    std::uint64_t pairs =
        ((values & 0x000F000F000F000FULL) << 4) | ((values >> 8) & 0x000F000F000F000FULL);
    pairs = (pairs | (pairs >> 8)) & 0x0000FFFF0000FFFFULL;
    pairs = (pairs | (pairs >> 16)) & 0x00000000FFFFFFFFULL;
    const auto four = static_cast<std::uint32_t>(pairs);
    out[0] = static_cast<std::uint8_t>(four);
    out[1] = static_cast<std::uint8_t>(four >> 8);
    out[2] = static_cast<std::uint8_t>(four >> 16);
    out[3] = static_cast<std::uint8_t>(four >> 24);
    return true;
}

bool read_sixteen_digits(const char* digits, std::uint8_t* out) noexcept {
    return read_eight_digits(digits, out) && read_eight_digits(digits + 8, out + 4);
}
#endif

/// The failure for the first byte of `text` that is not a hexadecimal digit.
std::string invalid_character(std::string_view text) {
    std::size_t at = 0;
    while (digit_value(text[at]) != kNotDigit)
        ++at;
    return "Invalid character " + quote_byte_as_char(static_cast<unsigned char>(text[at])) +
           " at position " + std::to_string(at);
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

std::expected<void, std::string> parse_revert_hex_into(std::string_view text,
                                                       core::Bytes& out_bytes) {
    if (text.starts_with("0x")) text.remove_prefix(2);
    if (text.size() % 2 != 0) return std::unexpected(std::string("Odd number of digits"));

    out_bytes.resize(text.size() / 2);
    std::uint8_t* out = out_bytes.data();
    const char* digits = text.data();
    const char* const end = digits + text.size();
    // Sixteen digits at a time; a block that holds anything but digits sends the rest to the
    // byte-wise loop, which finds the failure.
    while (end - digits >= 16 && read_sixteen_digits(digits, out)) {
        digits += 16;
        out += 8;
    }
    // Every pair is converted without a branch; a non-digit sets the marker bit in `seen`, and
    // only then is the text searched again for the first one, for the message.
    std::uint8_t seen = 0;
    for (; digits != end; digits += 2) {
        const std::uint8_t high = digit_value(digits[0]);
        const std::uint8_t low = digit_value(digits[1]);
        seen |= high | low;
        *out++ = static_cast<std::uint8_t>((high << 4) | low);
    }
    if ((seen & kNotDigit) != 0) return std::unexpected(invalid_character(text));
    return {};
}

std::expected<core::Bytes, std::string> parse_revert_hex(std::string_view text) {
    core::Bytes bytes;
    auto parsed = parse_revert_hex_into(text, bytes);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return bytes;
}

} // namespace kestrix::python
