#include "tools/jsonl_lines.hpp"

#include <cstring>

namespace kestrix::tools {

JsonLineCount count_json_lines(std::string_view text) noexcept {
    JsonLineCount count;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    while (at != end) {
        // memchr is vectorised; lines are mostly a hundred bytes and more.
        const auto* newline =
            static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        if (newline == nullptr) break;
        const char* c = at;
        while (c != newline && (*c == ' ' || *c == '\t' || *c == '\r'))
            ++c;
        ++count.lines;
        if (c == newline) ++count.blank;
        at = newline + 1;
    }
    return count;
}

} // namespace kestrix::tools
