#include "core/context.hpp"

#include <gtest/gtest.h>

namespace kestrix::core {
namespace {

using namespace std::string_literals;

std::string failure(std::string_view json) {
    const auto result = parse_error_context(json);
    return result ? "<no failure>" : result.error();
}

TEST(ContextReader, KnownKeysUnknownKeysAndNulls) {
    ErrorContext all;
    all.chain = "None";
    all.tx_hash = "";
    all.contract_address = "0x00";
    all.call_selector = "0xa9059cbb";
    all.block_number = 7;
    EXPECT_EQ(parse_error_context(R"({"block_number":"7","call_selector":"0xa9059cbb",)"
                                  R"("chain":"None","contract_address":"0x00","tx_hash":""})"),
              all);
    EXPECT_EQ(parse_error_context(R"({"Chain":"x","chain":null,"tx_hash":null,)"
                                  R"("contract_address":null,"call_selector":null,)"
                                  R"("block_number":null})"),
              ErrorContext{});
    // Unknown keys are skipped whatever their value, however nested.
    ErrorContext chain_only;
    chain_only.chain = "c";
    EXPECT_EQ(parse_error_context(
                  R"({"x":{"a":[1,-2.5e+3,0.5E-2,true,false,null,"s\"}",{},[[]]],"b":{}},)"
                  R"("chain":"c","y":[],"z":-0,"x":1})"),
              chain_only);
    EXPECT_EQ(parse_error_context(" \n{ \"ch\\u0061in\" : \"c\" ,\r\n\t\"tx_hash\":null }\n "),
              chain_only);
    const auto escaped = parse_error_context(
        R"({"chain":"\u00e9\ud83d\ude00\/\\\"\b\f\n\r\t","tx_hash":"a\u0000b€"})");
    ASSERT_TRUE(escaped) << escaped.error();
    EXPECT_EQ(escaped->chain, "\xc3\xa9\xf0\x9f\x98\x80/\\\"\b\f\n\r\t");
    EXPECT_EQ(escaped->tx_hash, "a\0b\xe2\x82\xac"s);
}

TEST(ContextReader, BlockNumberForms) {
    const std::pair<std::string_view, std::optional<std::uint64_t>> accepted[] = {
        {"-0", 0},
        {"18446744073709551615", UINT64_MAX},
        {"null", std::nullopt},
        {R"("12345")", 12345},
        {R"("18446744073709551615")", UINT64_MAX},
        {R"("00000000000000000001")", 1},
        {R"("\u0031")", 1},
    };
    for (const auto& [value, expected] : accepted) {
        const auto context = parse_error_context("{\"block_number\":" + std::string(value) + "}");
        ASSERT_TRUE(context) << value << ": " << context.error();
        EXPECT_EQ(context->block_number, expected) << value;
    }
}

TEST(ContextReader, ExactFailureMessages) {
    const std::pair<std::string, std::string_view> rows[] = {
        {R"({"block_number":"abc"})",
         R"(invalid type: string "abc", expected u64 at line 1 column 21)"},
        {R"({"block_number":"18446744073709551616"})",
         R"(invalid type: string "18446744073709551616", expected u64 at line 1 column 38)"},
        {R"({"block_number":"000000000000000000001"})",
         R"(invalid type: string "000000000000000000001", expected u64 at line 1 column 39)"},
        {R"({"block_number":"-1"})",
         R"(invalid type: string "-1", expected u64 at line 1 column 20)"},
        {R"({"block_number":"a\"b\\c\n\u0001"})",
         R"(invalid type: string "a\"b\\c\n\u{1}", expected u64 at line 1 column 33)"},
        {R"({"block_number":18446744073709551616})",
         "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 36"},
        {R"({"block_number":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 18"},
        {R"({"block_number":1e3})",
         "invalid type: floating point `1e3`, expected u64 at line 1 column 19"},
        {R"({"block_number":true})",
         "invalid type: boolean `true`, expected u64 at line 1 column 20"},
        {R"({"block_number":{}})", "invalid type: map, expected u64 at line 1 column 17"},
        {R"({"chain":5})", "invalid type: integer `5`, expected a string at line 1 column 10"},
        {R"({"call_selector":[1]})",
         "invalid type: sequence, expected a string at line 1 column 18"},
        {"{\n\"block_number\":\"x\"}",
         R"(invalid type: string "x", expected u64 at line 2 column 18)"},
        // The first failure ends reading, even after good fields.
        {R"({"chain":"a","contract_address":-2.0,"block_number":"x"})",
         "invalid type: floating point `-2.0`, expected a string at line 1 column 36"},
        {R"({"block_number":null,"block_number":5})",
         "duplicate field `block_number` at line 1 column 35"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {R"({"chain")", "EOF while parsing an object at line 1 column 8"},
        {R"({"chain":"abc)", "EOF while parsing a string at line 1 column 13"},
        {R"({"x":[1,2)", "EOF while parsing a list at line 1 column 9"},
        {"{\"a\":1}\0"s, "trailing characters at line 1 column 8"},
        {"null", "invalid type: null, expected a JSON object at line 1 column 4"},
        {"x", "expected value at line 1 column 1"},
        {R"({"a":[1,]})", "trailing comma at line 1 column 9"},
        {R"({a:1})", "key must be a string at line 1 column 2"},
        {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {R"({"a":1 2})", "expected `,` or `}` at line 1 column 8"},
        {R"({"a":[1 2]})", "expected `,` or `]` at line 1 column 9"},
        {R"({"a":01})", "invalid number at line 1 column 7"},
        {R"({"a":tru})", "expected ident at line 1 column 9"},
        {R"({"a":"\u12g4"})", "invalid escape at line 1 column 11"},
        {R"({"a":"\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 18"},
        {R"({"a":"\udc00"})", "lone trailing surrogate in hex escape at line 1 column 12"},
        {"{\"a\":\"\x01\"}",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
        {"{\"a\":\"\xed\xa0\x80\"}", "invalid UTF-8 in string at line 1 column 7"},
    };
    for (const auto& [json, message] : rows)
        EXPECT_EQ(failure(json), message) << json;
}

TEST(ContextReader, NestingIsBounded) {
    const auto nested = [](std::size_t levels) {
        return "{\"a\":" + std::string(levels, '[') + std::string(levels, ']') + "}";
    };
    // The top-level object and 127 arrays make the deepest accepted nesting.
    EXPECT_TRUE(parse_error_context(nested(127)));
    EXPECT_EQ(failure(nested(128)), "recursion limit exceeded at line 1 column 133");
    EXPECT_EQ(failure("{\"a\":" + std::string(1'000'000, '[')),
              "recursion limit exceeded at line 1 column 133");
    std::string objects = "{";
    for (int i = 0; i < 200; ++i)
        objects += "\"k\":{";
    EXPECT_TRUE(failure(objects).starts_with("recursion limit exceeded"));
}

} // namespace
} // namespace kestrix::core
