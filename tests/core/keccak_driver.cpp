// Test driver: reads one hexadecimal message per line on stdin and prints the hexadecimal
// Keccak-256 digest of each, one per line, for comparison with an independent implementation.
#include "core/keccak.hpp"

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

namespace {

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int main() {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string line;
    std::vector<std::uint8_t> message;
    while (std::getline(std::cin, line)) {
        if (line.size() % 2 != 0) return 2;
        message.clear();
        for (std::size_t i = 0; i < line.size(); i += 2) {
            const int high = nibble(line[i]);
            const int low = nibble(line[i + 1]);
            if (high < 0 || low < 0) return 2;
            message.push_back(static_cast<std::uint8_t>(high << 4 | low));
        }
        std::string out;
        for (const std::uint8_t byte : kestrix::core::keccak256(message)) {
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0xf]);
        }
        std::cout << out << '\n';
    }
    return 0;
}
