#pragma once
/// Wrapped reverts: an error that carries the revert it caught, followed down to the root cause.

#include "core/records.hpp"
#include "core/registry.hpp"
#include "evm/pipeline.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrix::evm {

/// No chain holds more layers than this (the outermost included).
inline constexpr std::size_t kMaxUnwrapLayers = 16;

/// The layers of a chain hold together at most this many times the outer layer's bytes, plus
/// the slack: every layer keeps its own copy of its bytes, so this bounds a chain's memory to a
/// few decodes of the input, whatever the nesting. Small chains never come near it.
inline constexpr std::size_t kChainBytesFactor = 4;
inline constexpr std::size_t kChainBytesSlack = 64 * 1024;

/// What is known about one wrapper error: the parameter that holds the revert it caught.
struct WrapperRule {
    core::Selector selector{};
    /// Canonical signature; a rule applies to an entry with exactly this signature.
    std::string signature;
    std::size_t cause = 0;
};

/// The rules of the known wrappers; an error without one has its first `bytes` parameter that
/// holds a known revert followed.
using WrapperRules = std::vector<WrapperRule>;

/// How a layer leads to the next one.
enum class LinkKind : std::uint8_t {
    /// The last layer.
    None,
    /// A `bytes` argument of a custom error, at `argument`.
    Argument,
    /// The end of an Error(string) text, from byte `text_offset` of the text on.
    Text,
};

/// One decoded revert of a chain.
struct UnwrapLayer {
    ClassifiedRevert decoded;
    LinkKind link = LinkKind::None;
    std::size_t argument = 0;
    std::size_t text_offset = 0;
    /// For LinkKind::Text: the text before the carried revert, as UTF-8.
    std::string readable;
};

/// The chain, outermost first; never empty.
using UnwrapChain = std::vector<UnwrapLayer>;

/// Decodes `data` and every revert it carries, outermost first. A layer is a `bytes` argument
/// of a custom error, or the end of an Error(string) text, that decodes to Error(string), Panic
/// or a registry error; unknown and empty data end the chain. Each layer is shorter than its
/// parent, there are at most kMaxUnwrapLayers and their bytes stay within kChainBytesFactor
/// times the data plus kChainBytesSlack, so work and memory are linear in the data.
[[nodiscard]] std::expected<UnwrapChain, core::CoreError>
unwrap_revert(const core::ErrorRegistry& registry, const WrapperRules& rules,
              std::span<const std::uint8_t> data, std::optional<core::ErrorContext> context);

/// Whether a decoded outer layer could lead anywhere: a custom error with a `bytes` parameter,
/// or an Error(string). False lets a caller skip unwrap_revert's search.
[[nodiscard]] bool may_carry_revert(const ClassifiedRevert& decoded) noexcept;

/// Follows the chain below an already decoded outer layer: the same as unwrap_revert, without
/// decoding the outer layer again.
[[nodiscard]] std::expected<UnwrapChain, core::CoreError>
unwrap_decoded(const core::ErrorRegistry& registry, const WrapperRules& rules,
               ClassifiedRevert outer);

/// The root cause below an already decoded outer layer, keeping one layer at a time: what a
/// bulk row needs. `root` is nullopt when the outer layer is its own root (depth 0).
struct RootCause {
    std::optional<ClassifiedRevert> root;
    std::uint8_t depth = 0;
};

/// The last layer unwrap_decoded would give, and its depth, without keeping the layers between.
/// Call it only when may_carry_revert(outer) holds; otherwise the answer is depth 0.
[[nodiscard]] std::expected<RootCause, core::CoreError>
find_root_cause(const core::ErrorRegistry& registry, const WrapperRules& rules,
                const ClassifiedRevert& outer);

} // namespace kestrix::evm
