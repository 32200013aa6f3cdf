// Test driver: one hex message per line on stdin; prints the hex Keccak-256 digest of each.
#include "core/keccak.hpp"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::vector<std::uint8_t> message;
        for (std::size_t i = 0; i + 1 < line.size(); i += 2)
            message.push_back(
                static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        for (const std::uint8_t byte : kestrix::core::keccak256(message))
            std::printf("%02x", byte);
        std::printf("\n");
    }
    return 0;
}
