#include "core/registry.hpp"
#include "core/selector.hpp"

#include <gtest/gtest.h>
#include <sstream>

namespace kestrix::core {
namespace {

using namespace std::string_view_literals;

// The published selector of every built-in error, in table order: an independent check of both
// the hashing and the signature texts.
constexpr std::string_view kKnown =
    "ERC20InsufficientBalance e450d38c ERC20InvalidSender 96c6fd1e "
    "ERC20InvalidReceiver ec442f05 ERC20InsufficientAllowance fb8f41b2 "
    "ERC20InvalidApprover e602df05 ERC20InvalidSpender 94280d62 ERC721InvalidOwner 89c62b64 "
    "ERC721NonexistentToken 7e273289 ERC721IncorrectOwner 64283d7b "
    "ERC721InvalidSender 73c6ac6e ERC721InvalidReceiver 64a0ae92 "
    "ERC721InsufficientApproval 177e802f ERC721InvalidApprover a9fbf51f "
    "ERC721InvalidOperator 5b08ba18 OwnableUnauthorizedAccount 118cdaa7 "
    "OwnableInvalidOwner 1e4fbdf7 AccessControlUnauthorizedAccount e2517d3f "
    "AccessControlBadConfirmation 6697b232 ReentrancyGuardReentrantCall 3ee5aeb5 "
    "EnforcedPause d93c0665 ExpectedPause 8dfc202b T 2bc80f3a LOK a1bf7886 TLU 2fe0284f "
    "TLM 9ad612e8 TUM d7b54ab1 AS 03fff018 M0 748800af M1 20e5672e IIA ba0b951e SPL fcdf4aa7 "
    "F0 f704e899 F1 e90c3493 L 9f13f76d LS eb0f5cc6 LA 96b9a4a6 "
    "ERC4626ExceededMaxDeposit 79012fb2 ERC4626ExceededMaxMint 284ff667 "
    "ERC4626ExceededMaxWithdraw fe9cceec ERC4626ExceededMaxRedeem b94abeec "
    "AddressInsufficientBalance cd786059 AddressEmptyCode 9996b315 FailedInnerCall 1425ea42 "
    "SafeERC20FailedOperation 5274afe7 SafeERC20FailedDecreaseAllowance b9ac796a ";

TEST(BuiltinRegistry, EveryRowAnswersBySelectorAndByName) {
    const RegistryHandle registry = BuiltinErrorRegistry::build();
    const auto rows = builtin_error_signatures();
    ASSERT_EQ(rows.size(), 45u);
    EXPECT_EQ(registry->len(), 45u);
    std::istringstream known{std::string(kKnown)};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::string name, hex;
        ASSERT_TRUE(known >> name >> hex);
        SCOPED_TRACE(name);
        std::string signature = std::string(name) + "(";
        for (std::size_t p = 0; p < rows[i].params.size(); ++p)
            signature.append(p ? "," : "").append(rows[i].params[p].type);
        EXPECT_EQ(rows[i].signature, signature + ")");
        Selector selector{};
        for (std::size_t b = 0; b < 4; ++b)
            selector[b] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * b, 2), nullptr, 16));
        const auto found = registry->lookup(selector);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].name, name);
        EXPECT_EQ(registry->lookup_by_name(name), found[0]);
    }
    // Names are case-sensitive and must match whole.
    for (const std::string_view miss : {"lok"sv, "LO"sv, ""sv, "LOK\0"sv})
        EXPECT_FALSE(registry->lookup_by_name(miss)) << miss;
    EXPECT_TRUE(registry->lookup(Selector{0x08, 0xc3, 0x79, 0xa0}).empty());
}

TEST(BuiltinRegistry, SharedSelectorsKeepOrderSharedNamesKeepFirst) {
    BuiltinErrorRegistry registry;
    const Selector shared{1, 2, 3, 4};
    registry.register_entry({"A", "A()", {}, "test", "first", shared});
    registry.register_entry({"B", "B()", {}, "test", std::nullopt, shared});
    registry.register_entry(
        {"A", "A(uint256)", {{"x", "uint256"}}, "test", "second", {9, 9, 9, 9}});
    EXPECT_EQ(registry.len(), 3u);
    const auto both = registry.lookup(shared);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].name + both[1].name, "AB");
    ASSERT_TRUE(registry.lookup_by_name("A"));
    EXPECT_EQ(registry.lookup_by_name("A")->suggestion, "first");
}

} // namespace
} // namespace kestrix::core
