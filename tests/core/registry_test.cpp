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

/// Every candidate a registry offers for `selector`, in the order offered.
std::vector<const RegisteredError*> candidates(const ErrorRegistry& registry,
                                               const Selector& selector) {
    std::vector<const RegisteredError*> offered;
    const RegisteredError* taken = registry.find_candidate(selector, [&](const RegisteredError& e) {
        offered.push_back(&e);
        return false;
    });
    EXPECT_EQ(taken, nullptr);
    return offered;
}

std::string names(const std::vector<const RegisteredError*>& entries) {
    std::string out;
    for (const RegisteredError* entry : entries)
        out += entry->signature.name + " ";
    return out;
}

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
        const auto found = candidates(*registry, selector);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0]->signature.name, name);
        EXPECT_EQ(found[0]->signature.params.size(), rows[i].params.size());
        // Parameter types are parsed when the entry is filed.
        ASSERT_TRUE(found[0]->types);
        EXPECT_EQ(found[0]->types->size(), rows[i].params.size());
        EXPECT_EQ(found[0]->hint, &found[0]->signature.suggestion);
        EXPECT_EQ(registry->lookup_by_name(name), found[0]);
    }
    // Names are case-sensitive and must match whole.
    for (const std::string_view miss : {"lok"sv, "LO"sv, ""sv, "LOK\0"sv})
        EXPECT_FALSE(registry->lookup_by_name(miss)) << miss;
    EXPECT_TRUE(candidates(*registry, Selector{0x08, 0xc3, 0x79, 0xa0}).empty());
}

TEST(BuiltinRegistry, SharedSelectorsKeepOrderSharedNamesKeepFirst) {
    BuiltinErrorRegistry registry;
    const Selector shared{1, 2, 3, 4};
    registry.register_entry({"A", "A()", {}, "test", "first", shared, {}});
    registry.register_entry({"B", "B()", {}, "test", std::nullopt, shared, {}});
    registry.register_entry(
        {"A", "A(uint256)", {{"x", "uint256", {}}}, "test", "second", {9, 9, 9, 9}, {}});
    registry.register_entry({"Bad", "Bad(uint7)", {{"x", "uint7", {}}}, "test", {}, shared, {}});
    EXPECT_EQ(registry.len(), 4u);
    EXPECT_EQ(names(candidates(registry, shared)), "A B Bad ");
    EXPECT_EQ(registry.lookup(shared).size(), 3u);
    // A type text that does not parse is remembered as such, once.
    EXPECT_FALSE(registry.lookup(shared)[2]->types);
    const RegisteredError* a = registry.lookup_by_name("A");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->signature.suggestion, "first");
    // The second "A" reports the suggestion of the first.
    const RegisteredError* second = registry.lookup(Selector{9, 9, 9, 9})[0];
    EXPECT_EQ(second->signature.suggestion, "second");
    EXPECT_EQ(*second->hint, "first");
}

TEST(IndexedRegistry, OwnEntryHintsAndTheFilterStopsAtTheFirstTaken) {
    IndexedErrorRegistry registry(HintRule::OwnEntry);
    const Selector shared{1, 2, 3, 4};
    registry.register_entry({"A", "A()", {}, "test", "first", shared, {}});
    registry.register_entry({"A", "A(bool)", {{"", "bool", {}}}, "test", "second", shared, {}});
    registry.register_entry({"C", "C()", {}, "test", "third", shared, {}});
    EXPECT_EQ(*registry.lookup(shared)[1]->hint, "second");
    int asked = 0;
    const RegisteredError* taken = registry.find_candidate(shared, [&](const RegisteredError& e) {
        ++asked;
        return e.signature.signature == "A(bool)";
    });
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->signature.signature, "A(bool)");
    EXPECT_EQ(asked, 2);
}

TEST(ChainRegistry, FirstRegistryBeforeTheSecond) {
    auto user = std::make_shared<IndexedErrorRegistry>(HintRule::OwnEntry);
    const Selector enforced_pause{0xd9, 0x3c, 0x06, 0x65};
    user->register_entry({"Mine", "Mine()", {}, "user", "mine", enforced_pause, {}});
    user->register_entry({"ERC20InvalidSender",
                          "ERC20InvalidSender(uint8)",
                          {{"", "uint8", {}}},
                          "user",
                          std::nullopt,
                          {5, 5, 5, 5},
                          {}});
    const RegistryHandle builtins = BuiltinErrorRegistry::build();
    const ChainErrorRegistry chain(user, builtins);
    EXPECT_EQ(chain.len(), 47u);
    EXPECT_FALSE(chain.is_empty());
    EXPECT_EQ(names(candidates(chain, enforced_pause)), "Mine EnforcedPause ");
    EXPECT_EQ(names(candidates(chain, {5, 5, 5, 5})), "ERC20InvalidSender ");
    EXPECT_TRUE(candidates(chain, {6, 6, 6, 6}).empty());
    // A name the user registry owns comes from it; the others from the built-ins.
    EXPECT_EQ(chain.lookup_by_name("ERC20InvalidSender")->signature.source, "user");
    EXPECT_EQ(chain.lookup_by_name("EnforcedPause")->signature.source, "bundled");
    EXPECT_EQ(chain.lookup_by_name("Nobody"), nullptr);
}

} // namespace
} // namespace kestrix::core
