#include "core/selector.hpp"
#include "evm/unwrap.hpp"

#include <gtest/gtest.h>

namespace kestrix::evm {
namespace {

using core::Bytes;

Bytes word(std::uint64_t value) {
    Bytes out(32, 0);
    for (std::size_t i = 0; i < 8; ++i)
        out[31 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    return out;
}

void append(Bytes& out, const Bytes& tail) {
    out.insert(out.end(), tail.begin(), tail.end());
}

/// `signature`'s selector, then one `bytes` argument holding `inner`.
Bytes with_bytes(std::string_view signature, const Bytes& inner) {
    const core::Selector selector = core::selector_of(signature);
    Bytes out(selector.begin(), selector.end());
    append(out, word(32));
    append(out, word(inner.size()));
    append(out, inner);
    out.resize(out.size() + (32 - inner.size() % 32) % 32, 0);
    return out;
}

const Bytes kPanic = [] {
    Bytes out{0x4e, 0x48, 0x7b, 0x71};
    append(out, word(0x11));
    return out;
}();

/// The built-ins, then one error with a `bytes` parameter.
const core::RegistryHandle& registry() {
    static const core::RegistryHandle built = [] {
        auto own = std::make_shared<core::IndexedErrorRegistry>(core::HintRule::OwnEntry);
        core::ErrorSignature entry{"Wrap", "Wrap(bytes)", {{"inner", "bytes", {}}}, "test", {}};
        entry.selector = core::selector_of(entry.signature);
        entry.forms = core::InputForms::Lossless;
        own->register_entry(entry);
        return core::RegistryHandle(std::make_shared<core::ChainErrorRegistry>(
            core::BuiltinErrorRegistry::build(), std::move(own)));
    }();
    return built;
}

UnwrapChain unwrap(const Bytes& data, const WrapperRules& rules = {}) {
    auto chain = unwrap_revert(*registry(), rules, data, std::nullopt);
    EXPECT_TRUE(chain.has_value());
    return chain.value_or(UnwrapChain{});
}

// The bulk path asks may_carry_revert before unwrapping: it must never skip a chain.
TEST(Unwrap, CheapPathSkipsOnlyWhatCannotCarry) {
    const Bytes reason = [] {
        Bytes out{0x08, 0xc3, 0x79, 0xa0};
        append(out, word(32));
        append(out, word(4));
        append(out, {'o', 'o', 'p', 's'});
        out.resize(out.size() + 28, 0);
        return out;
    }();
    const std::pair<Bytes, bool> rows[] = {
        {{}, false},
        {{0xde, 0xad, 0xbe, 0xef}, false},
        {kPanic, false},
        {reason, true},
        {with_bytes("Wrap(bytes)", {}), true},
        {with_bytes("Unknown(bytes)", kPanic), false},
    };
    for (const auto& [data, carries] : rows) {
        SCOPED_TRACE(testing::PrintToString(data));
        auto outer = classify_revert(*registry(), data, std::nullopt);
        ASSERT_TRUE(outer.has_value());
        EXPECT_EQ(may_carry_revert(*outer), carries);
        const UnwrapChain chain = unwrap(data);
        if (!carries) {
            EXPECT_EQ(chain.size(), 1u);
        }
        auto again = unwrap_decoded(*registry(), {}, std::move(*outer));
        ASSERT_TRUE(again.has_value());
        ASSERT_EQ(again->size(), chain.size());
        for (std::size_t i = 0; i < chain.size(); ++i)
            EXPECT_EQ((*again)[i].decoded.record, chain[i].decoded.record);
    }
}

TEST(Unwrap, DepthBoundAndShorterLayers) {
    for (const std::size_t wrappers : {1u, 14u, 15u, 16u, 20u}) {
        SCOPED_TRACE(wrappers);
        Bytes data = kPanic;
        for (std::size_t i = 0; i < wrappers; ++i)
            data = with_bytes("Wrap(bytes)", data);
        const UnwrapChain chain = unwrap(data);
        EXPECT_EQ(chain.size(), std::min(wrappers + 1, kMaxUnwrapLayers));
        for (std::size_t i = 1; i < chain.size(); ++i) {
            EXPECT_LT(chain[i].decoded.record.raw_data.size(),
                      chain[i - 1].decoded.record.raw_data.size());
            EXPECT_EQ(chain[i - 1].link, LinkKind::Argument);
        }
        EXPECT_EQ(chain.back().link, LinkKind::None);
        // The bulk path's root-only walk ends at the same layer.
        auto outer = classify_revert(*registry(), data, std::nullopt);
        ASSERT_TRUE(outer.has_value());
        auto root = find_root_cause(*registry(), {}, *outer);
        ASSERT_TRUE(root.has_value() && root->root.has_value());
        EXPECT_EQ(root->depth, chain.size() - 1);
        EXPECT_EQ(root->root->record, chain.back().decoded.record);
    }
}

// Large layers: the chain's bytes stay within a few times the input's, the layers that fit kept.
TEST(Unwrap, LargeLayersStayWithinTheByteBound) {
    Bytes data = kPanic;
    data.resize(kChainBytesSlack, 0); // a panic with trailing bytes: still a panic
    for (std::size_t i = 0; i < 10; ++i)
        data = with_bytes("Wrap(bytes)", data);
    const UnwrapChain chain = unwrap(data);
    std::size_t total = 0;
    for (const UnwrapLayer& layer : chain)
        total += layer.decoded.record.raw_data.size();
    EXPECT_LE(total, kChainBytesFactor * data.size() + kChainBytesSlack);
    EXPECT_EQ(chain.size(), kChainBytesFactor + 1); // near-equal layers: the slack holds one more
    auto outer = classify_revert(*registry(), data, std::nullopt);
    ASSERT_TRUE(outer.has_value());
    auto root = find_root_cause(*registry(), {}, *outer);
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->depth, chain.size() - 1);
}

// A rule names the cause; an argument the rule does not name is not followed.
TEST(Unwrap, RuleNamesTheCause) {
    const Bytes data = with_bytes("Wrap(bytes)", kPanic);
    const core::Selector selector = core::selector_of("Wrap(bytes)");
    EXPECT_EQ(unwrap(data, {{selector, "Wrap(bytes)", 0}}).size(), 2u);
    EXPECT_EQ(unwrap(data, {{selector, "Wrap(bytes)", 1}}).size(), 1u);
    // A rule for another signature under the same selector does not apply.
    EXPECT_EQ(unwrap(data, {{selector, "Wrap(bytes,bytes)", 1}}).size(), 2u);
}

} // namespace
} // namespace kestrix::evm
