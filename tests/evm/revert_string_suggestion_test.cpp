#include "evm/standard_payloads.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

TEST(RevertStringSuggestion, FirstMatchingRuleWins) {
    const std::optional<std::string>
        owner = "Ensure the caller is the contract owner.",
        balance = "The account balance is too low. Check the token balance before calling.",
        allowance = "Increase the token allowance with approve() before calling "
                    "transferFrom().",
        paused = "The contract is paused. Wait for it to be unpaused.",
        init = "The contract has already been initialized.", none;
    const std::pair<const char*, const std::optional<std::string>&> cases[] = {
        // Each rule, in the wording contracts use.
        {"Ownable: caller is not the owner", owner},
        {"Sender is not owner", owner},
        {"ERC20: insufficient allowance", allowance},
        {"insufficient balance for allowance", balance},
        {"ERC20: transfer amount exceeds balance", none},
        {"Pausable: not paused", paused},
        {"Initializable: contract is already initialized", init},
        {"already done", none},
        {"", none},
        // Case and keyword order inside a rule do not matter; rule order does.
        {"balance: INSUFFICIENT", balance},
        {"Init happened Already", init},
        {"paused; not owner; insufficient balance", owner},
        {"allowance while paused", allowance},
        {"already paused, init", paused},
        // Near misses: the phrases must appear exactly.
        {"notowner", none},
        {"not  owner", none},
        {"pause", none},
        // Full Unicode lowercasing: U+0130 becomes "i" + U+0307, which breaks "insufficient";
        // full-width and Cyrillic look-alikes never become the ASCII keywords.
        {"\xc4\xb0NSUFFICIENT BALANCE", none},
        {"\xef\xbc\xb0\xef\xbc\xa1\xef\xbc\xb5\xef\xbc\xb3\xef\xbc\xa5\xef\xbc\xa4", none},
        {"\xd0\xa0"
         "AUSED",
         none},
        // Non-ASCII text around ASCII keywords does not hide them (Greek with a final sigma).
        {"\xce\x9f\xce\x94\xce\xa5\xce\xa3\xce\xa3\xce\x95\xce\xa5\xce\xa3 NOT OWNER", owner},
        {"\xc3\x84LREADY INIT", none},
        {"ALREADY \xc3\x84 INIT", init},
    };
    for (const auto& [reason, suggestion] : cases)
        EXPECT_EQ(kestrix::evm::revert_string_suggestion(reason), suggestion) << reason;
}

} // namespace
