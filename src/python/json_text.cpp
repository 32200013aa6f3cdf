#include "python/json_text.hpp"

#include <array>
#include <cstddef>

namespace kestrix::python {

namespace {

/// The bytes a JSON string cannot hold as they are.
constexpr std::array<bool, 256> kNeedsEscape = [] {
    std::array<bool, 256> table{};
    for (std::size_t byte = 0; byte < 0x20; ++byte)
        table[byte] = true;
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

} // namespace

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out.push_back('"');
    // Characters that need no escape are copied in runs rather than one at a time.
    while (!text.empty()) {
        std::size_t plain = 0;
        while (plain < text.size() && !kNeedsEscape[static_cast<unsigned char>(text[plain])])
            ++plain;
        out.append(text.substr(0, plain));
        text.remove_prefix(plain);
        if (text.empty()) break;
        const char c = text.front();
        text.remove_prefix(1);
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
        case '"':
            out.append("\\\"");
            continue;
        case '\\':
            out.append("\\\\");
            continue;
        case 0x08:
            out.append("\\b");
            continue;
        case 0x09:
            out.append("\\t");
            continue;
        case 0x0A:
            out.append("\\n");
            continue;
        case 0x0C:
            out.append("\\f");
            continue;
        case 0x0D:
            out.append("\\r");
            continue;
        default:
            break;
        }
        // Any other control character.
        out.append("\\u00");
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0F]);
    }
    out.push_back('"');
}

} // namespace kestrix::python
