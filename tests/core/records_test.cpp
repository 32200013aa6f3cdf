#include "core/records.hpp"

#include <gtest/gtest.h>

namespace kestrix::core {
namespace {

TEST(Records, KindTagsNamesAndDisplayMessages) {
    struct Row {
        ErrorKind kind;
        std::size_t tag;
        std::string_view name;
        std::optional<std::string_view> message;
    };
    const Row rows[] = {
        {RevertString{"x"}, 0, "revert_string", std::nullopt},
        {CustomError{"E", {}}, 1, "custom_error", std::nullopt},
        {Panic{1, "m"}, 2, "panic", std::nullopt},
        {OutOfGas{}, 3, "out_of_gas", "out of gas"},
        {ContractNotDeployed{}, 4, "contract_not_deployed", "contract not deployed"},
        {RawRevert{"none", {1}}, 5, "raw_revert", std::nullopt},
        {Empty{}, 6, "empty", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.kind.index(), row.tag);
        EXPECT_EQ(kind_name(row.kind), row.name);
        EXPECT_EQ(kind_display_message(row.kind), row.message);
    }
}

TEST(Records, InputValueTagOrder) {
    EXPECT_EQ(InputValue{InputUint{}}.index(), 0u);
    EXPECT_EQ(InputValue{InputBigUint{}}.index(), 1u);
    EXPECT_EQ(InputValue{InputInt{}}.index(), 2u);
    EXPECT_EQ(InputValue{InputBigInt{}}.index(), 3u);
    EXPECT_EQ(InputValue{InputBool{}}.index(), 4u);
    EXPECT_EQ(InputValue{InputBytes{}}.index(), 5u);
    EXPECT_EQ(InputValue{InputStr{}}.index(), 6u);
    EXPECT_EQ(InputValue{InputAddress{}}.index(), 7u);
}

TEST(Records, CoreErrorDisplay) {
    EXPECT_EQ((CoreError{CoreErrorKind::AbiDecode, "bad"}).display(), "ABI decode failed: bad");
    EXPECT_EQ((CoreError{CoreErrorKind::InvalidRevertData, "x"}).display(),
              "Invalid revert data: x");
    EXPECT_EQ((CoreError{CoreErrorKind::UnsupportedChain, ""}).display(), "Unsupported chain: ");
    EXPECT_EQ((CoreError{CoreErrorKind::RegistryLookup, "y"}).display(),
              "Registry lookup failed: y");
    EXPECT_EQ((CoreError{CoreErrorKind::Other, "plain"}).display(), "plain");
    EXPECT_EQ((CoreError{CoreErrorKind::Other, ""}).display(), "");
}

TEST(Records, ConfidenceIsSinglePrecision) {
    DecodedError record;
    record.confidence = 0.95f;
    EXPECT_EQ(static_cast<double>(record.confidence), 0.949999988079071);
    record.confidence = 0.5f;
    EXPECT_EQ(static_cast<double>(record.confidence), 0.5);
}

TEST(Records, CopiesAreDeep) {
    DecodedError original;
    original.kind = CustomError{"E", {{"a", InputStr{"text"}}}};
    original.raw_data = {1, 2, 3};
    original.context.emplace().chain = "ethereum";
    DecodedError copy = original;
    std::get<CustomError>(copy.kind).inputs[0].first = "changed";
    copy.raw_data[0] = 9;
    copy.context->chain = "other";
    EXPECT_EQ(std::get<CustomError>(original.kind).inputs[0].first, "a");
    EXPECT_EQ(original.raw_data[0], 1);
    EXPECT_EQ(original.context->chain, "ethereum");
    // An all-absent context is still distinct from no context.
    EXPECT_NE(std::optional<ErrorContext>{ErrorContext{}}, std::optional<ErrorContext>{});
}

} // namespace
} // namespace kestrix::core
