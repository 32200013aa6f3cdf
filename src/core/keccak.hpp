#pragma once
/// Keccak-256 with the original Keccak padding (domain byte 0x01), as Ethereum uses for
/// selectors; not SHA3-256.

#include <array>
#include <cstdint>
#include <span>

namespace kestrix::core {

using Digest = std::array<std::uint8_t, 32>;

/// The 32-byte Keccak-256 digest of `data`; works on a fixed state, never allocates.
[[nodiscard]] Digest keccak256(std::span<const std::uint8_t> data) noexcept;

} // namespace kestrix::core
