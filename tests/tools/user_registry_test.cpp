#include "evm/lossless_input.hpp"
#include "evm/pipeline.hpp"
#include "tools/user_registry.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrix::tools {
namespace {

using core::Bytes;

ParamDefinition param(std::string name, std::string type,
                      std::optional<std::vector<ParamDefinition>> components = std::nullopt) {
    return {std::move(name), std::move(type), std::move(components)};
}

std::string nested_tuple(std::size_t levels) {
    ParamDefinition inner = param("x", "uint8");
    for (std::size_t i = 0; i < levels; ++i)
        inner = param("t", "tuple", std::vector<ParamDefinition>{inner});
    auto canonical = canonical_param(inner);
    return canonical ? canonical->type : "error: " + canonical.error();
}

TEST(CanonicalParam, TypeTextsAsSignaturesHashThem) {
    const std::vector<ParamDefinition> pair{param("code", "uint8"), param("why", "string")};
    const struct {
        ParamDefinition given;
        std::string want;
    } rows[] = {
        {param("a", "uint"), "uint256"},
        {param("a", "int[]"), "int256[]"},
        {param("a", "uint8[002][]"), "uint8[2][]"},
        {param("a", "bytes32"), "bytes32"},
        {param("a", "function"), "function"},
        {param("a", "tuple", pair), "(uint8,string)"},
        {param("a", "tuple[2][]", pair), "(uint8,string)[2][]"},
        {param("a", "tuple[]", std::vector<ParamDefinition>{param("", "tuple", pair)}),
         "((uint8,string))[]"},
        // A tuple spelled out in the type text itself is taken too, without member names.
        {param("a", "(uint,bool)"), "(uint256,bool)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given.type);
        const auto got = canonical_param(row.given);
        ASSERT_TRUE(got) << got.error();
        EXPECT_EQ(got->type, row.want);
        EXPECT_EQ(got->name, row.given.name);
        ASSERT_EQ(got->components.size(), row.given.components ? row.given.components->size() : 0);
        for (std::size_t i = 0; i < got->components.size(); ++i)
            EXPECT_EQ(got->components[i].name, (*row.given.components)[i].name);
    }
    // What loads decodes: 16 levels, and no empty tuple. The type parser allows 79 enclosing
    // tuples; the definition walk itself stops at 80.
    EXPECT_EQ(nested_tuple(16).size(), 16 * 2 + 5);
    const std::string too_deep =
        "error: type 'tuple' nested deeper than 16 levels (tuples and array dimensions)";
    EXPECT_EQ(nested_tuple(17), too_deep);
    EXPECT_EQ(nested_tuple(79), too_deep);
    for (const auto& empty :
         {param("a", "tuple", std::vector<ParamDefinition>{}), param("a", "(uint8,()[])[2]")}) {
        const auto got = canonical_param(empty);
        ASSERT_FALSE(got);
        EXPECT_NE(got.error().find("holds an empty tuple"), std::string::npos) << got.error();
    }
    EXPECT_EQ(nested_tuple(80), "error: invalid type 'tuple' (parser error:)");
    EXPECT_EQ(nested_tuple(81), "error: components nested too deeply");
    EXPECT_EQ(nested_tuple(200), "error: components nested too deeply");
}

TEST(BuildUserRegistry, SignaturesSelectorsFormsAndHints) {
    const std::vector<ErrorDefinition> given{
        {"ERC20InsufficientBalance",
         {param("who", "address"), param("have", "uint"), param("want", "uint256")},
         "mine"},
        {"Empty", {}, std::nullopt},
        {"Empty", {}, "again"}, // kept: the Python side de-duplicates
    };
    const auto built = build_user_registry(given);
    ASSERT_TRUE(built) << built.error();
    EXPECT_EQ(built->signatures,
              (std::vector<std::string>{"ERC20InsufficientBalance(address,uint256,uint256)",
                                        "Empty()", "Empty()"}));
    EXPECT_EQ(built->registry->len(), 3u);
    const core::RegisteredError* entry =
        built->registry->lookup_by_name("ERC20InsufficientBalance");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->signature.selector, (core::Selector{0xe4, 0x50, 0xd3, 0x8c}));
    EXPECT_EQ(entry->signature.forms, core::InputForms::Lossless);
    EXPECT_EQ(*entry->hint, "mine");
}

/// 32-byte words holding the given small values.
Bytes words(std::initializer_list<std::uint8_t> values) {
    Bytes out;
    for (const std::uint8_t value : values) {
        out.insert(out.end(), 31, 0);
        out.push_back(value);
    }
    return out;
}

Bytes with_selector(const core::Selector& selector, const Bytes& payload) {
    Bytes out(selector.begin(), selector.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

core::DecodedError decode(const core::ErrorRegistry& registry, const Bytes& data) {
    auto record = evm::decode_revert(registry, data, std::nullopt);
    EXPECT_TRUE(record);
    return record.value_or(core::DecodedError{});
}

TEST(ChainDecode, ShadowingAndFallingThroughToABuiltin) {
    const core::Selector balance{0xe4, 0x50, 0xd3, 0x8c}; // ERC20InsufficientBalance
    const Bytes payload = words({5, 6, 7});
    auto user = std::make_shared<core::IndexedErrorRegistry>(core::HintRule::OwnEntry);
    // Filed under a built-in's selector, but needs a string the payload does not hold.
    user->register_entry({"Mine",
                          "Mine(string)",
                          {{"s", "string", {}}},
                          "user",
                          "mine",
                          balance,
                          core::InputForms::Lossless});
    const core::RegistryHandle falls = chain_with_builtins(user);
    const core::DecodedError builtin = decode(*falls, with_selector(balance, payload));
    ASSERT_TRUE(std::holds_alternative<core::CustomError>(builtin.kind));
    EXPECT_EQ(std::get<core::CustomError>(builtin.kind).name, "ERC20InsufficientBalance");
    EXPECT_EQ(builtin.suggestion,
              "The sender does not have enough token balance for this transfer.");

    // A user error that decodes wins over the built-in with its selector.
    const auto shadow = build_user_registry(std::vector<ErrorDefinition>{
        {"ERC20InsufficientBalance",
         {param("who", "address"), param("have", "uint"), param("want", "uint")},
         std::nullopt}});
    ASSERT_TRUE(shadow);
    const core::DecodedError mine =
        decode(*chain_with_builtins(shadow->registry), with_selector(balance, payload));
    EXPECT_EQ(mine.kind,
              core::ErrorKind(core::CustomError{
                  "ERC20InsufficientBalance",
                  {{"who", core::InputAddress{"0x0000000000000000000000000000000000000005"}},
                   {"have", core::InputUint{6}},
                   {"want", core::InputUint{7}}}}));
    // Without a hint of its own, the user's copy keeps the built-in's.
    EXPECT_EQ(
        mine.suggestion,
        decode(*core::BuiltinErrorRegistry::build(), with_selector(balance, payload)).suggestion);
    ASSERT_TRUE(mine.suggestion);
}

TEST(LosslessInput, NothingIsDropped) {
    abi::FixedBytesValue fixed;
    fixed.word.fill(0x11);
    fixed.size = 3;
    abi::FunctionValue function;
    function.bytes.fill(0x22);
    EXPECT_EQ(evm::to_lossless_input(abi::AbiValue{fixed}, {}),
              core::InputValue(core::InputBytes{{0x11, 0x11, 0x11}}));
    EXPECT_EQ(evm::to_lossless_input(abi::AbiValue{function}, {}),
              core::InputValue(core::InputBytes{Bytes(24, 0x22)}));
    EXPECT_EQ(evm::to_lossless_input(abi::AbiValue{abi::BoolValue{true}}, {}),
              core::InputValue(core::InputBool{true}));

    // An array of tuples: every element named after the same components; members past the
    // components' end are unnamed.
    abi::TupleValue member;
    member.members = {abi::AbiValue{abi::BoolValue{false}}, abi::AbiValue{abi::BoolValue{true}}};
    abi::FixedArrayValue array;
    array.elements = {abi::AbiValue{member}, abi::AbiValue{member}};
    const std::vector<core::ErrorParam> components{{"flag", "bool", {}}};
    const core::InputValue tuple =
        core::InputTuple{{{"flag", core::InputBool{false}}, {"", core::InputBool{true}}}};
    EXPECT_EQ(evm::to_lossless_input(abi::AbiValue{array}, components),
              core::InputValue(core::InputArray{{tuple, tuple}}));
}

} // namespace
} // namespace kestrix::tools
