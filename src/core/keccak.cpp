#include "core/keccak.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace kestrix::core {

namespace {

/// Bytes absorbed per permutation: 1600 bits of state minus twice the 256-bit output.
constexpr std::size_t kRate = 136;
constexpr std::size_t kRateLanes = kRate / 8;

using State = std::array<std::uint64_t, 25>;

/// Four independent states side by side, one lane of each per vector element: the same
/// operations on four messages at once (AVX2 on x86-64-v3, two SSE2 halves otherwise).
using Lane4 = std::uint64_t __attribute__((vector_size(32)));
using State4 = std::array<Lane4, 25>;

/// Rotation left by a constant, in place; vectors have no rotate, so two shifts. (In place
/// because GCC warns about vector arguments and results of functions compiled without AVX,
/// even always-inlined ones.)
template <class Lane>
[[gnu::always_inline]] inline void rotate(Lane& x, int n) noexcept {
    if constexpr (std::is_same_v<Lane, std::uint64_t>) {
        x = std::rotl(x, n);
    } else if (n != 0) {
        x = (x << n) | (x >> (64 - n));
    }
}

constexpr std::array<std::uint64_t, 24> kRoundConstants = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

/// Where the lanes of one output row come from: after theta, lane x + 5y of the input moves to
/// position (y, 2x + 3y) while rotating (rho and pi), so output row r, column c reads input lane
/// kSource[r][c] rotated by kRotation[r][c]; chi then combines the five lanes of the row.
constexpr std::array<std::array<std::size_t, 5>, 5> kSource = {{
    {0, 6, 12, 18, 24},
    {3, 9, 10, 16, 22},
    {1, 7, 13, 19, 20},
    {4, 5, 11, 17, 23},
    {2, 8, 14, 15, 21},
}};
constexpr std::array<std::array<int, 5>, 5> kRotation = {{
    {0, 44, 43, 21, 14},
    {28, 20, 3, 45, 61},
    {1, 6, 25, 8, 18},
    {27, 36, 10, 15, 56},
    {62, 55, 39, 41, 2},
}};

/// The five lanes of output row `Row` after theta's column term, rho and pi. The constant
/// indexes let the compiler keep every lane in a register or a fixed stack slot: a loop over
/// tables of indexes stays rolled and indirect, which costs twice as many instructions.
template <std::size_t Row, class Lane>
[[gnu::always_inline]] inline std::array<Lane, 5> rho_pi_row(const std::array<Lane, 25>& a,
                                                             const Lane (&d)[5]) noexcept {
    constexpr auto& source = kSource[Row];
    constexpr auto& rotation = kRotation[Row];
    std::array<Lane, 5> b = {a[source[0]] ^ d[source[0] % 5], a[source[1]] ^ d[source[1] % 5],
                             a[source[2]] ^ d[source[2] % 5], a[source[3]] ^ d[source[3] % 5],
                             a[source[4]] ^ d[source[4] % 5]};
    rotate(b[0], rotation[0]);
    rotate(b[1], rotation[1]);
    rotate(b[2], rotation[2]);
    rotate(b[3], rotation[3]);
    rotate(b[4], rotation[4]);
    return b;
}

/// chi on one row: the only non-linear step.
template <std::size_t Row, class Lane>
[[gnu::always_inline]] inline void chi_row(const std::array<Lane, 5>& b,
                                           std::array<Lane, 25>& e) noexcept {
    e[5 * Row + 0] = b[0] ^ (~b[1] & b[2]);
    e[5 * Row + 1] = b[1] ^ (~b[2] & b[3]);
    e[5 * Row + 2] = b[2] ^ (~b[3] & b[4]);
    e[5 * Row + 3] = b[3] ^ (~b[4] & b[0]);
    e[5 * Row + 4] = b[4] ^ (~b[0] & b[1]);
}

/// One round from state `a` into state `e`: theta, rho, pi, chi and iota.
template <class Lane>
[[gnu::always_inline]] inline void round(const std::array<Lane, 25>& a, std::array<Lane, 25>& e,
                                         std::uint64_t round_constant) noexcept {
    // theta: every lane absorbs the parities of two neighbouring columns.
    Lane column[5];
    for (std::size_t x = 0; x < 5; ++x)
        column[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
    Lane d[5] = {column[1], column[2], column[3], column[4], column[0]};
    for (std::size_t x = 0; x < 5; ++x) {
        rotate(d[x], 1);
        d[x] ^= column[(x + 4) % 5];
    }
    chi_row<0>(rho_pi_row<0>(a, d), e);
    chi_row<1>(rho_pi_row<1>(a, d), e);
    chi_row<2>(rho_pi_row<2>(a, d), e);
    chi_row<3>(rho_pi_row<3>(a, d), e);
    chi_row<4>(rho_pi_row<4>(a, d), e);
    // iota.
    e[0] ^= round_constant;
}

/// The 24 rounds, alternating between the state and a scratch copy so that no round
/// overwrites a lane it still reads.
template <class Lane>
[[gnu::always_inline]] inline void permute_rounds(std::array<Lane, 25>& a) noexcept {
    std::array<Lane, 25> e;
    for (std::size_t i = 0; i < kRoundConstants.size(); i += 2) {
        round(a, e, kRoundConstants[i]);
        round(e, a, kRoundConstants[i + 1]);
    }
}

// Keccak-f[1600] over the 5x5 lanes (lane (x, y) at index x + 5y). On x86-64 a second copy
// of each is compiled for x86-64-v3 processors (BMI's and-not and three-operand rotates save a
// fifth of the scalar instructions; AVX2 handles four states per instruction); the loader picks
// one at start-up.
#if defined(__x86_64__) && defined(__ELF__)
#define KESTRIX_KECCAK_CLONES [[gnu::target_clones("arch=x86-64-v3", "default")]]
#else
#define KESTRIX_KECCAK_CLONES
#endif

/// Keccak-f[1600] on one state.
KESTRIX_KECCAK_CLONES void permute(State& a) noexcept {
    permute_rounds(a);
}

/// Keccak-f[1600] on four states at once.
KESTRIX_KECCAK_CLONES void permute4(State4& a) noexcept {
    permute_rounds(a);
}

#undef KESTRIX_KECCAK_CLONES

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

/// The last block of a message of fewer than kRate bytes: the message, the domain byte 0x01
/// right after it and 0x80 in the block's final byte (together 0x81 when they meet).
std::array<std::uint8_t, kRate> padded_block(std::span<const std::uint8_t> tail) noexcept {
    std::array<std::uint8_t, kRate> block{};
    if (!tail.empty()) std::memcpy(block.data(), tail.data(), tail.size());
    block[tail.size()] ^= 0x01;
    block[kRate - 1] ^= 0x80;
    return block;
}

/// The digest: the first four lanes, little-endian.
Digest squeeze(const std::array<std::uint64_t, 4>& lanes) noexcept {
    Digest digest;
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        std::uint64_t lane = lanes[i];
        if constexpr (std::endian::native == std::endian::big) lane = std::byteswap(lane);
        std::memcpy(digest.data() + 8 * i, &lane, sizeof lane);
    }
    return digest;
}

/// Four messages of fewer than kRate bytes each: one block apiece, one four-way permutation.
void keccak256_four_short(std::span<const std::span<const std::uint8_t>, 4> messages,
                          std::span<Digest, 4> digests) noexcept {
    State4 state{};
    for (std::size_t m = 0; m < 4; ++m) {
        const auto block = padded_block(messages[m]);
        for (std::size_t i = 0; i < kRateLanes; ++i)
            state[i][m] = load_lane(block.data() + 8 * i);
    }
    permute4(state);
    for (std::size_t m = 0; m < 4; ++m)
        digests[m] = squeeze({state[0][m], state[1][m], state[2][m], state[3][m]});
}

} // namespace

void keccak256_many(std::span<const std::span<const std::uint8_t>> messages,
                    std::span<Digest> digests) noexcept {
    const std::size_t count = std::min(messages.size(), digests.size());
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const auto group = messages.subspan(i).first<4>();
        const bool short_ones = std::ranges::all_of(
            group, [](std::span<const std::uint8_t> m) { return m.size() < kRate; });
        if (short_ones) {
            keccak256_four_short(group, digests.subspan(i).first<4>());
            continue;
        }
        for (std::size_t k = i; k < i + 4; ++k)
            digests[k] = keccak256(messages[k]);
    }
    for (; i < count; ++i)
        digests[i] = keccak256(messages[i]);
}

Digest keccak256(std::span<const std::uint8_t> data) noexcept {
    State state{};
    const std::uint8_t* next = data.data();
    std::size_t left = data.size();
    for (; left >= kRate; left -= kRate, next += kRate)
        absorb_block(state, next);

    // The last block holds the remaining 0..135 bytes and the padding; a message that fills
    // whole blocks gets a block of padding alone.
    absorb_block(state, padded_block({next, left}).data());
    return squeeze({state[0], state[1], state[2], state[3]});
}

} // namespace kestrix::core
