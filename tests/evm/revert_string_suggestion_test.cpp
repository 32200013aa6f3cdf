#include "evm/standard_payloads.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using kestrix::evm::revert_string_suggestion;

constexpr const char* kOwner = "Ensure the caller is the contract owner.";
constexpr const char* kBalance =
    "The account balance is too low. Check the token balance before calling.";
constexpr const char* kAllowance =
    "Increase the token allowance with approve() before calling transferFrom().";
constexpr const char* kPaused = "The contract is paused. Wait for it to be unpaused.";
constexpr const char* kInit = "The contract has already been initialized.";

struct Case {
    const char* reason;
    const char* suggestion; // nullptr: none
};

constexpr Case kCases[] = {
    // Each rule, in the wording contracts use.
    Case{"Ownable: caller is not the owner", kOwner}, Case{"NOT OWNER", kOwner},
    Case{"Sender is not owner", kOwner}, Case{"ERC20: insufficient allowance", kAllowance},
    Case{"insufficient balance for allowance", kBalance},
    Case{"ERC20: transfer amount exceeds balance", nullptr}, Case{"Pausable: paused", kPaused},
    Case{"Pausable: not paused", kPaused},
    Case{"Initializable: contract is already initialized", kInit}, Case{"already done", nullptr},
    Case{"LOK", nullptr}, Case{"", nullptr},
    // Keyword order inside a rule does not matter; rule order does.
    Case{"balance: INSUFFICIENT", kBalance}, Case{"Init happened Already", kInit},
    Case{"paused; not owner; insufficient balance", kOwner},
    Case{"allowance while paused", kAllowance}, Case{"already paused, init", kPaused},
    // Near misses: the phrases must appear exactly.
    Case{"notowner", nullptr}, Case{"not  owner", nullptr}, Case{"pause", nullptr},
    Case{"allow ance", nullptr},
    // Non-ASCII uppercase lowercases fully: U+0130 becomes "i" + U+0307, which breaks
    // "insufficient" and "init"; full-width letters never become the
    // ASCII keywords, and Cyrillic look-alikes stay Cyrillic.
    Case{"\xc4\xb0NSUFFICIENT BALANCE", nullptr}, Case{"ALREADY \xc4\xb0NITIALIZED", nullptr},
    Case{"\xef\xbc\xb0\xef\xbc\xa1\xef\xbc\xb5\xef\xbc\xb3\xef\xbc\xa5\xef\xbc\xa4", nullptr},
    Case{"\xd0\xa0"
         "AUSED",
         nullptr},
    // Non-ASCII text around ASCII keywords does not hide them; Greek capitals with a final
    // sigma lowercase without disturbing the rest.
    Case{"\xce\x9f\xce\x94\xce\xa5\xce\xa3\xce\xa3\xce\x95\xce\xa5\xce\xa3 NOT OWNER", kOwner},
    Case{"\xc3\x84LREADY INIT", nullptr}, Case{"ALREADY \xc3\x84 INIT", kInit}};

TEST(RevertStringSuggestion, FirstMatchingRuleWins) {
    for (const Case& c : kCases) {
        const auto got = revert_string_suggestion(c.reason);
        if (c.suggestion == nullptr) {
            EXPECT_EQ(got, std::nullopt) << c.reason;
        } else {
            EXPECT_EQ(got, std::optional<std::string>(c.suggestion)) << c.reason;
        }
    }
}

} // namespace
