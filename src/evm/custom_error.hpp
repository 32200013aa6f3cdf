#pragma once
/// Custom errors: registry candidates for a selector, decoded into named inputs.

#include "abi/decode.hpp"
#include "core/records.hpp"
#include "core/registry.hpp"
#include "evm/outcome.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace kestrix::evm {

/// Tries the registry's candidates for `selector` in order; the first whose parameters decode
/// from `payload` (exactly, for an entry that asks for it) gives a CustomError, and the later
/// candidates its registry offers that also decode are its alternatives. nullopt when none does.
[[nodiscard]] std::optional<CustomOutcome>
decode_custom_error(const core::ErrorRegistry& registry, const core::Selector& selector,
                    std::span<const std::uint8_t> payload);

/// The same, with the registry entry that was taken (for its signature and parameter types).
[[nodiscard]] std::optional<std::pair<Outcome, const core::RegisteredError*>>
decode_custom_error_entry(const core::ErrorRegistry& registry, const core::Selector& selector,
                          std::span<const std::uint8_t> payload);

/// The result form of one decoded argument.
[[nodiscard]] core::InputValue to_input_value(const abi::AbiValue& value);

} // namespace kestrix::evm
