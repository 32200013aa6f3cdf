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
        {param("a", "tuple", std::vector<ParamDefinition>{}), "()"},
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
    // The type parser allows 79 enclosing tuples; the definition walk itself stops at 80.
    EXPECT_EQ(nested_tuple(79).size(), 79 * 2 + 5);
    EXPECT_EQ(nested_tuple(80), "error: invalid type 'tuple' (parser error:)");
    EXPECT_EQ(nested_tuple(81), "error: components nested too deeply");
    EXPECT_EQ(nested_tuple(200), "error: components nested too deeply");
}

TEST(CanonicalParam, MalformedDefinitionsSayWhatIsWrong) {
    const std::vector<ParamDefinition> one{param("x", "uint7")};
    const struct {
        ParamDefinition given;
        std::string want;
    } rows[] = {
        {param("a", "uint7"), "invalid type 'uint7' (invalid size for type: uint7)"},
        {param("a", "bytes33"), "invalid type 'bytes33' (invalid size for type: bytes33)"},
        {param("a", "uint256["), "invalid type 'uint256[' (parser error:)"},
        {param("a", "Foo"), "invalid type 'Foo' (invalid type string: Foo)"},
        {param("a", ""), "invalid type '' (parser error:)"},
        {param("a", "tuple"), "type 'tuple' needs components"},
        {param("a", "tuple[3]"), "type 'tuple[3]' needs components"},
        {param("a", "uint", std::vector<ParamDefinition>{}),
         "components given for type 'uint', which is not a tuple"},
        {param("a", "tuple[x]", std::vector<ParamDefinition>{}),
         "invalid type 'tuple[x]' (parser error:)"},
        // A bad component is reported as it was written.
        {param("a", "tuple", one), "invalid type 'uint7' (invalid size for type: uint7)"},
    };
    for (const auto& row : rows) {
        const auto got = canonical_param(row.given);
        ASSERT_FALSE(got) << row.given.type;
        EXPECT_EQ(got.error(), row.want);
    }
}

TEST(BuildUserRegistry, SignaturesSelectorsAndAllOrNothing) {
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

    const struct {
        ErrorDefinition bad;
        std::string want;
    } rows[] = {
        {{"", {}, std::nullopt}, "error name '' is not an identifier"},
        {{"9Lives", {}, std::nullopt}, "error name '9Lives' is not an identifier"},
        {{"A B", {}, std::nullopt}, "error name 'A B' is not an identifier"},
        {{"Bad", {param("", "bool"), param("n", "uint9")}, std::nullopt},
         "error 'Bad', parameter 2 'n': invalid type 'uint9' (invalid size for type: uint9)"},
        {{"Bad", {param("", "tuple")}, std::nullopt},
         "error 'Bad', parameter 1: type 'tuple' needs components"},
    };
    for (const auto& row : rows) {
        std::vector<ErrorDefinition> with_bad = given;
        with_bad.push_back(row.bad);
        const auto failed = build_user_registry(with_bad);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error(), row.want);
    }
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

TEST(ChainDecode, UserErrorsInOrderThenTheBuiltins) {
    // transfer(address,uint256) and many_msg_babbage(bytes1) share the selector a9059cbb.
    const std::vector<ErrorDefinition> given{
        {"transfer", {param("to", "address"), param("amount", "uint256")}, "first"},
        {"many_msg_babbage", {param("b", "bytes1")}, "second"},
    };
    const auto built = build_user_registry(given);
    ASSERT_TRUE(built);
    const core::RegistryHandle chain = chain_with_builtins(built->registry);
    const core::Selector shared{0xa9, 0x05, 0x9c, 0xbb};

    const core::DecodedError both = decode(*chain, with_selector(shared, words({7, 9})));
    EXPECT_EQ(both.kind,
              core::ErrorKind(core::CustomError{
                  "transfer",
                  {{"to", core::InputAddress{"0x0000000000000000000000000000000000000007"}},
                   {"amount", core::InputUint{9}}}}));
    EXPECT_EQ(both.suggestion, "first");
    EXPECT_FLOAT_EQ(both.confidence, 0.95f);

    // One word is too short for the first: the second decodes, with exactly its one byte.
    Bytes word(32, 0);
    word[0] = 0xab;
    word[1] = 0xcd;
    const core::DecodedError second = decode(*chain, with_selector(shared, word));
    EXPECT_EQ(second.kind, core::ErrorKind(core::CustomError{"many_msg_babbage",
                                                             {{"b", core::InputBytes{{0xab}}}}}));
    EXPECT_EQ(second.suggestion, "second");

    // Neither decodes: raw data, as for any unknown selector.
    const core::DecodedError neither = decode(*chain, with_selector(shared, Bytes(31, 0)));
    EXPECT_TRUE(std::holds_alternative<core::RawRevert>(neither.kind));
    // The built-ins still answer behind the user's errors, in their compact forms.
    const core::DecodedError builtin =
        decode(*chain, with_selector({0xd9, 0x3c, 0x06, 0x65}, Bytes{}));
    EXPECT_EQ(builtin.kind, core::ErrorKind(core::CustomError{"EnforcedPause", {}}));
    EXPECT_EQ(builtin.suggestion, "The contract is paused. Wait for it to be unpaused.");
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
    EXPECT_EQ(mine.suggestion, std::nullopt);
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
