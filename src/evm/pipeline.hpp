#pragma once
/// The revert classification pipeline.

#include "core/records.hpp"
#include "core/registry.hpp"
#include "evm/outcome.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

namespace kestrix::evm {

inline constexpr core::Selector kErrorStringSelector{0x08, 0xc3, 0x79, 0xa0};
inline constexpr core::Selector kPanicSelector{0x4e, 0x48, 0x7b, 0x71};

/// Classifies revert data: empty, Error(string), Panic(uint256), a registry custom error, or
/// raw data nothing explains. Total: every byte string yields a record; the context is only
/// carried into it.
[[nodiscard]] std::expected<core::DecodedError, core::CoreError>
decode_revert(const core::ErrorRegistry& registry, std::span<const std::uint8_t> data,
              std::optional<core::ErrorContext> context);

/// A record and, for a custom error, the registry entry that explained it.
struct ClassifiedRevert {
    core::DecodedError record;
    const core::RegisteredError* entry = nullptr;
};

/// decode_revert, also naming the entry taken.
[[nodiscard]] std::expected<ClassifiedRevert, core::CoreError>
classify_revert(const core::ErrorRegistry& registry, std::span<const std::uint8_t> data,
                std::optional<core::ErrorContext> context);

/// The RawRevert outcome for data nothing explained, with the unknown-selector suggestion.
[[nodiscard]] Outcome unknown_selector_result(std::span<const std::uint8_t> data);

} // namespace kestrix::evm
