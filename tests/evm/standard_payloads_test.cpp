#include "evm/standard_payloads.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <variant>
#include <vector>

namespace {

using namespace std::string_literals;
using kestrix::evm::decode_panic;
using kestrix::evm::decode_revert_string;
using Bytes = std::vector<std::uint8_t>;

/// A 32-byte big-endian word holding `low` in its last eight bytes and `high` before them.
Bytes word(std::uint64_t low, std::uint64_t high = 0) {
    Bytes w(32, 0);
    for (int i = 0; i < 8; ++i) {
        w[31 - i] = static_cast<std::uint8_t>(low >> (8 * i));
        w[23 - i] = static_cast<std::uint8_t>(high >> (8 * i));
    }
    return w;
}

/// The standard encoding of `text`: offset, length, bytes padded to a word.
Bytes encode(const std::string& text) {
    Bytes payload = word(32);
    const Bytes length = word(text.size());
    payload.insert(payload.end(), length.begin(), length.end());
    payload.insert(payload.end(), text.begin(), text.end());
    payload.resize(64 + (text.size() + 31) / 32 * 32, 0);
    return payload;
}
std::string reason_of(const std::string& text) {
    const auto outcome = decode_revert_string(encode(text));
    if (!outcome) return "<nothing>";
    return std::get<kestrix::core::RevertString>(outcome->kind).message;
}

TEST(RevertString, TrailingNulsAreDroppedInnerOnesKept) {
    EXPECT_EQ(reason_of("abc\0\0\0"s), "abc");
    EXPECT_EQ(reason_of("a\0b\0"s), "a\0b"s);
    EXPECT_EQ(reason_of(""), "");
    EXPECT_EQ(reason_of(std::string(32, '\0')), ""); // fills the padding exactly
    // The suggestion comes from the reason without its trailing NULs.
    const auto owner = decode_revert_string(encode("NOT OWNER\0\0"s));
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->suggestion, "Ensure the caller is the contract owner.");
}

TEST(Panic, CodeMustFitSixtyFourBits) {
    const auto code_of = [](const Bytes& payload) -> std::optional<std::uint64_t> {
        const auto outcome = decode_panic(payload);
        if (!outcome) return std::nullopt;
        return std::get<kestrix::core::Panic>(outcome->kind).code;
    };
    EXPECT_EQ(code_of(word(0x11)), 0x11u);
    EXPECT_EQ(code_of(word(UINT64_MAX)), UINT64_MAX);
    Bytes longer = word(1); // bytes after the word are ignored
    longer.resize(65, 0xff);
    EXPECT_EQ(code_of(longer), 1u);
    EXPECT_EQ(code_of(word(0, 1)), std::nullopt); // 2^64
    EXPECT_EQ(code_of(Bytes(32, 0xff)), std::nullopt);
    EXPECT_EQ(code_of(Bytes(31, 0)), std::nullopt);
    const auto outcome = decode_panic(word(0x11));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(std::get<kestrix::core::Panic>(outcome->kind).meaning,
              "arithmetic overflow or underflow");
    EXPECT_EQ(outcome->suggestion,
              "Solidity assert violation (panic code 0x11): arithmetic overflow or underflow.");
}

} // namespace
