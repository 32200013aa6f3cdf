#include "evm/panic.hpp"

namespace kestrix::evm {

std::string_view panic_meaning(std::uint64_t code) noexcept {
    switch (code) {
    case 0x00:
        return "generic compiler-inserted panic";
    case 0x01:
        return "assert() called with false condition";
    case 0x11:
        return "arithmetic overflow or underflow";
    case 0x12:
        return "division or modulo by zero";
    case 0x21:
        return "invalid enum value";
    case 0x22:
        return "corrupted storage byte array";
    case 0x31:
        return ".pop() on empty array";
    case 0x32:
        return "out-of-bounds array access";
    case 0x41:
        return "too much memory allocated (out of memory)";
    case 0x51:
        return "called zero-initialized internal function pointer";
    default:
        return "unknown panic code";
    }
}

std::string panic_suggestion(std::uint64_t code, std::string_view meaning) {
    static constexpr char kDigits[] = "0123456789abcdef";
    // Lowercase hex, at least two digits, never truncated.
    char hex[16];
    std::size_t n = 0;
    do {
        hex[n++] = kDigits[code & 0xf];
        code >>= 4;
    } while (code != 0);
    if (n < 2) hex[n++] = '0';

    std::string out = "Solidity assert violation (panic code 0x";
    while (n > 0)
        out.push_back(hex[--n]);
    out.append("): ").append(meaning).push_back('.');
    return out;
}

} // namespace kestrix::evm
