#include "abi/decode.hpp"
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

/// U256 from four limbs, most significant first (reads like the hex value).
abi::U256 u256(std::uint64_t l3, std::uint64_t l2, std::uint64_t l1, std::uint64_t l0) {
    return abi::U256{{l0, l1, l2, l3}};
}

constexpr std::uint64_t kOnes = ~std::uint64_t{0};
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;

core::InputValue of_uint(const abi::U256& v) {
    return to_input_value(abi::AbiValue{abi::UintValue{v, 256}});
}
core::InputValue of_int(const abi::U256& v) {
    return to_input_value(abi::AbiValue{abi::IntValue{v, 256}});
}

TEST(ToInputValue, UnsignedSplitsAt2To128) {
    const core::uint128 max128 = ~core::uint128{0};
    EXPECT_EQ(of_uint(u256(0, 0, 0, 0)), core::InputValue(core::InputUint{0}));
    EXPECT_EQ(of_uint(u256(0, 0, kOnes, kOnes)), core::InputValue(core::InputUint{max128}));
    EXPECT_EQ(of_uint(u256(0, 1, 0, 0)),
              core::InputValue(core::InputBigUint{"340282366920938463463374607431768211456"}));
    EXPECT_EQ(of_uint(u256(kOnes, kOnes, kOnes, kOnes)),
              core::InputValue(core::InputBigUint{"115792089237316195423570985008687907853269984665"
                                                  "640564039457584007913129639935"}));
}

TEST(ToInputValue, SignedSplitsOutsideTheI128Range) {
    const core::int128 min128 = -(core::int128{1} << 126) * 2;
    EXPECT_EQ(of_int(u256(kOnes, kOnes, kOnes, kOnes)), core::InputValue(core::InputInt{-1}));
    // -2^127 fits; -2^127 - 1 does not.
    EXPECT_EQ(of_int(u256(kOnes, kOnes, kTop, 0)), core::InputValue(core::InputInt{min128}));
    EXPECT_EQ(of_int(u256(kOnes, kOnes, kTop - 1, kOnes)),
              core::InputValue(core::InputBigInt{"-170141183460469231731687303715884105729"}));
    // 2^127 - 1 fits; 2^127 does not.
    EXPECT_EQ(of_int(u256(0, 0, kTop - 1, kOnes)), core::InputValue(core::InputInt{-(min128 + 1)}));
    EXPECT_EQ(of_int(u256(0, 0, kTop, 0)),
              core::InputValue(core::InputBigInt{"170141183460469231731687303715884105728"}));
    // A value whose low 128 bits look small but whose upper bits are neither all 0 nor all 1.
    EXPECT_EQ(of_int(u256(kTop, 0, 0, 5)),
              core::InputValue(core::InputBigInt{"-57896044618658097711785492504343953926634992332"
                                                 "820282019728792003956564819963"}));
}

TEST(ToInputValue, BytesAddressAndOtherForms) {
    abi::FixedBytesValue fixed;
    for (std::size_t i = 0; i < 32; ++i)
        fixed.word[i] = static_cast<std::uint8_t>(i);
    fixed.size = 4; // the declared size is not applied: the whole word is kept
    EXPECT_EQ(
        to_input_value(abi::AbiValue{fixed}),
        core::InputValue(core::InputBytes{core::Bytes(fixed.word.begin(), fixed.word.end())}));

    abi::AddressValue address;
    address.bytes.fill(0xAB);
    std::string hex = "0x";
    for (int i = 0; i < 20; ++i)
        hex += "ab";
    EXPECT_EQ(to_input_value(abi::AbiValue{address}), core::InputValue(core::InputAddress{hex}));

    EXPECT_EQ(to_input_value(abi::AbiValue{abi::BoolValue{true}}),
              core::InputValue(core::InputBool{true}));
    EXPECT_EQ(to_input_value(abi::AbiValue{abi::BytesValue{{1, 2, 3}}}),
              core::InputValue(core::InputBytes{{1, 2, 3}}));
    EXPECT_EQ(to_input_value(abi::AbiValue{abi::StringValue{"x\ny"}}),
              core::InputValue(core::InputStr{"x\ny"}));

    const core::InputValue empty = core::InputBytes{};
    EXPECT_EQ(to_input_value(abi::AbiValue{abi::FunctionValue{}}), empty);
    abi::ArrayValue array;
    array.elements.push_back(abi::AbiValue{abi::BoolValue{true}});
    EXPECT_EQ(to_input_value(abi::AbiValue{array}), empty);
    EXPECT_EQ(to_input_value(abi::AbiValue{abi::FixedArrayValue{}}), empty);
    EXPECT_EQ(to_input_value(abi::AbiValue{abi::TupleValue{}}), empty);
}

/// A registry with hand-made entries, so candidates may share a selector or a name.
class ListRegistry final : public core::ErrorRegistry {
public:
    explicit ListRegistry(std::vector<core::ErrorSignature> entries)
        : entries_(std::move(entries)) {}
    std::vector<core::ErrorSignature> lookup(const core::Selector& selector) const override {
        std::vector<core::ErrorSignature> out;
        for (const auto& e : entries_)
            if (e.selector == selector) out.push_back(e);
        return out;
    }
    std::optional<core::ErrorSignature> lookup_by_name(std::string_view name) const override {
        for (const auto& e : entries_)
            if (e.name == name) return e;
        return std::nullopt;
    }
    std::size_t len() const override { return entries_.size(); }

private:
    std::vector<core::ErrorSignature> entries_;
};

constexpr core::Selector kSel{0xde, 0xad, 0xbe, 0xef};

core::ErrorSignature entry(std::string name, std::vector<core::ErrorParam> params,
                           std::optional<std::string> suggestion, core::Selector selector = kSel) {
    return {std::move(name), "", std::move(params), "test", std::move(suggestion), selector};
}

std::vector<std::uint8_t> words(std::size_t n, std::uint8_t last_byte) {
    std::vector<std::uint8_t> out(32 * n, 0);
    for (std::size_t i = 0; i < n; ++i)
        out[32 * i + 31] = last_byte;
    return out;
}

TEST(DecodeCustomError, CandidatesAreTriedInOrder) {
    const ListRegistry registry({
        entry("Unparsable", {{"x", "uint7"}}, "never"),
        entry("NeedsThree", {{"a", "uint256"}, {"b", "uint256"}, {"c", "uint256"}}, "three"),
        entry("NeedsTwo", {{"a", "address"}, {"b", "uint256"}}, "two"),
        entry("NoParams", {}, "none"),
        entry("Unreachable", {{"a", "uint256"}}, "later"),
    });
    // Two words: the unparsable and the three-word candidates are skipped.
    auto outcome = decode_custom_error(registry, kSel, words(2, 9));
    ASSERT_TRUE(outcome);
    const auto& error = std::get<core::CustomError>(outcome->kind);
    EXPECT_EQ(error.name, "NeedsTwo");
    ASSERT_EQ(error.inputs.size(), 2u);
    EXPECT_EQ(error.inputs[0].first, "a");
    EXPECT_EQ(error.inputs[0].second,
              core::InputValue(core::InputAddress{"0x0000000000000000000000000000000000000009"}));
    EXPECT_EQ(error.inputs[1], core::NamedInput("b", core::InputUint{9}));
    EXPECT_EQ(outcome->suggestion, "two");

    // Too short for any parameterised candidate: the one without parameters takes it.
    outcome = decode_custom_error(registry, kSel, words(0, 0));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(std::get<core::CustomError>(outcome->kind).name, "NoParams");
    EXPECT_TRUE(std::get<core::CustomError>(outcome->kind).inputs.empty());
}

TEST(DecodeCustomError, NothingForUnknownSelectorsOrUndecodablePayloads) {
    const ListRegistry registry({entry("One", {{"a", "uint256"}}, std::nullopt)});
    EXPECT_FALSE(decode_custom_error(registry, core::Selector{1, 2, 3, 4}, words(1, 1)));
    EXPECT_FALSE(decode_custom_error(registry, kSel, std::vector<std::uint8_t>(31, 0)));
    const auto outcome = decode_custom_error(registry, kSel, words(1, 1));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->suggestion, std::nullopt);
}

TEST(DecodeCustomError, SuggestionIsTheOneRegisteredUnderTheName) {
    // Two entries named "Dup": the second is the candidate, the first owns the name.
    const ListRegistry registry({
        entry("Dup", {}, "first", core::Selector{9, 9, 9, 9}),
        entry("Dup", {}, "second"),
    });
    const auto outcome = decode_custom_error(registry, kSel, {});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->suggestion, "first");
}

} // namespace
