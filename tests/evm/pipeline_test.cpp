#include "core/selector.hpp"
#include "evm/pipeline.hpp"

#include <gtest/gtest.h>

namespace kestrix::evm {
namespace {

using core::Bytes;

constexpr std::string_view kUnknownPrefix =
    "Unknown error selector. Try looking up the selector on ";

Bytes with_tail(Bytes head, std::size_t tail, std::uint8_t fill = 0) {
    head.insert(head.end(), tail, fill);
    return head;
}

core::DecodedError decode(const Bytes& data, std::optional<core::ErrorContext> context = {}) {
    static const core::RegistryHandle registry = core::BuiltinErrorRegistry::build();
    auto record = decode_revert(*registry, data, std::move(context));
    EXPECT_TRUE(record.has_value());
    return std::move(*record);
}

TEST(Pipeline, EmptyData) {
    const core::DecodedError record = decode({});
    EXPECT_TRUE(std::holds_alternative<core::Empty>(record.kind));
    EXPECT_TRUE(record.raw_data.empty());
    EXPECT_EQ(record.selector, std::nullopt);
    EXPECT_EQ(record.suggestion, "Transaction reverted with no error message.");
    EXPECT_EQ(record.confidence, 0.5f);
}

TEST(Pipeline, UnexplainedDataIsRawRevert) {
    struct Row {
        Bytes data;
        std::string_view selector_text;
    };
    const Row rows[] = {
        {{0x01}, "none"},
        {{0x08, 0xc3}, "none"},
        {{0x4e, 0x48, 0x7b}, "none"},
        {{0xde, 0xad, 0xbe, 0xef}, "deadbeef"},
        {with_tail({0xde, 0xad, 0xbe, 0xef}, 31), "deadbeef"},
        {with_tail({0xde, 0xad, 0xbe, 0xef}, 32, 0xff), "deadbeef"},
        {with_tail({0xde, 0xad, 0xbe, 0xef}, 33), "deadbeef"},
        {{0x00, 0x00, 0x00, 0x00}, "00000000"},
        // Standard selectors whose payload cannot decode.
        {{0x08, 0xc3, 0x79, 0xa0}, "08c379a0"},
        {with_tail({0x08, 0xc3, 0x79, 0xa0}, 31), "08c379a0"},
        {with_tail({0x4e, 0x48, 0x7b, 0x71}, 31), "4e487b71"},
        {{0x4e, 0x48, 0x7b, 0x71}, "4e487b71"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.data));
        const core::DecodedError record = decode(row.data);
        const auto* raw = std::get_if<core::RawRevert>(&record.kind);
        ASSERT_NE(raw, nullptr);
        EXPECT_EQ(raw->selector, row.selector_text);
        EXPECT_EQ(raw->data, row.data);
        EXPECT_EQ(record.raw_data, row.data);
        EXPECT_EQ(record.confidence, 0.0f);
        EXPECT_EQ(record.selector.has_value(), row.data.size() >= 4);
        ASSERT_TRUE(record.suggestion);
        EXPECT_TRUE(record.suggestion->starts_with(kUnknownPrefix)) << *record.suggestion;
        EXPECT_GT(record.suggestion->size(), kUnknownPrefix.size());
        if (row.data.size() >= 4) {
            EXPECT_EQ(record.suggestion->find(row.selector_text), std::string::npos);
        }
    }
}

// Whatever the branch that explains the data, the record keeps the whole input, selector
// bytes in data order, and carries the context without letting it change anything else.
TEST(Pipeline, CommonFieldsAndContext) {
    const Bytes samples[] = {
        {},
        {0x01, 0x02},
        with_tail({0x12, 0x34, 0x56, 0x78}, 64, 0xab),
        {0x08, 0xc3, 0x79, 0xa0},
        with_tail({0x4e, 0x48, 0x7b, 0x71}, 32),
        {0xd9, 0x3c, 0x06, 0x65}, // EnforcedPause()
    };
    core::ErrorContext context;
    context.chain = "ethereum";
    context.tx_hash = "0xabc";
    context.block_number = UINT64_MAX;
    for (const Bytes& data : samples) {
        SCOPED_TRACE(testing::PrintToString(data));
        const core::DecodedError bare = decode(data);
        EXPECT_EQ(bare.raw_data, data);
        EXPECT_EQ(bare.context, std::nullopt);
        if (data.size() >= 4) {
            EXPECT_EQ(bare.selector, (core::Selector{data[0], data[1], data[2], data[3]}));
        }

        core::DecodedError with_context = decode(data, context);
        EXPECT_EQ(with_context.context, context);
        with_context.context.reset();
        EXPECT_EQ(with_context, bare);

        // An all-absent context is carried as present, not dropped.
        EXPECT_EQ(decode(data, core::ErrorContext{}).context, core::ErrorContext{});
    }
}

} // namespace
} // namespace kestrix::evm
