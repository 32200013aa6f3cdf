#include "core/registry.hpp"
#include "core/selector.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace kestrix::core {
namespace {

// The published selector of every built-in error, in table order: an independent check of
// both the hashing and the signature texts.
struct Known {
    std::string_view name;
    std::string_view selector;
};
constexpr Known kKnown[] = {
    {"ERC20InsufficientBalance", "e450d38c"},
    {"ERC20InvalidSender", "96c6fd1e"},
    {"ERC20InvalidReceiver", "ec442f05"},
    {"ERC20InsufficientAllowance", "fb8f41b2"},
    {"ERC20InvalidApprover", "e602df05"},
    {"ERC20InvalidSpender", "94280d62"},
    {"ERC721InvalidOwner", "89c62b64"},
    {"ERC721NonexistentToken", "7e273289"},
    {"ERC721IncorrectOwner", "64283d7b"},
    {"ERC721InvalidSender", "73c6ac6e"},
    {"ERC721InvalidReceiver", "64a0ae92"},
    {"ERC721InsufficientApproval", "177e802f"},
    {"ERC721InvalidApprover", "a9fbf51f"},
    {"ERC721InvalidOperator", "5b08ba18"},
    {"OwnableUnauthorizedAccount", "118cdaa7"},
    {"OwnableInvalidOwner", "1e4fbdf7"},
    {"AccessControlUnauthorizedAccount", "e2517d3f"},
    {"AccessControlBadConfirmation", "6697b232"},
    {"ReentrancyGuardReentrantCall", "3ee5aeb5"},
    {"EnforcedPause", "d93c0665"},
    {"ExpectedPause", "8dfc202b"},
    {"T", "2bc80f3a"},
    {"LOK", "a1bf7886"},
    {"TLU", "2fe0284f"},
    {"TLM", "9ad612e8"},
    {"TUM", "d7b54ab1"},
    {"AS", "03fff018"},
    {"M0", "748800af"},
    {"M1", "20e5672e"},
    {"IIA", "ba0b951e"},
    {"SPL", "fcdf4aa7"},
    {"F0", "f704e899"},
    {"F1", "e90c3493"},
    {"L", "9f13f76d"},
    {"LS", "eb0f5cc6"},
    {"LA", "96b9a4a6"},
    {"ERC4626ExceededMaxDeposit", "79012fb2"},
    {"ERC4626ExceededMaxMint", "284ff667"},
    {"ERC4626ExceededMaxWithdraw", "fe9cceec"},
    {"ERC4626ExceededMaxRedeem", "b94abeec"},
    {"AddressInsufficientBalance", "cd786059"},
    {"AddressEmptyCode", "9996b315"},
    {"FailedInnerCall", "1425ea42"},
    {"SafeERC20FailedOperation", "5274afe7"},
    {"SafeERC20FailedDecreaseAllowance", "b9ac796a"},
};

Selector selector_from_hex(std::string_view hex) {
    Selector out{};
    for (std::size_t i = 0; i < 4; ++i)
        out[i] =
            static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(2 * i, 2)), nullptr, 16));
    return out;
}

TEST(BuiltinRegistry, EveryRowAnswersBySelectorAndByName) {
    const RegistryHandle registry = BuiltinErrorRegistry::build();
    const auto rows = builtin_error_signatures();
    ASSERT_EQ(rows.size(), std::size(kKnown));
    EXPECT_EQ(registry->len(), 45u);
    EXPECT_FALSE(registry->is_empty());

    std::size_t with_suggestion = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Known& known = kKnown[i];
        SCOPED_TRACE(known.name);
        EXPECT_EQ(rows[i].name, known.name);

        // The signature is the name and the parameter types, as the selector needs it.
        std::string signature = std::string(rows[i].name) + "(";
        for (std::size_t p = 0; p < rows[i].params.size(); ++p)
            signature.append(p ? "," : "").append(rows[i].params[p].type);
        EXPECT_EQ(rows[i].signature, signature + ")");

        const auto by_selector = registry->lookup(selector_from_hex(known.selector));
        ASSERT_EQ(by_selector.size(), 1u);
        const ErrorSignature& entry = by_selector[0];
        EXPECT_EQ(entry.name, known.name);
        EXPECT_EQ(selector_hex(entry.selector), known.selector);
        EXPECT_EQ(entry.source, "bundled");
        EXPECT_EQ(entry.params.size(), rows[i].params.size());
        EXPECT_EQ(entry.suggestion.has_value(), rows[i].suggestion.has_value());
        with_suggestion += entry.suggestion.has_value();

        EXPECT_EQ(registry->lookup_by_name(known.name), entry);
    }
    EXPECT_EQ(with_suggestion, 23u);
}

TEST(BuiltinRegistry, NamedEntries) {
    const RegistryHandle registry = BuiltinErrorRegistry::build();

    const auto balance = registry->lookup(Selector{0xe4, 0x50, 0xd3, 0x8c});
    ASSERT_EQ(balance.size(), 1u);
    EXPECT_EQ(balance[0].params, (std::vector<ErrorParam>{
                                     {"sender", "address"},
                                     {"balance", "uint256"},
                                     {"needed", "uint256"},
                                 }));
    EXPECT_EQ(balance[0].suggestion,
              "The sender does not have enough token balance for this transfer.");

    const auto lok = registry->lookup_by_name("LOK");
    ASSERT_TRUE(lok);
    EXPECT_EQ(lok->signature, "LOK()");
    EXPECT_TRUE(lok->params.empty());
    EXPECT_EQ(lok->suggestion, "Uniswap V3: pool is locked.");

    // Names are case-sensitive and must match whole.
    EXPECT_FALSE(registry->lookup_by_name("lok"));
    EXPECT_FALSE(registry->lookup_by_name("LO"));
    EXPECT_FALSE(registry->lookup_by_name(""));
    EXPECT_FALSE(registry->lookup_by_name(std::string_view("LOK\0", 4)));

    EXPECT_EQ(registry->lookup_by_name("FailedInnerCall")->suggestion, std::nullopt);
    EXPECT_TRUE(registry->lookup(Selector{0x08, 0xc3, 0x79, 0xa0}).empty());

    const auto erc20 = registry->lookup_by_name("ERC20InvalidSender");
    const auto erc721 = registry->lookup_by_name("ERC721InvalidSender");
    EXPECT_EQ(erc20->params, erc721->params);
    EXPECT_NE(erc20->selector, erc721->selector);
}

TEST(BuiltinRegistry, LookupsReturnCopies) {
    const RegistryHandle registry = BuiltinErrorRegistry::build();
    auto first = registry->lookup_by_name("EnforcedPause");
    first->suggestion = "changed";
    first->name = "changed";
    auto list = registry->lookup(first->selector);
    list[0].params.push_back({"x", "uint256"});
    EXPECT_EQ(registry->lookup_by_name("EnforcedPause")->suggestion,
              "The contract is paused. Wait for it to be unpaused.");
    EXPECT_TRUE(registry->lookup(first->selector)[0].params.empty());
}

TEST(BuiltinRegistry, SharedSelectorsKeepOrderSharedNamesKeepFirst) {
    BuiltinErrorRegistry registry;
    EXPECT_TRUE(registry.is_empty());
    EXPECT_TRUE(registry.lookup(Selector{}).empty());
    EXPECT_FALSE(registry.lookup_by_name("A"));

    const Selector shared{1, 2, 3, 4};
    registry.register_entry({"A", "A()", {}, "test", "first", shared});
    registry.register_entry({"B", "B()", {}, "test", std::nullopt, shared});
    registry.register_entry(
        {"A", "A(uint256)", {{"x", "uint256"}}, "test", "second", {9, 9, 9, 9}});

    EXPECT_EQ(registry.len(), 3u);
    const auto both = registry.lookup(shared);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].name, "A");
    EXPECT_EQ(both[1].name, "B");
    EXPECT_EQ(registry.lookup_by_name("A")->suggestion, "first");
    EXPECT_EQ(registry.lookup(Selector{9, 9, 9, 9}).size(), 1u);
}

TEST(BuiltinRegistry, ConcurrentLookups) {
    const RegistryHandle registry = BuiltinErrorRegistry::build();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            RegistryHandle share = registry; // each thread holds its own share
            for (int i = 0; i < 500; ++i) {
                const Known& known = kKnown[(i + t * 11) % std::size(kKnown)];
                const auto list = share->lookup(selector_from_hex(known.selector));
                const auto named = share->lookup_by_name(known.name);
                if (list.size() != 1 || !named || list[0] != *named || share->len() != 45)
                    mismatches.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(registry.use_count(), 1);
}

} // namespace
} // namespace kestrix::core
