#include "abi/decode.hpp"
#include "abi/types.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrix::abi {
namespace {

using Bytes = std::vector<std::uint8_t>;

/// A 32-byte word holding `v` in its last 8 bytes, and `high` in each of the first 24.
Bytes word(std::uint64_t v, std::uint8_t high = 0) {
    Bytes out(32, high);
    for (int i = 0; i < 8; ++i)
        out[31 - i] = static_cast<std::uint8_t>(v >> (8 * i));
    return out;
}
Bytes all_ff() {
    return Bytes(32, 0xFF);
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes text_bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

AbiType type(std::string_view text) {
    auto parsed = parse_abi_type(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed ? *parsed : AbiType{};
}

std::expected<AbiValue, AbiDecodeFailure> decode(std::string_view t, const Bytes& data) {
    return decode_abi_value(type(t), data);
}

AbiDecodeFailureKind failure(std::string_view t, const Bytes& data) {
    const auto got = decode(t, data);
    EXPECT_FALSE(got.has_value()) << t;
    return got ? AbiDecodeFailureKind{} : got.error().kind;
}

std::string text_of(const std::expected<AbiValue, AbiDecodeFailure>& v) {
    EXPECT_TRUE(v.has_value());
    if (!v) return "<failed>";
    return std::get<StringValue>(v->v).text;
}

constexpr auto kOverrun = AbiDecodeFailureKind::Overrun;
constexpr auto kTooDeep = AbiDecodeFailureKind::RecursionLimitExceeded;

TEST(DecodeString, LengthsAroundTheEndOfTheData) {
    EXPECT_EQ(text_of(decode("string", cat({word(32), word(0)}))), "");
    EXPECT_EQ(failure("string", word(32)), kOverrun); // length word missing
    EXPECT_EQ(failure("string", Bytes(31, 0)), kOverrun);
    EXPECT_EQ(failure("string", {}), kOverrun);
    // Five bytes and no padding decode; a length one past the end does not.
    EXPECT_EQ(text_of(decode("string", cat({word(32), word(5), text_bytes("hello")}))), "hello");
    EXPECT_EQ(failure("string", cat({word(32), word(6), text_bytes("hello")})), kOverrun);
    // Lengths whose sum with the length word overflows.
    for (const std::uint64_t huge : {~0ULL, ~0ULL - 31, ~0ULL - 32, 1ULL << 63})
        EXPECT_EQ(failure("string", cat({word(32), word(huge), Bytes(64, 'a')})), kOverrun);
    EXPECT_EQ(failure("string", cat({word(32), all_ff(), Bytes(64, 'a')})), kOverrun);
}

TEST(DecodeString, OffsetsAreFollowedAsGiven) {
    // Only the last 8 bytes of an offset count; an unaligned offset is followed.
    EXPECT_EQ(text_of(decode("string", cat({word(32, 0xEE), word(2), text_bytes("ok")}))), "ok");
    EXPECT_EQ(text_of(decode("string", cat({word(33), Bytes{0}, word(2), text_bytes("ok")}))),
              "ok");
    // An offset at the very end leaves no room for the length; past the end is out of range.
    const Bytes two_words = cat({word(64), word(0)});
    EXPECT_EQ(failure("string", two_words), kOverrun);
    EXPECT_EQ(failure("string", cat({word(65), word(0)})), kOverrun);
    EXPECT_EQ(failure("string", cat({all_ff(), word(0)})), kOverrun);
    EXPECT_EQ(failure("string", cat({word(~0ULL - 31), word(0)})), kOverrun);
    // Padding and trailing bytes are not examined; invalid UTF-8 is replaced.
    EXPECT_EQ(
        text_of(decode("string", cat({word(32), word(3), Bytes{'a', 0xFF, 'b'}, Bytes(40, 0x77)}))),
        "a\xEF\xBF\xBD"
        "b");
}

TEST(DecodeWords, LenientReadsOfStaticWords) {
    Bytes address_word(32, 0xCC);
    for (int i = 12; i < 32; ++i)
        address_word[i] = static_cast<std::uint8_t>(i);
    const auto address = decode("address", address_word);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(std::get<AddressValue>(address->v).bytes[0], 12);
    EXPECT_EQ(std::get<AddressValue>(address->v).bytes[19], 31);

    EXPECT_TRUE(std::get<BoolValue>(decode("bool", word(2))->v).value);
    EXPECT_TRUE(std::get<BoolValue>(decode("bool", word(0, 1))->v).value);
    EXPECT_FALSE(std::get<BoolValue>(decode("bool", word(0))->v).value);

    const auto small = decode("uint8", word(300));
    EXPECT_EQ(std::get<UintValue>(small->v).value, U256::from_u64(300));
    EXPECT_EQ(std::get<UintValue>(small->v).bits, 8u);

    const auto fixed = decode("bytes2", word(0x0102, 0xAB));
    EXPECT_EQ(std::get<FixedBytesValue>(fixed->v).size, 2u);
    EXPECT_EQ(std::get<FixedBytesValue>(fixed->v).word[0], 0xAB); // kept as read
    EXPECT_EQ(std::get<FixedBytesValue>(fixed->v).word[31], 0x02);

    const auto function = decode("function", word(0x1122, 0x55));
    EXPECT_EQ(std::get<FunctionValue>(function->v).bytes[23], 0x55);
}

TEST(DecodeParams, StaticListsNeedTheirWordsOnly) {
    const std::vector<AbiType> three{type("address"), type("uint256"), type("bytes32")};
    Bytes data = cat({word(1), word(2), word(3)});
    EXPECT_TRUE(decode_abi_params(three, data).has_value());
    data.pop_back();
    EXPECT_EQ(decode_abi_params(three, data).error().kind, kOverrun);
    data = cat({word(1), word(2), word(3), Bytes{1, 2, 3, 4}});
    const auto got = decode_abi_params(three, data);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(std::get<TupleValue>(got->v).members.size(), 3u);
}

TEST(DecodeParams, ZeroSizedListsDecodeWithoutReading) {
    const auto none = decode_abi_params({}, Bytes{1, 2, 3});
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(std::get<TupleValue>(none->v).members.empty());
    // Every member of a zero-sized list still gets its value, so members match types.
    const std::vector<AbiType> empties{type("()"), type("(())")};
    const auto two = decode_abi_params(empties, {});
    ASSERT_TRUE(two.has_value());
    const auto& members = std::get<TupleValue>(two->v).members;
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(std::get<TupleValue>(members[1].v).members.size(), 1u);
    // Zero-sized values return at once, whatever their length.
    EXPECT_TRUE(std::get<FixedArrayValue>(decode("()[1000000000]", {})->v).elements.empty());
    EXPECT_TRUE(std::get<ArrayValue>(decode("()[][]", {})->v).elements.empty());
}

/// `uint8` wrapped in `levels` dynamic arrays of one element each; the innermost holds 7.
Bytes nested_arrays(std::size_t levels) {
    Bytes inner = cat({word(1), word(7)});
    for (std::size_t i = 1; i < levels; ++i)
        inner = cat({word(1), word(32), inner});
    return cat({word(32), inner});
}
std::string repeat(std::string_view piece, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += piece;
    return out;
}

TEST(DecodeDepth, LevelsAreCountedPerKind) {
    // A static fixed array or tuple takes one level: 16 fit, 17 do not.
    EXPECT_TRUE(decode("uint8" + repeat("[1]", 16), word(5)).has_value());
    EXPECT_EQ(failure("uint8" + repeat("[1]", 17), word(5)), kTooDeep);
    EXPECT_TRUE(decode(repeat("(", 16) + "bool" + repeat(")", 16), word(1)).has_value());
    EXPECT_EQ(failure(repeat("(", 17) + "bool" + repeat(")", 17), word(1)), kTooDeep);
    EXPECT_EQ(decode(repeat("(", 17) + "bool" + repeat(")", 17), word(1)).error().limit, 16u);
    // A dynamic array takes two: eight fit (the words are read at depth 16), nine do not.
    EXPECT_TRUE(decode("uint8" + repeat("[]", 8), nested_arrays(8)).has_value());
    EXPECT_EQ(failure("uint8" + repeat("[]", 9), nested_arrays(9)), kTooDeep);
    // Bytes take one: inside 15 dynamic tuples the length is read at depth 16.
    const auto chained_offsets = [](std::size_t tuples) {
        Bytes out;
        for (std::size_t i = 0; i <= tuples; ++i)
            out = cat({out, word(32)});
        return cat({out, word(1), Bytes(32, 0xAA)});
    };
    EXPECT_TRUE(
        decode(repeat("(", 15) + "bytes" + repeat(")", 15), chained_offsets(15)).has_value());
    EXPECT_EQ(failure(repeat("(", 16) + "bytes" + repeat(")", 16), chained_offsets(16)), kTooDeep);
    // The parameter list takes no level; a root tuple value does.
    const std::vector<AbiType> params{type("uint8" + repeat("[1]", 16))};
    EXPECT_TRUE(decode_abi_params(params, word(5)).has_value());
    EXPECT_EQ(failure("(uint8" + repeat("[1]", 16) + ")", word(5)), kTooDeep);
}

TEST(DecodeBounds, HostileCountsFailBeforeAllocating) {
    // Element counts the data cannot hold, including products that overflow.
    for (const std::uint64_t n : {2ULL, ~0ULL, 1ULL << 59, 1ULL << 63}) {
        EXPECT_EQ(failure("uint256[]", cat({word(32), word(n), word(9)})), kOverrun);
        EXPECT_EQ(failure("uint256[4][]", cat({word(32), word(n), Bytes(4 * 32, 1)})), kOverrun);
    }
    EXPECT_TRUE(decode("uint256[]", cat({word(32), word(1), word(9)})).has_value());
    EXPECT_TRUE(decode("uint256[]", cat({word(32), word(0)})).has_value());
    // Fixed lengths count before anything is built, and never wrap.
    EXPECT_EQ(failure("uint256[1000000000]", word(1)), kOverrun);
    EXPECT_EQ(failure("uint256[18446744073709551615][2]", Bytes(64, 0)), kOverrun);
    EXPECT_EQ(failure("uint256[2][9223372036854775808]", Bytes(64, 0)), kOverrun);
    // A huge element type is fine as long as no element is claimed.
    EXPECT_TRUE(decode("uint256[1000000000][]", cat({word(32), word(0)})).has_value());
    EXPECT_EQ(failure("uint256[1000000000][]", cat({word(32), word(1), word(0)})), kOverrun);
}

TEST(DecodeBounds, ZeroSizedElementsCountOneWord) {
    EXPECT_EQ(failure("(uint256,()[4294967296])", word(1)), kOverrun);
    EXPECT_EQ(failure("(uint256,()[18446744073709551615][2])", Bytes(64, 0)), kOverrun);
    EXPECT_EQ(failure("(uint256,()[3])", word(1)), kOverrun);
    const auto backed = decode("(uint256,()[3])", Bytes(4 * 32, 0));
    ASSERT_TRUE(backed.has_value());
    const auto& members = std::get<TupleValue>(backed->v).members;
    EXPECT_EQ(std::get<FixedArrayValue>(members[1].v).elements.size(), 3u);
    // A dynamic array of empty tuples: the claimed count must be backed word for word.
    const std::vector<AbiType> params{type("uint256"), type("()[]")};
    const auto with_count = [&](std::uint64_t n) {
        return decode_abi_params(params, cat({word(1), word(64), word(n), word(0)}));
    };
    EXPECT_EQ(with_count(~0ULL).error().kind, kOverrun);
    EXPECT_EQ(with_count(2).error().kind, kOverrun);
    ASSERT_TRUE(with_count(1).has_value());
    EXPECT_EQ(
        std::get<ArrayValue>(std::get<TupleValue>(with_count(1)->v).members[1].v).elements.size(),
        1u);
}

TEST(DecodeBounds, OverlappingOffsetsCannotMultiplyTheData) {
    // Every element at every level points at the same next-level array: the value would
    // have n^4 elements while the data holds about 4n words.
    constexpr std::size_t n = 64;
    Bytes level = cat({word(n), Bytes(n * 32, 0x11)}); // innermost: n words
    for (int i = 0; i < 3; ++i) {
        Bytes offsets;
        for (std::size_t j = 0; j < n; ++j)
            offsets = cat({offsets, word(n * 32)});
        level = cat({word(n), offsets, level});
    }
    EXPECT_EQ(failure("uint256[][][][]", cat({word(32), level})), kOverrun);

    // n strings sharing one long text would copy it n times.
    const std::size_t length = 4096;
    Bytes shared = cat({word(n)});
    for (std::size_t j = 0; j < n; ++j)
        shared = cat({shared, word(n * 32)});
    shared = cat({word(32), shared, word(length), Bytes(length, 'z')});
    EXPECT_EQ(failure("string[]", shared), kOverrun);
}

} // namespace
} // namespace kestrix::abi
