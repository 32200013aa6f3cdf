#include "abi/uint256.hpp"

#include <bit>
#include <cstring>

namespace kestrix::abi {

U256 U256::from_be_bytes(const std::uint8_t* word32) noexcept {
    // Each limb is eight big-endian bytes: one load and, on little-endian hosts, one swap.
    U256 out;
    for (std::size_t limb = 0; limb < 4; ++limb) {
        std::uint64_t v;
        std::memcpy(&v, word32 + 32 - 8 * (limb + 1), sizeof v);
        if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
        out.limbs[limb] = v;
    }
    return out;
}

U256 U256::negated() const noexcept {
    U256 out;
    std::uint64_t carry = 1;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint64_t inv = ~limbs[i];
        out.limbs[i] = inv + carry;
        carry = (carry != 0 && out.limbs[i] == 0) ? 1 : 0;
    }
    return out;
}

} // namespace kestrix::abi
