#include "tools/json_nesting.hpp"

namespace kestrix::tools {

bool json_nesting_exceeds(std::string_view text, std::size_t limit) noexcept {
    std::size_t depth = 0;
    std::size_t at = 0;
    while (true) {
        at = text.find_first_of("\"[]{}", at);
        if (at == std::string_view::npos) return false;
        switch (text[at]) {
        case '"':
            // A string ends at the first quote not escaped by a backslash; its brackets are text.
            while (true) {
                at = text.find_first_of("\"\\", at + 1);
                if (at == std::string_view::npos) return false;
                if (text[at] == '"') break;
                ++at; // the escaped character
            }
            break;
        case '[':
        case '{':
            if (++depth > limit) return true;
            break;
        default: // a closing bracket; one too many ends the parse before any nesting
            if (depth > 0) --depth;
            break;
        }
        ++at;
    }
}

} // namespace kestrix::tools
