#include "core/keccak.hpp"
#include "core/keyed_hash.hpp"
#include "core/selector.hpp"

#include <cstdio>
#include <gtest/gtest.h>
#include <vector>

namespace kestrix::core {
namespace {

// Random inputs are compared with pycryptodome by keccak_oracle.py; these are fixed vectors.
TEST(Keccak256, KnownDigestsAndSelectors) {
    char empty[65]{};
    const auto digest = keccak256({});
    for (std::size_t i = 0; i < digest.size(); ++i)
        std::snprintf(empty + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(empty, "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470");
    for (const auto& [signature, formatted] : {std::pair{"Error(string)", "0x08c379a0"},
                                               {"Panic(uint256)", "0x4e487b71"},
                                               {"AS()", "0x03fff018"},
                                               {"T()", "0x2bc80f3a"}})
        EXPECT_EQ(format_selector(selector_of(signature)), formatted) << signature;
    // Hashed exactly as given: no trimming or type canonicalisation.
    EXPECT_NE(selector_of("T()"), selector_of("T() "));
    EXPECT_NE(selector_of("F(uint)"), selector_of("F(uint256)"));
}

// SipHash-2-4 reference vector (key 00..0f, message 00..0e); the 1-3 variant shares every step
// but the round counts.
TEST(KeyedHash, SipHashReferenceVector) {
    const HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    std::vector<std::uint8_t> message;
    for (std::uint8_t i = 0; i < 15; ++i)
        message.push_back(i);
    EXPECT_EQ((siphash<2, 4>(key, message)), 0xa129ca6149be45e5ULL);
    EXPECT_NE(siphash13(key, message), siphash13(key, std::span(message).first(14)));
}

} // namespace
} // namespace kestrix::core
