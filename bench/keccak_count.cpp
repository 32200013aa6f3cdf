// Counts the instructions of Keccak-256 under callgrind: hashes one-block messages (135 bytes,
// one permutation each) between callgrind client requests, so the dump holds only the hashing.
#include "core/keccak.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <valgrind/callgrind.h>
#include <vector>

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 1000;
    std::array<std::uint8_t, 135> message{};
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<std::uint8_t>(i * 7);
    unsigned sink = 0;
    CALLGRIND_ZERO_STATS;
    for (long i = 0; i < rounds; ++i) {
        message[0] = static_cast<std::uint8_t>(i);
        sink += kestrix::core::keccak256(message)[0];
    }
    CALLGRIND_DUMP_STATS_AT("keccak");

    // The same number of one-block messages hashed four at a time, as a registry is built.
    std::vector<std::array<std::uint8_t, 135>> batch(static_cast<std::size_t>(rounds), message);
    for (std::size_t i = 0; i < batch.size(); ++i)
        batch[i][0] = static_cast<std::uint8_t>(i);
    const std::vector<std::span<const std::uint8_t>> views(batch.begin(), batch.end());
    std::vector<kestrix::core::Digest> digests(batch.size());
    CALLGRIND_ZERO_STATS;
    kestrix::core::keccak256_many(views, digests);
    CALLGRIND_DUMP_STATS_AT("keccak4");
    for (const auto& digest : digests)
        sink += digest[0];
    std::printf("%u\n", sink);
}
