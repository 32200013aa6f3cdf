#include "evm/pipeline.hpp"

#include "core/reason_table.hpp"
#include "core/selector.hpp"
#include "evm/custom_error.hpp"
#include "evm/standard_payloads.hpp"

#include <algorithm>

namespace kestrix::evm {

namespace {

constexpr float kConfidenceEmpty = 0.5f;
constexpr float kConfidenceStandard = 1.0f;
constexpr float kConfidenceRaw = 0.0f;

constexpr std::string_view kUnknownSelectorSuggestion =
    "Unknown error selector. Try looking up the selector on https://www.4byte.directory/";

/// The reason of a FailedOp-style error explained by the table, if it has an entry for it.
void explain_failed_op(const core::ReasonTable& table, CustomOutcome& custom) {
    const auto& error = std::get<core::CustomError>(custom.outcome.kind);
    if (error.name != "FailedOp" && error.name != "FailedOpWithRevert") return;
    for (const auto& [name, value] : error.inputs) {
        const auto* reason = std::get_if<core::InputStr>(&value);
        if (name != "reason" || reason == nullptr) continue;
        if (auto meaning = table.lookup(core::ReasonScope::FailedOp, reason->value)) {
            custom.outcome.suggestion.emplace(*meaning);
        }
        return;
    }
}

} // namespace

Outcome unknown_selector_result(std::span<const std::uint8_t> data) {
    std::string selector_text = "none";
    if (data.size() >= 4) {
        core::Selector selector;
        std::copy_n(data.begin(), 4, selector.begin());
        selector_text = core::selector_hex(selector);
    }
    return Outcome{core::RawRevert{std::move(selector_text), core::Bytes(data.begin(), data.end())},
                   std::string(kUnknownSelectorSuggestion)};
}

std::expected<ClassifiedRevert, core::CoreError>
classify_revert(const core::ErrorRegistry& registry, std::span<const std::uint8_t> data,
                std::optional<core::ErrorContext> context) {
    std::optional<core::Selector> selector;
    const core::RegisteredError* entry = nullptr;
    std::vector<std::string> alternatives;
    auto classify = [&]() -> std::pair<Outcome, float> {
        if (data.empty()) {
            return {Outcome{core::Empty{}, "Transaction reverted with no error message."},
                    kConfidenceEmpty};
        }
        if (data.size() < 4) return {unknown_selector_result(data), kConfidenceRaw};

        core::Selector& sel = selector.emplace();
        std::copy_n(data.begin(), 4, sel.begin());
        const auto payload = data.subspan(4);

        // A standard selector whose payload does not decode falls through to the registry,
        // exactly like any other selector.
        if (sel == kErrorStringSelector) {
            if (auto outcome = decode_revert_string(payload, registry.reason_table())) {
                return {std::move(*outcome), kConfidenceStandard};
            }
        } else if (sel == kPanicSelector) {
            if (auto outcome = decode_panic(payload)) {
                return {std::move(*outcome), kConfidenceStandard};
            }
        }
        if (auto custom = decode_custom_error(registry, sel, payload)) {
            if (const core::ReasonTable* table = registry.reason_table()) {
                explain_failed_op(*table, *custom);
            }
            entry = custom->entry;
            alternatives = std::move(custom->alternatives);
            return {std::move(custom->outcome), entry->confidence};
        }
        return {unknown_selector_result(data), kConfidenceRaw};
    };

    auto [outcome, confidence] = classify();
    core::DecodedError record;
    record.context = std::move(context);
    record.kind = std::move(outcome.kind);
    record.raw_data.assign(data.begin(), data.end());
    record.suggestion = std::move(outcome.suggestion);
    record.confidence = confidence;
    record.selector = selector;
    record.entry = entry;
    record.alternatives = std::move(alternatives);
    return ClassifiedRevert{std::move(record), entry};
}

std::expected<core::DecodedError, core::CoreError>
decode_revert(const core::ErrorRegistry& registry, std::span<const std::uint8_t> data,
              std::optional<core::ErrorContext> context) {
    auto classified = classify_revert(registry, data, std::move(context));
    if (!classified) return std::unexpected(std::move(classified.error()));
    return std::move(classified->record);
}

} // namespace kestrix::evm
