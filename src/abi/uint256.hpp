#pragma once
/// A minimal 256-bit unsigned integer: just what decoding and the text forms need.

#include <array>
#include <cstdint>

namespace kestrix::abi {

/// 256-bit value in four 64-bit limbs, least significant first. Signed values are held in
/// two's complement and interpreted by the caller.
struct U256 {
    std::array<std::uint64_t, 4> limbs{};

    /// The 32 bytes as a big-endian number.
    [[nodiscard]] static U256 from_be_bytes(const std::uint8_t* word32) noexcept;
    [[nodiscard]] static constexpr U256 from_u64(std::uint64_t v) noexcept {
        return U256{{v, 0, 0, 0}};
    }

    [[nodiscard]] constexpr bool is_zero() const noexcept {
        return (limbs[0] | limbs[1] | limbs[2] | limbs[3]) == 0;
    }
    /// Bit 255: the sign of the value read as two's complement.
    [[nodiscard]] constexpr bool sign_bit() const noexcept { return (limbs[3] >> 63) != 0; }
    [[nodiscard]] constexpr bool fits_u64() const noexcept {
        return (limbs[1] | limbs[2] | limbs[3]) == 0;
    }
    [[nodiscard]] constexpr bool fits_u128() const noexcept { return (limbs[2] | limbs[3]) == 0; }
    /// Two's-complement negation (wrapping).
    [[nodiscard]] U256 negated() const noexcept;

    bool operator==(const U256&) const = default;
};

} // namespace kestrix::abi
