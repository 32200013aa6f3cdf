#pragma once
/// A keyed hash for the registry's hash maps, so that the bucket layout cannot be predicted
/// (and flooded) from outside the process.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrix::core {

/// A 128-bit SipHash key.
struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

/// The process-wide key, drawn from the operating system's random source on first use. If the
/// random source cannot be read, the key falls back to weaker process-local entropy; nothing
/// but hash-table layout depends on it.
[[nodiscard]] const HashKey& process_hash_key() noexcept;

/// SipHash with `CompressionRounds` rounds per 8-byte word and `FinalRounds` in finalisation.
template <int CompressionRounds, int FinalRounds>
[[nodiscard]] std::uint64_t siphash(const HashKey& key,
                                    std::span<const std::uint8_t> data) noexcept;

/// SipHash-1-3: the fast variant, ample for hash-table keys.
[[nodiscard]] inline std::uint64_t siphash13(const HashKey& key,
                                             std::span<const std::uint8_t> data) noexcept {
    return siphash<1, 3>(key, data);
}

extern template std::uint64_t siphash<1, 3>(const HashKey&, std::span<const std::uint8_t>) noexcept;
extern template std::uint64_t siphash<2, 4>(const HashKey&, std::span<const std::uint8_t>) noexcept;

} // namespace kestrix::core
