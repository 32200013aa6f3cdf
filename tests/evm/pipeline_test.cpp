#include "evm/pipeline.hpp"

#include <gtest/gtest.h>

namespace kestrix::evm {
namespace {

using core::Bytes;

Bytes with_tail(Bytes head, std::size_t tail, std::uint8_t fill = 0) {
    head.insert(head.end(), tail, fill);
    return head;
}

core::DecodedError decode(const Bytes& data, std::optional<core::ErrorContext> context = {}) {
    static const core::RegistryHandle registry = core::BuiltinErrorRegistry::build();
    auto record = decode_revert(*registry, data, std::move(context));
    EXPECT_TRUE(record.has_value());
    return record.value_or(core::DecodedError{});
}

TEST(Pipeline, EmptyAndUnexplainedData) {
    const core::DecodedError empty = decode({});
    EXPECT_TRUE(std::holds_alternative<core::Empty>(empty.kind));
    EXPECT_EQ(empty.suggestion, "Transaction reverted with no error message.");
    EXPECT_EQ(empty.confidence, 0.5f);
    const Bytes error{0x08, 0xc3, 0x79, 0xa0}, panic{0x4e, 0x48, 0x7b, 0x71};
    const std::pair<Bytes, std::string_view> rows[] = {
        {{0x01}, "none"},
        {{0x08, 0xc3}, "none"},
        {{0x4e, 0x48, 0x7b}, "none"},
        {{0xde, 0xad, 0xbe, 0xef}, "deadbeef"},
        {with_tail({0xde, 0xad, 0xbe, 0xef}, 32, 0xff), "deadbeef"},
        {{0x00, 0x00, 0x00, 0x00}, "00000000"},
        // Standard selectors whose payload cannot decode.
        {error, "08c379a0"},
        {with_tail(error, 31), "08c379a0"},
        {with_tail(panic, 31), "4e487b71"},
    };
    constexpr std::string_view kPrefix = "Unknown error selector. Try looking up the selector on ";
    for (const auto& [data, selector] : rows) {
        SCOPED_TRACE(testing::PrintToString(data));
        const core::DecodedError record = decode(data);
        EXPECT_EQ(record.kind, core::ErrorKind(core::RawRevert{std::string(selector), data}));
        EXPECT_EQ(record.confidence, 0.0f);
        ASSERT_TRUE(record.suggestion);
        EXPECT_TRUE(record.suggestion->starts_with(kPrefix)) << *record.suggestion;
        EXPECT_GT(record.suggestion->size(), kPrefix.size());
        EXPECT_EQ(record.suggestion->find(selector), std::string::npos);
    }
}

// Whatever the branch that explains the data, the record keeps the whole input and the selector
// bytes in data order, and carries the context without letting it change anything else.
TEST(Pipeline, CommonFieldsAndContext) {
    core::ErrorContext context;
    context.chain = "ethereum";
    context.block_number = UINT64_MAX;
    for (const Bytes& data :
         {Bytes{}, Bytes{0x01, 0x02}, with_tail({0x12, 0x34, 0x56, 0x78}, 64),
          Bytes{0x08, 0xc3, 0x79, 0xa0}, with_tail({0x4e, 0x48, 0x7b, 0x71}, 32),
          Bytes{0xd9, 0x3c, 0x06, 0x65}}) {
        SCOPED_TRACE(testing::PrintToString(data));
        const core::DecodedError bare = decode(data);
        EXPECT_EQ(bare.raw_data, data);
        EXPECT_EQ(bare.context, std::nullopt);
        if (data.size() >= 4) {
            EXPECT_EQ(bare.selector, (core::Selector{data[0], data[1], data[2], data[3]}));
        } else {
            EXPECT_EQ(bare.selector, std::nullopt);
        }
        for (const core::ErrorContext& given : {context, core::ErrorContext{}}) {
            core::DecodedError with_context = decode(data, given);
            EXPECT_EQ(with_context.context, given); // an all-absent context is still carried
            with_context.context.reset();
            EXPECT_EQ(with_context, bare);
        }
    }
}

} // namespace
} // namespace kestrix::evm
