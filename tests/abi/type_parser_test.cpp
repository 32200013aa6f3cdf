#include "abi/types.hpp"
#include "abi_test_support.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace kestrix::abi {
namespace {

using test_support::parsed;
using test_support::repeat;

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
constexpr auto kSyntax = AbiTypeParseFailureKind::Syntax;

AbiTypeParseFailure failure_of(std::string_view text) {
    auto type = parse_abi_type(text);
    if (type) return {AbiTypeParseFailureKind::InvalidType, "parsed"};
    return type.error();
}

TEST(TypeParser, ResolvesNamesAndSuffixes) {
    const AbiType u8 = AbiType::uint(8);
    EXPECT_EQ(
        parsed("uint256[2][]"),
        (AbiType{AbiKind::Array, 0, {AbiType{AbiKind::FixedArray, 2, {AbiType::uint(256)}}}}));
    EXPECT_EQ(parsed("int8"), (AbiType{AbiKind::Int, 8, {}}));
    EXPECT_EQ(parsed("bytes32"), (AbiType{AbiKind::FixedBytes, 32, {}}));
    EXPECT_EQ(parsed("(string,bool)"), AbiType::tuple({AbiType::string(), AbiType{}}));
    EXPECT_EQ(parsed("uint8[18446744073709551615]"), (AbiType{AbiKind::FixedArray, kMax, {u8}}));
    EXPECT_EQ(parsed("Lib.Choice"), u8); // a user-defined enum
    EXPECT_EQ(parsed("Lib."), u8);
    // Spellings of the same type.
    const std::pair<std::string_view, std::string_view> same[] = {
        {"uint", "uint256"},
        {"int", "int256"},
        {"uint008", "uint8"},
        {"Lib.Choice[]", "uint8[]"},
        {"uint256[01]", "uint256[1]"},
        {"tuple(address,uint256)", "(address,uint256)"},
        {"( address,\tuint256 )", "(address,uint256)"},
        {"(address,uint256, )", "(address,uint256)"},
        {"( )", "()"},
        {"((bool),tuple(string)[3])", "((bool),(string)[3])"},
    };
    for (const auto& [text, canonical] : same)
        EXPECT_EQ(parsed(text), parsed(canonical)) << text;
}

TEST(TypeParser, FailureKindsAndMessages) {
    for (const char* name : {"uint0", "uint7", "uint264", "int1024", "bytes0", "bytes33", "integer",
                             "uint99999999999999999999999", "bytes1x"}) {
        EXPECT_EQ(failure_of(name).kind, AbiTypeParseFailureKind::InvalidSize) << name;
        EXPECT_EQ(failure_of(name).message, std::string("invalid size for type: ") + name);
    }
    for (const char* name : {"byte", "Address", "tuple", "uuint8"}) {
        EXPECT_EQ(failure_of(name).kind, AbiTypeParseFailureKind::InvalidType) << name;
        EXPECT_EQ(failure_of(name).message, std::string("invalid type string: ") + name);
    }
    // The first bad name in the text is reported; the array suffix does not change the name.
    EXPECT_EQ(failure_of("(uint8,foo,bytes99)[]").message, "invalid type string: foo");
    for (const char* text :
         {"", "address payable", "(address ,uint256)", "(address,uint256", "(,)", "(address,,)",
          "uint256[0]", "uint256[1", "uint256[ 1]", "uint256[-1]", "uint256[18446744073709551616]",
          "tuple (bool)", "(bool))", "[]", " uint256", "Lib.Choice.More",
          // Syntax is checked over the whole text before any name is resolved.
          "(foo,uint256[0])"}) {
        EXPECT_EQ(failure_of(text).kind, kSyntax) << '"' << text << '"';
        EXPECT_TRUE(failure_of(text).message.starts_with("parser error:\n")) << text;
    }
}

TEST(TypeParser, NestingIsBounded) {
    const auto nested = [](std::size_t levels) {
        return repeat("(", levels) + "uint256" + repeat(")", levels);
    };
    EXPECT_EQ(minimum_words(parsed(nested(79))), 1u);
    EXPECT_EQ(failure_of(nested(80)).kind, kSyntax);
    // An empty tuple has no member, so it may sit inside 79 others.
    EXPECT_TRUE(parse_abi_type(repeat("(", 80) + repeat(")", 80)).has_value());
    EXPECT_FALSE(parse_abi_type(repeat("(", 81) + repeat(")", 81)).has_value());
    // Far deeper input fails just the same, without exhausting the stack.
    EXPECT_EQ(failure_of(nested(100000)).kind, kSyntax);
    EXPECT_EQ(failure_of(repeat("tuple(", 5000)).kind, kSyntax);
    // The tree may span 256 levels: a leaf and 255 suffixes, counted through tuples too.
    EXPECT_TRUE(parse_abi_type("uint8" + repeat("[]", 255)).has_value());
    EXPECT_EQ(failure_of("uint8" + repeat("[]", 256)).kind, kSyntax);
    EXPECT_EQ(failure_of("uint8" + repeat("[2]", 100000)).kind, kSyntax);
    EXPECT_TRUE(
        parse_abi_type(repeat("(", 11) + "bool" + repeat("[]", 240) + repeat(")", 11)).has_value());
    EXPECT_EQ(failure_of(repeat("(", 10) + "bool" + repeat("[]", 250) + repeat(")", 10)).kind,
              kSyntax);
}

TEST(TypeQueries, WordCountsZeroSizedAndDynamic) {
    const struct {
        const char* text;
        std::size_t minimum, backing;
        bool zero_sized, dynamic;
    } cases[] = {
        {"uint256[2][3]", 6, 6, false, false},
        {"string", 1, 1, false, true},
        {"()[]", 1, 1, true, true},
        {"()[5]", 0, 5, true, false},
        {"((),())[3]", 0, 3, true, false},
        {"(uint256,())", 1, 1, false, false},
        {"(uint256,string)[2]", 4, 4, false, true},
        {"(bool,(string,uint8[4]))", 6, 6, false, true},
        {"(uint256,()[4294967296])", 1, 4294967297u, false, false},
        // Saturation: a count that would wrap to a small one must not.
        {"uint256[18446744073709551615]", kMax, kMax, false, false},
        {"uint256[2][9223372036854775808]", kMax, kMax, false, false},
        {"(uint256[18446744073709551615],uint256)", kMax, kMax, false, false},
        {"()[18446744073709551615][2]", 0, kMax, true, false},
    };
    for (const auto& c : cases) {
        const AbiType type = parsed(c.text);
        EXPECT_EQ(minimum_words(type), c.minimum) << c.text;
        EXPECT_EQ(backing_words(type), c.backing) << c.text;
        EXPECT_EQ(is_zero_sized(type), c.zero_sized) << c.text;
        EXPECT_EQ(is_dynamic(type), c.dynamic) << c.text;
    }
}

} // namespace
} // namespace kestrix::abi
