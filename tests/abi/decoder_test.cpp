#include "abi/decode.hpp"
#include "abi/types.hpp"
#include "abi_test_support.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrix::abi {
namespace {

using test_support::parsed;
using test_support::repeat;

using Bytes = std::vector<std::uint8_t>;

/// A 32-byte word holding `v` in its last 8 bytes, and `high` in each of the first 24.
Bytes word(std::uint64_t v, std::uint8_t high = 0) {
    Bytes out(32, high);
    for (int i = 0; i < 8; ++i)
        out[31 - i] = static_cast<std::uint8_t>(v >> (8 * i));
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
/// "Overrun" or "TooDeep" for failures, the text of a decoded string, "ok" for other values.
std::string outcome(const std::expected<AbiValue, AbiDecodeFailure>& got) {
    if (got)
        return std::holds_alternative<StringValue>(got->v) ? std::get<StringValue>(got->v).text
                                                           : "ok";
    switch (got.error().kind) {
    case AbiDecodeFailureKind::Overrun:
        return "Overrun";
    case AbiDecodeFailureKind::RecursionLimitExceeded:
        return "TooDeep";
    case AbiDecodeFailureKind::Reserve:
        return "Reserve";
    }
    return "?";
}
std::string outcome(std::string_view t, const Bytes& data) {
    return outcome(decode_abi_value(parsed(t), data));
}

TEST(Decode, StringLengthsAndOffsetsAroundTheEnd) {
    const Bytes ff(32, 0xFF), hello{'h', 'e', 'l', 'l', 'o'}, hi{'h', 'i'};
    const std::pair<Bytes, std::string_view> rows[] = {
        {cat({word(32), word(0)}), ""},
        {word(32), "Overrun"}, // length word missing
        {Bytes(31, 0), "Overrun"},
        {cat({word(32), word(5), hello}), "hello"}, // exactly enough, no padding
        {cat({word(32), word(6), hello}), "Overrun"},
        // Lengths whose sum with the length word overflows, up to 2^256-1.
        {cat({word(32), word(~0ULL), Bytes(64, 'a')}), "Overrun"},
        {cat({word(32), word(~0ULL - 31), Bytes(64, 'a')}), "Overrun"},
        {cat({word(32), ff, Bytes(64, 'a')}), "Overrun"},
        // Only the last 8 bytes of an offset count; an unaligned offset is followed.
        {cat({word(32, 0xEE), word(2), hi}), "hi"},
        {cat({word(33), Bytes{0}, word(2), hi}), "hi"},
        // An offset at the very end leaves no room for the length.
        {cat({word(64), word(0)}), "Overrun"},
        {cat({ff, word(0)}), "Overrun"},
        {cat({word(~0ULL - 31), word(0)}), "Overrun"},
        // Padding and trailing bytes are not examined; invalid UTF-8 is replaced.
        {cat({word(32), word(3), {'a', 0xFF, 'b'}, Bytes(40, 0x77)}), "a\xEF\xBF\xBD"
                                                                      "b"},
    };
    for (const auto& [data, want] : rows)
        EXPECT_EQ(outcome("string", data), want) << testing::PrintToString(data);
}

TEST(Decode, ZeroSizedValuesReadNothing) {
    const auto none = decode_abi_params({}, Bytes{1, 2, 3});
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(std::get<TupleValue>(none->v).members.empty());
    // Every member of a zero-sized list still gets its value, so members match types.
    const auto two = decode_abi_params(std::vector{parsed("()"), parsed("(())")}, {});
    ASSERT_TRUE(two.has_value());
    EXPECT_EQ(std::get<TupleValue>(two->v).members.size(), 2u);
    EXPECT_EQ(outcome("()[1000000000]", {}), "ok");
    EXPECT_EQ(outcome("()[][]", {}), "ok");
}

/// `uint8` wrapped in `levels` dynamic arrays of one element each.
Bytes nested_arrays(std::size_t levels) {
    Bytes inner = cat({word(1), word(7)});
    for (std::size_t i = 1; i < levels; ++i)
        inner = cat({word(1), word(32), inner});
    return cat({word(32), inner});
}
/// The offsets of `tuples` nested dynamic tuples around one byte string.
Bytes chained_offsets(std::size_t tuples) {
    Bytes out;
    for (std::size_t i = 0; i <= tuples; ++i)
        out = cat({out, word(32)});
    return cat({out, word(1), Bytes(32, 0xAA)});
}

TEST(Decode, DepthLimitCountsOneLevelPerContainer) {
    const auto nested = [](std::size_t n, std::string_view leaf) {
        return repeat("(", n) + std::string(leaf) + repeat(")", n);
    };
    // Tuples, fixed arrays and dynamic arrays take one level each: 16 fit, 17 do not.
    EXPECT_EQ(outcome("uint8" + repeat("[1]", 16), word(5)), "ok");
    EXPECT_EQ(outcome("uint8" + repeat("[1]", 17), word(5)), "TooDeep");
    EXPECT_EQ(outcome(nested(16, "bool"), word(1)), "ok");
    const auto too_deep = decode_abi_value(parsed(nested(17, "bool")), word(1));
    ASSERT_FALSE(too_deep.has_value());
    EXPECT_EQ(too_deep.error().limit, 16u);
    EXPECT_EQ(outcome("uint8" + repeat("[]", 16), nested_arrays(16)), "ok");
    EXPECT_EQ(outcome("uint8" + repeat("[]", 17), nested_arrays(17)), "TooDeep");
    // An empty array takes its own level; its elements, having none, take none.
    EXPECT_EQ(outcome("uint8" + repeat("[]", 17), cat({word(32), word(0)})), "ok");
    EXPECT_EQ(outcome(nested(15, "uint8[]"), chained_offsets(15)), "ok");
    EXPECT_EQ(outcome(nested(16, "uint8[]"), chained_offsets(16)), "TooDeep");
    // A byte string takes none of its own.
    EXPECT_EQ(outcome(nested(16, "bytes"), chained_offsets(16)), "ok");
    EXPECT_EQ(outcome(nested(17, "bytes"), chained_offsets(17)), "TooDeep");
    // The parameter list takes no level; a root tuple value does.
    EXPECT_TRUE(
        decode_abi_params(std::vector{parsed("uint8" + repeat("[1]", 16))}, word(5)).has_value());
    EXPECT_EQ(outcome("(uint8" + repeat("[1]", 16) + ")", word(5)), "TooDeep");
    // The decoder's limit is the measure nesting_levels() gives.
    const std::pair<std::string_view, std::size_t> levels[] = {{"uint8", 0},
                                                               {"bytes", 0},
                                                               {"uint8[][2]", 2},
                                                               {"((bytes))", 2},
                                                               {"(uint8,(bool[]),())", 3}};
    for (const auto& [text, want] : levels)
        EXPECT_EQ(nesting_levels(parsed(text)), want) << text;
}

TEST(Decode, HostileCountsFailBeforeAllocating) {
    // Element counts the data cannot hold, including products that overflow.
    for (const std::uint64_t n : {2ULL, ~0ULL, 1ULL << 59, 1ULL << 63}) {
        EXPECT_EQ(outcome("uint256[]", cat({word(32), word(n), word(9)})), "Overrun") << n;
        EXPECT_EQ(outcome("uint256[4][]", cat({word(32), word(n), Bytes(128, 1)})), "Overrun");
    }
    const std::pair<std::string_view, Bytes> rows[] = {
        {"uint256[1000000000]", word(1)},
        {"uint256[18446744073709551615][2]", Bytes(64, 0)},
        {"uint256[2][9223372036854775808]", Bytes(64, 0)},
        {"uint256[1000000000][]", cat({word(32), word(1), word(0)})},
        // Zero-sized elements count one word each.
        {"(uint256,()[4294967296])", word(1)},
        {"(uint256,()[18446744073709551615][2])", Bytes(64, 0)},
        {"(uint256,()[3])", word(1)},
    };
    for (const auto& [t, data] : rows)
        EXPECT_EQ(outcome(t, data), "Overrun") << t;
    EXPECT_EQ(outcome("uint256[]", cat({word(32), word(1), word(9)})), "ok");
    EXPECT_EQ(outcome("uint256[1000000000][]", cat({word(32), word(0)})), "ok");
    EXPECT_EQ(outcome("(uint256,()[3])", Bytes(128, 0)), "ok");
    // A dynamic array of empty tuples: the claimed count must be backed word for word.
    const auto with_count = [](std::uint64_t n) {
        return outcome(decode_abi_params(std::vector{parsed("uint256"), parsed("()[]")},
                                         cat({word(1), word(64), word(n), word(0)})));
    };
    EXPECT_EQ(with_count(~0ULL), "Overrun");
    EXPECT_EQ(with_count(2), "Overrun");
    EXPECT_EQ(with_count(1), "ok");
}

TEST(Decode, OverlappingOffsetsCannotMultiplyTheData) {
    // Every element at every level points at the same next-level array: the value would have
    // n^4 elements while the data holds about 4n words.
    constexpr std::size_t n = 64;
    Bytes offsets;
    for (std::size_t j = 0; j < n; ++j)
        offsets = cat({offsets, word(n * 32)});
    Bytes level = cat({word(n), Bytes(n * 32, 0x11)});
    for (int i = 0; i < 3; ++i)
        level = cat({word(n), offsets, level});
    EXPECT_EQ(outcome("uint256[][][][]", cat({word(32), level})), "Overrun");
    // n strings sharing one long text would copy it n times.
    EXPECT_EQ(outcome("string[]", cat({word(32), word(n), offsets, word(4096), Bytes(4096, 'z')})),
              "Overrun");
}

} // namespace
} // namespace kestrix::abi
