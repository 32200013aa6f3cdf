#include "evm/unwrap.hpp"

#include "abi/decode.hpp"
#include "abi/types.hpp"
#include "abi/utf8.hpp"

#include <algorithm>
#include <utility>
#include <variant>

namespace kestrix::evm {

namespace {

/// Text positions tried per Error(string) whose selector is known: a bound on the decodes a
/// hostile text can cause, whatever its length.
constexpr std::size_t kMaxTextTries = 4;

/// Whether the outcome is one a chain continues through.
bool is_known(const ClassifiedRevert& decoded) noexcept {
    const auto& kind = decoded.record.kind;
    return std::holds_alternative<core::RevertString>(kind) ||
           std::holds_alternative<core::Panic>(kind) ||
           std::holds_alternative<core::CustomError>(kind);
}

bool is_bytes_param(const core::ErrorParam& param) noexcept {
    return param.type == "bytes";
}

const WrapperRule* rule_for(const WrapperRules& rules, const core::RegisteredError& entry) {
    for (const WrapperRule& rule : rules) {
        if (rule.selector == entry.signature.selector &&
            rule.signature == entry.signature.signature)
            return &rule;
    }
    return nullptr;
}

/// The carried revert in `bytes`, when it is one the chain continues through and is shorter
/// than the data it came from.
std::expected<std::optional<ClassifiedRevert>, core::CoreError>
try_layer(const core::ErrorRegistry& registry, std::span<const std::uint8_t> bytes,
          std::size_t parent_size) {
    if (bytes.size() < 4 || bytes.size() >= parent_size) return std::nullopt;
    auto decoded = classify_revert(registry, bytes, std::nullopt);
    if (!decoded) return std::unexpected(std::move(decoded.error()));
    if (!is_known(*decoded)) return std::nullopt;
    return std::optional<ClassifiedRevert>(std::move(*decoded));
}

/// The next layer below a custom error: the rule's cause, else the first `bytes` argument that
/// holds a known revert.
std::expected<std::optional<ClassifiedRevert>, core::CoreError>
argument_layer(const core::ErrorRegistry& registry, const WrapperRules& rules, UnwrapLayer& layer) {
    const auto& record = layer.decoded.record;
    const auto& inputs = std::get<core::CustomError>(record.kind).inputs;
    const auto& params = layer.decoded.entry->signature.params;
    const std::size_t count = std::min(inputs.size(), params.size());
    auto follow =
        [&](std::size_t index) -> std::expected<std::optional<ClassifiedRevert>, core::CoreError> {
        if (index >= count || !is_bytes_param(params[index])) return std::nullopt;
        const auto* bytes = std::get_if<core::InputBytes>(&inputs[index].second);
        if (bytes == nullptr) return std::nullopt;
        auto next = try_layer(registry, bytes->value, record.raw_data.size());
        if (next && *next) {
            layer.link = LinkKind::Argument;
            layer.argument = index;
        }
        return next;
    };
    if (const WrapperRule* rule = rule_for(rules, *layer.decoded.entry)) return follow(rule->cause);
    for (std::size_t i = 0; i < count; ++i) {
        auto next = follow(i);
        if (!next || *next) return next;
    }
    return std::nullopt;
}

/// The next layer at the end of an Error(string) text: the longest tail, a selector and whole
/// words long, that decodes to a known revert.
std::expected<std::optional<ClassifiedRevert>, core::CoreError>
text_layer(const core::ErrorRegistry& registry, UnwrapLayer& layer) {
    const auto& raw = layer.decoded.record.raw_data;
    // The text as bytes: the decoded message has had invalid UTF-8 replaced and NULs trimmed.
    const abi::AbiType bytes_type{abi::AbiKind::Bytes, 0, {}};
    auto value = abi::value_or_nullopt(
        abi::decode_abi_value(bytes_type, std::span<const std::uint8_t>(raw).subspan(4)));
    if (!value) return std::nullopt;
    const auto* text = std::get_if<abi::BytesValue>(&value->v);
    if (text == nullptr || text->bytes.size() < 4) return std::nullopt;
    const std::span<const std::uint8_t> all(text->bytes);

    std::size_t tries = 0;
    for (std::size_t at = (all.size() - 4) % 32; at + 4 <= all.size() && tries < kMaxTextTries;
         at += 32) {
        core::Selector selector;
        std::copy_n(all.begin() + static_cast<std::ptrdiff_t>(at), 4, selector.begin());
        const bool standard = selector == kErrorStringSelector || selector == kPanicSelector;
        if (!standard && registry.find_candidate(selector, [](const core::RegisteredError&) {
                return true;
            }) == nullptr) {
            continue;
        }
        ++tries;
        auto next = try_layer(registry, all.subspan(at), raw.size());
        if (!next || !*next) {
            if (!next) return next;
            continue;
        }
        layer.link = LinkKind::Text;
        layer.text_offset = at;
        layer.readable = abi::utf8_replace_invalid(all.first(at));
        return next;
    }
    return std::nullopt;
}

std::expected<std::optional<ClassifiedRevert>, core::CoreError>
next_layer(const core::ErrorRegistry& registry, const WrapperRules& rules, UnwrapLayer& layer) {
    if (!may_carry_revert(layer.decoded)) return std::nullopt;
    if (std::holds_alternative<core::RevertString>(layer.decoded.record.kind))
        return text_layer(registry, layer);
    return argument_layer(registry, rules, layer);
}

} // namespace

bool may_carry_revert(const ClassifiedRevert& decoded) noexcept {
    if (std::holds_alternative<core::RevertString>(decoded.record.kind))
        return decoded.record.raw_data.size() >= 4 + 64 + 4;
    if (decoded.entry == nullptr || !std::holds_alternative<core::CustomError>(decoded.record.kind))
        return false;
    return std::ranges::any_of(decoded.entry->signature.params, is_bytes_param);
}

std::expected<UnwrapChain, core::CoreError> unwrap_decoded(const core::ErrorRegistry& registry,
                                                           const WrapperRules& rules,
                                                           ClassifiedRevert outer) {
    UnwrapChain chain;
    chain.push_back(UnwrapLayer{std::move(outer)});
    while (chain.size() < kMaxUnwrapLayers) {
        auto next = next_layer(registry, rules, chain.back());
        if (!next) return std::unexpected(std::move(next.error()));
        if (!*next) break;
        chain.push_back(UnwrapLayer{std::move(**next)});
    }
    return chain;
}

std::expected<UnwrapChain, core::CoreError>
unwrap_revert(const core::ErrorRegistry& registry, const WrapperRules& rules,
              std::span<const std::uint8_t> data, std::optional<core::ErrorContext> context) {
    auto outer = classify_revert(registry, data, std::move(context));
    if (!outer) return std::unexpected(std::move(outer.error()));
    return unwrap_decoded(registry, rules, std::move(*outer));
}

} // namespace kestrix::evm
