#include "evm/unicode_lower.hpp"

namespace kestrix::evm {

// Placeholder until the Unicode table lands: ASCII only.
std::string unicode_lower(std::string_view utf8) {
    std::string out(utf8);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

} // namespace kestrix::evm
