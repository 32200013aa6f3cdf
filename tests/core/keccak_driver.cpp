// Test driver: one hex message per line on stdin; prints the hex Keccak-256 digest of each.
// The digests come from keccak256_many over all the messages (four short ones at a time); a
// message whose single keccak256 digest differs is printed as "mismatch".
#include "core/keccak.hpp"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <span>
#include <string>
#include <vector>

int main() {
    std::vector<std::vector<std::uint8_t>> messages;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::vector<std::uint8_t>& message = messages.emplace_back();
        for (std::size_t i = 0; i + 1 < line.size(); i += 2)
            message.push_back(
                static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    const std::vector<std::span<const std::uint8_t>> views(messages.begin(), messages.end());
    std::vector<kestrix::core::Digest> digests(messages.size());
    kestrix::core::keccak256_many(views, digests);
    for (std::size_t m = 0; m < messages.size(); ++m) {
        if (digests[m] != kestrix::core::keccak256(messages[m])) {
            std::printf("mismatch\n");
            continue;
        }
        for (const std::uint8_t byte : digests[m])
            std::printf("%02x", byte);
        std::printf("\n");
    }
    return 0;
}
