/// Bytes through UTF-8 replacement and the Unicode lowercase mapping: the output is always
/// valid UTF-8, replacement is the identity on valid input, and lowercasing ASCII text agrees
/// with the ASCII mapping.

#include "abi/utf8.hpp"
#include "evm/unicode_lower.hpp"
#include "fuzz_checks.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

using kestrix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const bool valid = kestrix::fuzz::is_valid_utf8(input);
    const std::string replaced = kestrix::abi::utf8_replace_invalid(std::span(data, size));
    check(kestrix::fuzz::is_valid_utf8(replaced), "replacement gives valid UTF-8");
    check(!valid || replaced == input, "replacement keeps valid UTF-8 unchanged");
    // Every input byte gives at most one U+FFFD (three bytes).
    check(replaced.size() <= 3 * size, "replacement at most triples the length");

    const std::string lowered = kestrix::evm::unicode_lower(replaced);
    check(kestrix::fuzz::is_valid_utf8(lowered), "lowercase gives valid UTF-8");
    // No lowercase mapping more than triples a character's UTF-8 length.
    check(lowered.size() <= 3 * replaced.size(), "lowercase at most triples the length");
    if (std::ranges::all_of(input, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string ascii(input);
        std::ranges::transform(ascii, ascii.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        check(lowered == ascii, "ASCII text lowercases as ASCII does");
    }
    return 0;
}
