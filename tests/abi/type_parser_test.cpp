#include "abi/types.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace kestrix::abi {
namespace {

AbiType leaf(AbiKind kind, std::size_t size = 0) {
    return AbiType{kind, size, {}};
}
AbiType array_of(AbiType element) {
    AbiType out{AbiKind::Array, 0, {}};
    out.children.push_back(std::move(element));
    return out;
}
AbiType fixed_of(AbiType element, std::size_t k) {
    AbiType out{AbiKind::FixedArray, k, {}};
    out.children.push_back(std::move(element));
    return out;
}
std::string repeat(std::string_view piece, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += piece;
    return out;
}

TEST(TypeParser, ResolvesRootNames) {
    const struct {
        const char* text;
        AbiType want;
    } cases[] = {
        {"uint", AbiType::uint(256)},
        {"int", leaf(AbiKind::Int, 256)},
        {"uint256", AbiType::uint(256)},
        {"int8", leaf(AbiKind::Int, 8)},
        {"uint008", AbiType::uint(8)},
        {"bytes1", leaf(AbiKind::FixedBytes, 1)},
        {"bytes32", leaf(AbiKind::FixedBytes, 32)},
        {"bytes", leaf(AbiKind::Bytes)},
        {"string", AbiType::string()},
        {"address", leaf(AbiKind::Address)},
        {"bool", leaf(AbiKind::Bool)},
        {"function", leaf(AbiKind::Function)},
        {"Lib.Choice", AbiType::uint(8)},
        {"Lib.Choice[]", array_of(AbiType::uint(8))},
        {"Lib.", AbiType::uint(8)},
        {"uint256[2][]", array_of(fixed_of(AbiType::uint(256), 2))},
        {"uint256[01]", fixed_of(AbiType::uint(256), 1)},
        {"uint8[18446744073709551615]",
         fixed_of(AbiType::uint(8), std::numeric_limits<std::size_t>::max())},
    };
    for (const auto& c : cases) {
        const auto got = parse_abi_type(c.text);
        ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error().message;
        EXPECT_EQ(*got, c.want) << c.text;
    }
}

TEST(TypeParser, ParsesTuples) {
    const AbiType pair = AbiType::tuple({leaf(AbiKind::Address), AbiType::uint(256)});
    for (const char* text : {"(address,uint256)", "tuple(address,uint256)", "( address,\tuint256 )",
                             "(address,uint256,)", "(address,uint256, )"})
        EXPECT_EQ(parse_abi_type(text), pair) << text;
    EXPECT_EQ(parse_abi_type("()"), AbiType::tuple({}));
    EXPECT_EQ(parse_abi_type("( )"), AbiType::tuple({}));
    EXPECT_EQ(parse_abi_type("(bool)[]"), array_of(AbiType::tuple({leaf(AbiKind::Bool)})));
    EXPECT_EQ(parse_abi_type("((bool),tuple(string)[3])"),
              AbiType::tuple({AbiType::tuple({leaf(AbiKind::Bool)}),
                              fixed_of(AbiType::tuple({AbiType::string()}), 3)}));
}

TEST(TypeParser, SizeAndNameFailuresCarryTheName) {
    for (const char* name :
         {"uint0", "uint7", "uint264", "uint1024", "int0", "int7", "int264", "int1024", "bytes0",
          "bytes33", "uintx", "integer", "uint99999999999999999999999", "bytes1x"}) {
        const auto got = parse_abi_type(name);
        ASSERT_FALSE(got.has_value()) << name;
        EXPECT_EQ(got.error().kind, AbiTypeParseFailureKind::InvalidSize) << name;
        EXPECT_EQ(got.error().message, std::string("invalid size for type: ") + name);
    }
    for (const char* name : {"byte", "addresss", "Address", "boolean", "Bool", "tuple", "uuint8"}) {
        const auto got = parse_abi_type(name);
        ASSERT_FALSE(got.has_value()) << name;
        EXPECT_EQ(got.error().kind, AbiTypeParseFailureKind::InvalidType) << name;
        EXPECT_EQ(got.error().message, std::string("invalid type string: ") + name);
    }
    // The first bad name in the text is reported; the array suffix does not change the name.
    EXPECT_EQ(parse_abi_type("(uint8,foo,bytes99)[]").error().message, "invalid type string: foo");
}

TEST(TypeParser, SyntaxFailures) {
    for (const char* text : {"",
                             "address payable",
                             "(address ,uint256)",
                             "(address,uint256",
                             "(,)",
                             "(address,,)",
                             "uint256[0]",
                             "uint256[00]",
                             "uint256[",
                             "uint256[1",
                             "uint256[ 1]",
                             "uint256[-1]",
                             "uint256[18446744073709551616]",
                             "tuple (bool)",
                             "(bool))",
                             "[]",
                             "1uint",
                             "uint256 ",
                             " uint256",
                             "Lib.Choice.More"}) {
        const auto got = parse_abi_type(text);
        ASSERT_FALSE(got.has_value()) << '"' << text << '"';
        EXPECT_EQ(got.error().kind, AbiTypeParseFailureKind::Syntax) << text;
        EXPECT_TRUE(got.error().message.starts_with("parser error:\n")) << got.error().message;
    }
    // Syntax is checked over the whole text before any name is resolved.
    EXPECT_EQ(parse_abi_type("(foo,uint256[0])").error().kind, AbiTypeParseFailureKind::Syntax);
}

TEST(TypeParser, TupleNestingStopsAt79Levels) {
    const auto nested = [](std::size_t levels) {
        return repeat("(", levels) + "uint256" + repeat(")", levels);
    };
    const auto ok = parse_abi_type(nested(79));
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(minimum_words(*ok), 1u);
    EXPECT_EQ(parse_abi_type(nested(80)).error().kind, AbiTypeParseFailureKind::Syntax);
    // An empty tuple has no member, so it may sit inside 79 others.
    EXPECT_TRUE(parse_abi_type(repeat("(", 80) + repeat(")", 80)).has_value());
    EXPECT_FALSE(parse_abi_type(repeat("(", 81) + repeat(")", 81)).has_value());
    // Far deeper input fails just the same, without exhausting the stack.
    EXPECT_EQ(parse_abi_type(nested(100000)).error().kind, AbiTypeParseFailureKind::Syntax);
    EXPECT_EQ(parse_abi_type(repeat("tuple(", 5000)).error().kind, AbiTypeParseFailureKind::Syntax);
}

TEST(TypeParser, ArraySuffixesAreBounded) {
    // The tree may span 256 levels: a leaf and 255 suffixes.
    EXPECT_TRUE(parse_abi_type("uint8" + repeat("[]", 255)).has_value());
    EXPECT_EQ(parse_abi_type("uint8" + repeat("[]", 256)).error().kind,
              AbiTypeParseFailureKind::Syntax);
    EXPECT_EQ(parse_abi_type("uint8" + repeat("[2]", 100000)).error().kind,
              AbiTypeParseFailureKind::Syntax);
    // Suffixes inside tuples count towards the same bound.
    EXPECT_TRUE(
        parse_abi_type("(" + repeat("(", 10) + "bool" + repeat("[]", 240) + repeat(")", 10) + ")")
            .has_value());
    EXPECT_EQ(
        parse_abi_type(repeat("(", 10) + "bool" + repeat("[]", 250) + repeat(")", 10)).error().kind,
        AbiTypeParseFailureKind::Syntax);
}

TEST(TypeQueries, MinimumWordsZeroSizedAndDynamic) {
    const struct {
        const char* text;
        std::size_t words;
        bool zero_sized;
        bool dynamic;
    } cases[] = {
        {"uint256", 1, false, false},
        {"uint256[3]", 3, false, false},
        {"(address,uint256,uint256)", 3, false, false},
        {"string", 1, false, true},
        {"uint256[]", 1, false, true},
        {"bytes", 1, false, true},
        {"()", 0, true, false},
        {"()[]", 1, true, true},
        {"()[5]", 0, true, false},
        {"((),())", 0, true, false},
        {"(uint256,())", 1, false, false},
        {"uint256[2][3]", 6, false, false},
        {"(uint256,string)[2]", 4, false, true},
        {"(bool,(string,uint8[4]))", 6, false, true},
        // Saturation: a length that would wrap to a small count must not.
        {"uint256[18446744073709551615]", std::numeric_limits<std::size_t>::max(), false, false},
        {"uint256[2][9223372036854775808]", std::numeric_limits<std::size_t>::max(), false, false},
        {"(uint256[18446744073709551615],uint256)", std::numeric_limits<std::size_t>::max(), false,
         false},
    };
    for (const auto& c : cases) {
        const auto type = parse_abi_type(c.text);
        ASSERT_TRUE(type.has_value()) << c.text;
        EXPECT_EQ(minimum_words(*type), c.words) << c.text;
        EXPECT_EQ(is_zero_sized(*type), c.zero_sized) << c.text;
        EXPECT_EQ(is_dynamic(*type), c.dynamic) << c.text;
    }
}

TEST(TypeQueries, BackingWordsCountZeroSizedElements) {
    EXPECT_EQ(backing_words(*parse_abi_type("(uint256,()[4294967296])")), 4294967297u);
    EXPECT_EQ(backing_words(*parse_abi_type("((),())[3]")), 3u);
    EXPECT_EQ(backing_words(*parse_abi_type("(string,uint8[4])")), 5u);
    EXPECT_EQ(backing_words(*parse_abi_type("()[18446744073709551615][2]")),
              std::numeric_limits<std::size_t>::max());
}

} // namespace
} // namespace kestrix::abi
