// UTF-8 validation with replacement, byte for byte the behaviour of Python's
// bytes.decode("utf-8", "replace"): each maximal subpart of an ill-formed sequence (the longest
// prefix of a well-formed sequence, or a single byte that cannot start one) becomes one U+FFFD.
#include "abi/utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrix::abi {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

/// Bytes in the sequence a lead byte starts, and the allowed range of the byte after it (the
/// second byte is where overlongs, surrogates and values above U+10FFFF are excluded); 0 when
/// the byte cannot start a sequence.
struct Lead {
    std::size_t length;
    std::uint8_t second_lo;
    std::uint8_t second_hi;
};

Lead classify(std::uint8_t b) noexcept {
    if (b < 0x80) return {1, 0, 0};
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

} // namespace

std::string utf8_replace_invalid(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Copy a whole run of ASCII at once: revert reasons are mostly ASCII.
        std::size_t run = i;
        while (run < bytes.size() && bytes[run] < 0x80)
            ++run;
        if (run != i) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), run - i);
            i = run;
            if (i == bytes.size()) break;
        }
        const Lead lead = classify(bytes[i]);
        if (lead.length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        // Count how many bytes of the sequence are well formed so far.
        std::size_t good = 1;
        while (good < lead.length && i + good < bytes.size()) {
            const std::uint8_t b = bytes[i + good];
            const bool ok =
                good == 1 ? (b >= lead.second_lo && b <= lead.second_hi) : (b >= 0x80 && b <= 0xBF);
            if (!ok) break;
            ++good;
        }
        if (good == lead.length) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), good);
        } else {
            out += kReplacement;
        }
        i += good;
    }
    return out;
}

} // namespace kestrix::abi
