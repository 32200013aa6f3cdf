#include "evm/standard_payloads.hpp"

#include "abi/decode.hpp"
#include "evm/panic.hpp"
#include "evm/unicode_lower.hpp"

#include <array>
#include <variant>

namespace kestrix::evm {

namespace {

/// One keyword rule: every keyword must occur in the lowercased reason, in any order.
struct SuggestionRule {
    std::array<std::string_view, 2> all_of;
    std::string_view suggestion;
};

/// Rules tried in order; the first that holds wins. Rule one accepts either phrase, so it is
/// tested separately below.
constexpr std::array<SuggestionRule, 4> kKeywordRules{{
    {{"insufficient", "balance"},
     "The account balance is too low. Check the token balance before calling."},
    {{"allowance", ""},
     "Increase the token allowance with approve() before calling transferFrom()."},
    {{"paused", ""}, "The contract is paused. Wait for it to be unpaused."},
    {{"already", "init"}, "The contract has already been initialized."},
}};

constexpr std::string_view kOwnerSuggestion = "Ensure the caller is the contract owner.";

bool holds(const SuggestionRule& rule, std::string_view lowered) noexcept {
    for (const std::string_view keyword : rule.all_of) {
        if (!keyword.empty() && !lowered.contains(keyword)) return false;
    }
    return true;
}

} // namespace

std::optional<Outcome> decode_revert_string(std::span<const std::uint8_t> payload,
                                            const core::ReasonTable* table) {
    auto decoded = abi::value_or_nullopt(abi::decode_abi_value(abi::AbiType::string(), payload));
    if (!decoded) return std::nullopt;
    auto* text = std::get_if<abi::StringValue>(&decoded->v);
    if (text == nullptr) return std::nullopt;

    std::string reason = std::move(text->text);
    while (!reason.empty() && reason.back() == '\0')
        reason.pop_back();
    std::optional<std::string> suggestion;
    if (table != nullptr) {
        if (const auto meaning = table->lookup(core::ReasonScope::RevertString, reason)) {
            suggestion.emplace(*meaning);
        }
    }
    if (!suggestion) suggestion = revert_string_suggestion(reason);
    return Outcome{core::RevertString{std::move(reason)}, std::move(suggestion)};
}

std::optional<Outcome> decode_panic(std::span<const std::uint8_t> payload) {
    const auto decoded =
        abi::value_or_nullopt(abi::decode_abi_value(abi::AbiType::uint(256), payload));
    if (!decoded) return std::nullopt;
    const auto* word = std::get_if<abi::UintValue>(&decoded->v);
    // A code that does not fit the 64-bit panic code is not a panic this decoder can report;
    // classification goes on exactly as for a payload too short to hold a code.
    if (word == nullptr || !word->value.fits_u64()) return std::nullopt;

    const std::uint64_t code = word->value.limbs[0];
    std::string meaning(panic_meaning(code));
    auto suggestion = panic_suggestion(code, meaning);
    return Outcome{core::Panic{code, std::move(meaning)}, std::move(suggestion)};
}

std::optional<std::string> revert_string_suggestion(std::string_view reason) {
    // Full Unicode lowercase, so e.g. "İNSUFFICIENT" (U+0130) lowercases to "i̇nsufficient"
    // and does not match the ASCII keyword, exactly as str.lower() would have it.
    const std::string lowered = unicode_lower(reason);
    const std::string_view text = lowered;
    if (text.contains("not the owner") || text.contains("not owner")) {
        return std::string(kOwnerSuggestion);
    }
    for (const SuggestionRule& rule : kKeywordRules) {
        if (holds(rule, text)) return std::string(rule.suggestion);
    }
    return std::nullopt;
}

} // namespace kestrix::evm
