/// Hexadecimal revert text through the hex reader, against a small reference reader written
/// here: the same bytes on success, the same failure and position otherwise.

#include "fuzz_checks.hpp"
#include "python/hex_input.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kestrix::fuzz::check;

/// Either the bytes, or the failure: position SIZE_MAX for an odd count, else the offending
/// byte's position after the prefix.
struct Reference {
    std::vector<std::uint8_t> bytes;
    std::size_t failed_at = 0;
    bool ok = false;
};

Reference reference_read(std::string_view text) {
    static constexpr std::string_view kDigits = "0123456789abcdef";
    if (text.substr(0, 2) == "0x") text = text.substr(2);
    if (text.size() % 2 == 1) return {{}, SIZE_MAX, false};
    Reference result{{}, 0, true};
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (std::size_t k = i; k < i + 2; ++k) {
            char c = text[k];
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
            const std::size_t digit = kDigits.find(c);
            if (digit == std::string_view::npos) return {{}, k, false};
            value = value * 16 + static_cast<int>(digit);
        }
        result.bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto read = kestrix::python::parse_revert_hex(text);
    const Reference expected = reference_read(text);
    check(read.has_value() == expected.ok, "the reader and the reference agree on success");
    if (read) {
        check(*read == expected.bytes, "the same bytes as the reference");
        return 0;
    }
    if (expected.failed_at == SIZE_MAX) {
        check(read.error() == "Odd number of digits", "an odd count is reported first");
        return 0;
    }
    const std::size_t prefix = text.starts_with("0x") ? 2 : 0;
    const auto byte = static_cast<unsigned char>(text[prefix + expected.failed_at]);
    check(read.error() == "Invalid character " + kestrix::python::quote_byte_as_char(byte) +
                              " at position " + std::to_string(expected.failed_at),
          "the first bad digit and its position after the prefix");
    const std::string quoted = kestrix::python::quote_byte_as_char(byte);
    check(kestrix::fuzz::is_valid_utf8(quoted) && quoted.size() >= 3 && quoted.front() == '\'' &&
              quoted.back() == '\'',
          "the quoted character is UTF-8 between single quotes");
    return 0;
}
