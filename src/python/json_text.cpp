#include "python/json_text.hpp"

namespace kestrix::python {

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out.push_back('"');
    for (const char c : text) {
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
        if (byte < 0x20) {
            out.append("\\u00");
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0x0F]);
            continue;
        }
        out.push_back(c);
    }
    out.push_back('"');
}

} // namespace kestrix::python
