#include "tools/json_nesting.hpp"

#include <array>
#include <cstdint>

namespace kestrix::tools {

namespace {

enum class Byte : std::uint8_t { Other, Quote, Backslash, Open, Close };

/// What each byte means to the measure; everything but these five is skipped.
constexpr std::array<Byte, 256> kBytes = [] {
    std::array<Byte, 256> table{};
    table['"'] = Byte::Quote;
    table['\\'] = Byte::Backslash;
    table['['] = Byte::Open;
    table['{'] = Byte::Open;
    table[']'] = Byte::Close;
    table['}'] = Byte::Close;
    return table;
}();

} // namespace

bool json_nesting_exceeds(std::string_view text, std::size_t limit) noexcept {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        switch (kBytes[static_cast<unsigned char>(text[at])]) {
        case Byte::Other:
            break;
        case Byte::Quote:
            in_string = !in_string;
            break;
        case Byte::Backslash:
            // Inside a string it escapes the next character; outside, the parser stops there.
            if (in_string) ++at;
            break;
        case Byte::Open:
            if (!in_string && ++depth > limit) return true;
            break;
        case Byte::Close:
            // One closing bracket too many ends the parse before any nesting.
            if (!in_string && depth > 0) --depth;
            break;
        }
    }
    return false;
}

} // namespace kestrix::tools
