#include "core/keccak.hpp"
#include "core/keyed_hash.hpp"
#include "core/selector.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrix::core {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xf]);
    }
    return out;
}

// Random-input agreement with pycryptodome runs as its own ctest (keccak_oracle.py); these are
// the fixed vectors every caller depends on.
TEST(Keccak256, KnownDigests) {
    EXPECT_EQ(hex(keccak256({})),
              "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470");
    const std::string abc = "abc";
    EXPECT_EQ(hex(keccak256({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()})),
              "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45");
}

TEST(Keccak256, SelectorsKeepByteOrderAndLeadingZeros) {
    struct Row {
        std::string_view signature;
        std::string_view formatted;
    };
    const Row rows[] = {
        {"Error(string)", "0x08c379a0"},
        {"Panic(uint256)", "0x4e487b71"},
        {"ERC20InsufficientBalance(address,uint256,uint256)", "0xe450d38c"},
        {"AS()", "0x03fff018"},
        {"T()", "0x2bc80f3a"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.signature);
        EXPECT_EQ(format_selector(selector_of(row.signature)), row.formatted);
        EXPECT_EQ(selector_hex(selector_of(row.signature)), row.formatted.substr(2));
    }
    EXPECT_EQ(selector_of("AS()"), (Selector{0x03, 0xff, 0xf0, 0x18}));
    // Hashed exactly as given: no trimming or type canonicalisation.
    EXPECT_NE(selector_of("T()"), selector_of("T() "));
    EXPECT_NE(selector_of("F(uint)"), selector_of("F(uint256)"));
}

// SipHash-2-4 reference vector (key 00..0f, message 00..0e); the 1-3 variant used for the
// tables shares every step but the round counts.
TEST(KeyedHash, SipHashReferenceVector) {
    const HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    std::vector<std::uint8_t> message;
    for (std::uint8_t i = 0; i < 15; ++i)
        message.push_back(i);
    EXPECT_EQ((siphash<2, 4>(key, message)), 0xa129ca6149be45e5ULL);
    EXPECT_NE(siphash13(key, message), siphash13(key, std::span(message).first(14)));
    EXPECT_EQ(&process_hash_key(), &process_hash_key());
}

} // namespace
} // namespace kestrix::core
