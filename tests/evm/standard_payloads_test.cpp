#include "evm/standard_payloads.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

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

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

/// The standard encoding of one string: offset 32, length, bytes padded to a word.
Bytes encode_string(std::string_view text) {
    Bytes body(text.begin(), text.end());
    body.resize((text.size() + 31) / 32 * 32, 0);
    return concat({word(32), word(text.size()), body});
}

std::string reason_of(const Bytes& payload) {
    const auto outcome = decode_revert_string(payload);
    if (!outcome) return "<nothing>";
    return std::get<kestrix::core::RevertString>(outcome->kind).message;
}

TEST(RevertString, TrailingNulsAreDroppedInnerOnesKept) {
    using namespace std::string_literals;
    EXPECT_EQ(reason_of(encode_string("abc\0\0\0"s)), "abc");
    EXPECT_EQ(reason_of(encode_string("a\0b"s)), "a\0b"s);
    EXPECT_EQ(reason_of(encode_string("a\0b\0"s)), "a\0b"s);
    EXPECT_EQ(reason_of(encode_string("\0\0"s)), "");
    EXPECT_EQ(reason_of(encode_string("")), "");
    // 32 NULs fill the padding exactly: still an empty reason.
    EXPECT_EQ(reason_of(encode_string(std::string(32, '\0'))), "");
}

TEST(RevertString, SuggestionComesFromTheReasonWithoutTrailingNuls) {
    using namespace std::string_literals;
    auto outcome = decode_revert_string(encode_string("NOT OWNER\0\0"s));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->suggestion, "Ensure the caller is the contract owner.");
    EXPECT_EQ(std::get<kestrix::core::RevertString>(outcome->kind).message, "NOT OWNER");

    outcome = decode_revert_string(encode_string("\0"s));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->suggestion, std::nullopt);
}

struct PanicCase {
    Bytes payload;
    bool decodes;
    std::uint64_t code;
    const char* meaning;
};

TEST(Panic, CodesAndBoundaries) {
    const std::uint64_t max = ~std::uint64_t{0};
    const PanicCase cases[] = {
        {word(0x11), true, 17, "arithmetic overflow or underflow"},
        {word(0x52), true, 0x52, "unknown panic code"},
        {word(max), true, max, "unknown panic code"},
        // Extra bytes after the word are ignored.
        {concat({word(1), Bytes(33, 0xff)}), true, 1, "assert() called with false condition"},
        // 2^64 and above do not fit the 64-bit code: not decodable.
        {word(0, 1), false, 0, nullptr},
        {Bytes(32, 0xff), false, 0, nullptr},
        // Shorter than a word.
        {Bytes(31, 0), false, 0, nullptr},
    };
    for (const PanicCase& c : cases) {
        const auto outcome = decode_panic(c.payload);
        ASSERT_EQ(outcome.has_value(), c.decodes) << c.payload.size();
        if (!c.decodes) continue;
        const auto& panic = std::get<kestrix::core::Panic>(outcome->kind);
        EXPECT_EQ(panic.code, c.code);
        EXPECT_EQ(panic.meaning, c.meaning);
    }
    const auto outcome = decode_panic(word(0x11));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->suggestion,
              "Solidity assert violation (panic code 0x11): arithmetic overflow or underflow.");
    EXPECT_EQ(decode_panic(word(max))->suggestion,
              "Solidity assert violation (panic code 0xffffffffffffffff): unknown panic code.");
}

} // namespace
