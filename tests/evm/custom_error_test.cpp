#include "abi/decode.hpp"
#include "core/registry.hpp"
#include "evm/custom_error.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <variant>
#include <vector>

namespace {

namespace abi = kestrix::abi;
namespace core = kestrix::core;
using kestrix::evm::decode_custom_error;
using kestrix::evm::to_input_value;

constexpr std::uint64_t kOnes = ~std::uint64_t{0}, kTop = std::uint64_t{1} << 63;

/// U256 from four limbs, most significant first (reads like the hex value).
abi::U256 u256(std::uint64_t l3, std::uint64_t l2, std::uint64_t l1, std::uint64_t l0) {
    return abi::U256{{l0, l1, l2, l3}};
}

TEST(ToInputValue, IntegersSplitAtThe128BitRange) {
    const core::uint128 max128 = ~core::uint128{0};
    const core::int128 min128 = -(core::int128{1} << 126) * 2;
    const struct {
        bool is_signed;
        abi::U256 word;
        core::InputValue want;
    } rows[] = {
        {false, u256(0, 0, 0, 0), core::InputUint{0}},
        {false, u256(0, 0, kOnes, kOnes), core::InputUint{max128}},
        {false, u256(0, 1, 0, 0), core::InputBigUint{"340282366920938463463374607431768211456"}},
        {false, u256(kOnes, kOnes, kOnes, kOnes),
         core::InputBigUint{
             "115792089237316195423570985008687907853269984665640564039457584007913129639935"}},
        {true, u256(kOnes, kOnes, kOnes, kOnes), core::InputInt{-1}},
        // -2^127 and 2^127 - 1 fit; one past either does not.
        {true, u256(kOnes, kOnes, kTop, 0), core::InputInt{min128}},
        {true, u256(kOnes, kOnes, kTop - 1, kOnes),
         core::InputBigInt{"-170141183460469231731687303715884105729"}},
        {true, u256(0, 0, kTop - 1, kOnes), core::InputInt{-(min128 + 1)}},
        {true, u256(0, 0, kTop, 0), core::InputBigInt{"170141183460469231731687303715884105728"}},
        // Small low 128 bits, upper bits neither all 0 nor all 1.
        {true, u256(kTop, 0, 0, 5),
         core::InputBigInt{
             "-57896044618658097711785492504343953926634992332820282019728792003956564819963"}},
    };
    for (const auto& row : rows) {
        const abi::AbiValue value = row.is_signed ? abi::AbiValue{abi::IntValue{row.word, 256}}
                                                  : abi::AbiValue{abi::UintValue{row.word, 256}};
        EXPECT_EQ(to_input_value(value), row.want) << testing::PrintToString(row.want);
    }
}

TEST(ToInputValue, FixedBytesAndCompositeForms) {
    abi::FixedBytesValue fixed;
    for (std::size_t i = 0; i < 32; ++i)
        fixed.word[i] = static_cast<std::uint8_t>(i);
    fixed.size = 4; // the declared size is not applied: the whole word is kept
    EXPECT_EQ(to_input_value(abi::AbiValue{fixed}),
              core::InputValue(core::InputBytes{{fixed.word.begin(), fixed.word.end()}}));
    // Values with no argument form become empty bytes.
    abi::ArrayValue array;
    array.elements.push_back(abi::AbiValue{abi::BoolValue{true}});
    EXPECT_EQ(to_input_value(abi::AbiValue{array}), core::InputValue(core::InputBytes{}));
}

constexpr core::Selector kSel{0xde, 0xad, 0xbe, 0xef};

core::ErrorSignature entry(std::string name, std::vector<core::ErrorParam> params,
                           std::optional<std::string> suggestion, core::Selector selector = kSel) {
    return {std::move(name), "", std::move(params), "test", std::move(suggestion), selector, {}};
}

std::vector<std::uint8_t> words(std::size_t n) {
    std::vector<std::uint8_t> out(32 * n, 0);
    for (std::size_t i = 0; i < n; ++i)
        out[32 * i + 31] = 9;
    return out;
}

TEST(DecodeCustomError, FirstCandidateThatDecodesWins) {
    core::BuiltinErrorRegistry registry;
    for (const auto& e : {
             entry("Unparsable", {{"x", "uint7", {}}}, "never"),
             entry("NeedsThree", {{"a", "uint256", {}}, {"b", "uint256", {}}, {"c", "uint256", {}}},
                   "three"),
             entry("NeedsTwo", {{"a", "address", {}}, {"b", "uint256", {}}}, "two"),
             entry("NoParams", {}, "none"),
             entry("Unreachable", {{"a", "uint256", {}}}, "later"),
         })
        registry.register_entry(e);
    // Two words: the unparsable and the three-word candidates are skipped.
    auto outcome = decode_custom_error(registry, kSel, words(2));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->outcome.kind,
              core::ErrorKind(core::CustomError{
                  "NeedsTwo",
                  {{"a", core::InputAddress{"0x0000000000000000000000000000000000000009"}},
                   {"b", core::InputUint{9}}}}));
    EXPECT_EQ(outcome->outcome.suggestion, "two");
    // Too short for any candidate with parameters.
    outcome = decode_custom_error(registry, kSel, words(0));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->outcome.kind, core::ErrorKind(core::CustomError{"NoParams", {}}));
    EXPECT_FALSE(decode_custom_error(registry, core::Selector{1, 2, 3, 4}, words(1)));
}

TEST(DecodeCustomError, UndecodableOrNamedElsewhere) {
    core::BuiltinErrorRegistry registry;
    registry.register_entry(entry("One", {{"a", "uint256", {}}}, std::nullopt));
    EXPECT_FALSE(decode_custom_error(registry, kSel, std::vector<std::uint8_t>(31, 0)));
    const auto one = decode_custom_error(registry, kSel, words(1));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->outcome.suggestion, std::nullopt);
    // Two entries named "Dup": the second is the candidate, the first owns the name.
    registry.register_entry(entry("Dup", {}, "first", core::Selector{9, 9, 9, 9}));
    registry.register_entry(entry("Dup", {}, "second", core::Selector{7, 7, 7, 7}));
    const auto dup = decode_custom_error(registry, {7, 7, 7, 7}, {});
    ASSERT_TRUE(dup);
    EXPECT_EQ(dup->outcome.suggestion, "first");
}

} // namespace
