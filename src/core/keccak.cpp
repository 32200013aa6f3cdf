#include "core/keccak.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

namespace kestrix::core {

namespace {

/// Bytes absorbed per permutation: 1600 bits of state minus twice the 256-bit output.
constexpr std::size_t kRate = 136;
constexpr std::size_t kRateLanes = kRate / 8;

using State = std::array<std::uint64_t, 25>;

constexpr std::array<std::uint64_t, 24> kRoundConstants = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// The rho and pi steps together move each lane to its pi position while rotating it. Walking
// the single 24-lane cycle of pi starting at lane 1 lets this happen in place with one
// temporary: kPiLane[i] is the i-th lane of the cycle, kRhoShift[i] the rotation it receives.
constexpr std::array<int, 24> kRhoShift = {1,  3,  6,  10, 15, 21, 28, 36, 45, 55, 2,  14,
                                           27, 41, 56, 8,  25, 43, 62, 18, 39, 61, 20, 44};
constexpr std::array<std::size_t, 24> kPiLane = {10, 7,  11, 17, 18, 3, 5,  16, 8,  21, 24, 4,
                                                 15, 23, 19, 13, 12, 2, 20, 14, 22, 9,  6,  1};

/// rho and pi, expanded into 24 moves with constant lane indexes: compilers keep the
/// equivalent loop rolled, with indirect indexing, which doubles the cost of the permutation.
template <std::size_t... I>
void rho_pi(State& a, std::index_sequence<I...>) noexcept {
    std::uint64_t carried = a[1];
    std::uint64_t displaced;
    ((displaced = a[kPiLane[I]], a[kPiLane[I]] = std::rotl(carried, kRhoShift[I]),
      carried = displaced),
     ...);
}

/// Keccak-f[1600]: 24 rounds of theta, rho, pi, chi and iota over the 5x5 lanes
/// (lane (x, y) at index x + 5y).
void permute(State& a) noexcept {
    for (const std::uint64_t round_constant : kRoundConstants) {
        // theta: every lane absorbs the parities of two neighbouring columns.
        std::uint64_t column[5];
        for (std::size_t x = 0; x < 5; ++x) {
            column[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
        }
        for (std::size_t x = 0; x < 5; ++x) {
            const std::uint64_t d = column[(x + 4) % 5] ^ std::rotl(column[(x + 1) % 5], 1);
            for (std::size_t y = 0; y < 25; y += 5)
                a[y + x] ^= d;
        }

        rho_pi(a, std::make_index_sequence<24>{});

        // chi: the only non-linear step, row by row.
        for (std::size_t y = 0; y < 25; y += 5) {
            const std::uint64_t row[5] = {a[y], a[y + 1], a[y + 2], a[y + 3], a[y + 4]};
            for (std::size_t x = 0; x < 5; ++x) {
                a[y + x] = row[x] ^ (~row[(x + 1) % 5] & row[(x + 2) % 5]);
            }
        }

        // iota.
        a[0] ^= round_constant;
    }
}

/// Lanes are little-endian whatever the host order.
std::uint64_t load_lane(const std::uint8_t* bytes) noexcept {
    std::uint64_t lane;
    std::memcpy(&lane, bytes, sizeof lane);
    if constexpr (std::endian::native == std::endian::big) lane = std::byteswap(lane);
    return lane;
}

void absorb_block(State& state, const std::uint8_t* block) noexcept {
    for (std::size_t i = 0; i < kRateLanes; ++i)
        state[i] ^= load_lane(block + 8 * i);
    permute(state);
}

} // namespace

Digest keccak256(std::span<const std::uint8_t> data) noexcept {
    State state{};
    const std::uint8_t* next = data.data();
    std::size_t left = data.size();
    for (; left >= kRate; left -= kRate, next += kRate)
        absorb_block(state, next);

    // The last block holds the remaining 0..135 bytes and the padding: the domain byte 0x01
    // right after the message and 0x80 in the block's final byte (together 0x81 when they
    // meet). A message that fills whole blocks gets a block of padding alone.
    std::array<std::uint8_t, kRate> last{};
    if (left != 0) std::memcpy(last.data(), next, left);
    last[left] ^= 0x01;
    last[kRate - 1] ^= 0x80;
    absorb_block(state, last.data());

    Digest digest;
    for (std::size_t i = 0; i < digest.size() / 8; ++i) {
        std::uint64_t lane = state[i];
        if constexpr (std::endian::native == std::endian::big) lane = std::byteswap(lane);
        std::memcpy(digest.data() + 8 * i, &lane, sizeof lane);
    }
    return digest;
}

} // namespace kestrix::core
