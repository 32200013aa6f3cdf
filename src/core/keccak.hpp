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

/// The digests of several messages, digests[i] of messages[i] (as many as both spans hold).
/// Messages shorter than one block (136 bytes), such as error signatures, are hashed four at
/// a time, which costs about a third of four separate digests.
void keccak256_many(std::span<const std::span<const std::uint8_t>> messages,
                    std::span<Digest> digests) noexcept;

} // namespace kestrix::core
