// Test driver: one hex-encoded text per line on stdin; prints unicode_lower() of each as hex,
// one line per text and flushed at once, for comparison with Python's str.lower().
#include "evm/unicode_lower.hpp"

#include <cstdio>
#include <iostream>
#include <string>

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::string text;
        for (std::size_t i = 0; i + 1 < line.size(); i += 2)
            text.push_back(static_cast<char>(std::stoul(line.substr(i, 2), nullptr, 16)));
        for (const char c : kestrix::evm::unicode_lower(text))
            std::printf("%02x", static_cast<unsigned char>(c));
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
