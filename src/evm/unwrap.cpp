#include "evm/unwrap.hpp"

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
          std::size_t parent_size, std::size_t room) {
    if (bytes.size() < 4 || bytes.size() >= parent_size || bytes.size() > room) return std::nullopt;
    auto decoded = classify_revert(registry, bytes, std::nullopt);
    if (!decoded) return std::unexpected(std::move(decoded.error()));
    if (!is_known(*decoded)) return std::nullopt;
    return std::optional<ClassifiedRevert>(std::move(*decoded));
}

/// The next layer below a custom error: the rule's cause, else the first `bytes` argument that
/// holds a known revert.
std::expected<std::optional<ClassifiedRevert>, core::CoreError>
argument_layer(const core::ErrorRegistry& registry, const WrapperRules& rules,
               const ClassifiedRevert& decoded, std::size_t room, UnwrapLayer& layer) {
    const auto& record = decoded.record;
    const auto& inputs = std::get<core::CustomError>(record.kind).inputs;
    const auto& params = decoded.entry->signature.params;
    const std::size_t count = std::min(inputs.size(), params.size());
    auto follow =
        [&](std::size_t index) -> std::expected<std::optional<ClassifiedRevert>, core::CoreError> {
        if (index >= count || !is_bytes_param(params[index])) return std::nullopt;
        const auto* bytes = std::get_if<core::InputBytes>(&inputs[index].second);
        if (bytes == nullptr) return std::nullopt;
        auto next = try_layer(registry, bytes->value, record.raw_data.size(), room);
        if (next && *next) {
            layer.link = LinkKind::Argument;
            layer.argument = index;
        }
        return next;
    };
    if (const WrapperRule* rule = rule_for(rules, *decoded.entry)) return follow(rule->cause);
    for (std::size_t i = 0; i < count; ++i) {
        auto next = follow(i);
        if (!next || *next) return next;
    }
    return std::nullopt;
}

/// A word as a size, or nullopt past `limit`.
std::optional<std::size_t> word_size(std::span<const std::uint8_t> word, std::size_t limit) {
    for (std::size_t i = 0; i < 24; ++i) {
        if (word[i] != 0) return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 24; i < 32; ++i)
        value = (value << 8) | word[i];
    if (value > limit) return std::nullopt;
    return static_cast<std::size_t>(value);
}

/// The bytes of an ABI-encoded `string` or `bytes` at the start of `payload` (its offset word,
/// then its length word and content), without copying; empty when they do not fit.
std::span<const std::uint8_t> text_bytes(std::span<const std::uint8_t> payload) {
    if (payload.size() < 32) return {};
    const auto offset = word_size(payload.first(32), payload.size());
    if (!offset || payload.size() - *offset < 32) return {};
    const auto rest = payload.subspan(*offset + 32);
    const auto length = word_size(payload.subspan(*offset, 32), rest.size());
    if (!length) return {};
    return rest.first(*length);
}

/// The next layer at the end of an Error(string) text: the longest tail, a selector and whole
/// words long, that decodes to a known revert.
std::expected<std::optional<ClassifiedRevert>, core::CoreError>
text_layer(const core::ErrorRegistry& registry, const ClassifiedRevert& decoded, std::size_t room,
           UnwrapLayer& layer) {
    const auto& raw = decoded.record.raw_data;
    // The text as bytes, read in place: the decoded message has had invalid UTF-8 replaced and
    // NULs trimmed.
    const auto text = text_bytes(std::span<const std::uint8_t>(raw).subspan(4));
    if (text.size() < 4) return std::nullopt;
    const std::span<const std::uint8_t> all = text;

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
        auto next = try_layer(registry, all.subspan(at), raw.size(), room);
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

/// The layer below `decoded`; how it was reached is written to `link`'s link fields.
std::expected<std::optional<ClassifiedRevert>, core::CoreError>
next_layer(const core::ErrorRegistry& registry, const WrapperRules& rules,
           const ClassifiedRevert& decoded, std::size_t room, UnwrapLayer& link) {
    if (!may_carry_revert(decoded)) return std::nullopt;
    if (std::holds_alternative<core::RevertString>(decoded.record.kind))
        return text_layer(registry, decoded, room, link);
    return argument_layer(registry, rules, decoded, room, link);
}

/// Room for the layers below an outer layer of `size` bytes.
std::size_t chain_room(std::size_t size) noexcept {
    return (kChainBytesFactor - 1) * size + kChainBytesSlack;
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
    std::size_t room = chain_room(outer.record.raw_data.size());
    chain.emplace_back().decoded = std::move(outer);
    while (chain.size() < kMaxUnwrapLayers) {
        auto next = next_layer(registry, rules, chain.back().decoded, room, chain.back());
        if (!next) return std::unexpected(std::move(next.error()));
        if (!*next) break;
        room -= (*next)->record.raw_data.size();
        chain.emplace_back().decoded = std::move(**next);
    }
    return chain;
}

std::expected<RootCause, core::CoreError> find_root_cause(const core::ErrorRegistry& registry,
                                                          const WrapperRules& rules,
                                                          const ClassifiedRevert& outer) {
    RootCause out;
    UnwrapLayer link;
    std::size_t room = chain_room(outer.record.raw_data.size());
    const ClassifiedRevert* current = &outer;
    while (out.depth + 1u < kMaxUnwrapLayers) {
        auto next = next_layer(registry, rules, *current, room, link);
        if (!next) return std::unexpected(std::move(next.error()));
        if (!*next) break;
        room -= (*next)->record.raw_data.size();
        // The layer above is no longer needed once the next one is decoded.
        out.root = std::move(**next);
        current = &*out.root;
        ++out.depth;
    }
    return out;
}

std::expected<UnwrapChain, core::CoreError>
unwrap_revert(const core::ErrorRegistry& registry, const WrapperRules& rules,
              std::span<const std::uint8_t> data, std::optional<core::ErrorContext> context) {
    auto outer = classify_revert(registry, data, std::move(context));
    if (!outer) return std::unexpected(std::move(outer.error()));
    return unwrap_decoded(registry, rules, std::move(*outer));
}

} // namespace kestrix::evm
