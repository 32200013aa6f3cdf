#include "core/keccak.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

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
template <std::size_t Row>
[[gnu::always_inline]] inline std::array<std::uint64_t, 5>
rho_pi_row(const State& a, const std::uint64_t (&d)[5]) noexcept {
    constexpr auto& source = kSource[Row];
    constexpr auto& rotation = kRotation[Row];
    return {std::rotl(a[source[0]] ^ d[source[0] % 5], rotation[0]),
            std::rotl(a[source[1]] ^ d[source[1] % 5], rotation[1]),
            std::rotl(a[source[2]] ^ d[source[2] % 5], rotation[2]),
            std::rotl(a[source[3]] ^ d[source[3] % 5], rotation[3]),
            std::rotl(a[source[4]] ^ d[source[4] % 5], rotation[4])};
}

/// chi on one row: the only non-linear step.
template <std::size_t Row>
[[gnu::always_inline]] inline void chi_row(const std::array<std::uint64_t, 5>& b,
                                           State& e) noexcept {
    e[5 * Row + 0] = b[0] ^ (~b[1] & b[2]);
    e[5 * Row + 1] = b[1] ^ (~b[2] & b[3]);
    e[5 * Row + 2] = b[2] ^ (~b[3] & b[4]);
    e[5 * Row + 3] = b[3] ^ (~b[4] & b[0]);
    e[5 * Row + 4] = b[4] ^ (~b[0] & b[1]);
}

/// One round from state `a` into state `e`: theta, rho, pi, chi and iota.
[[gnu::always_inline]] inline void round(const State& a, State& e,
                                         std::uint64_t round_constant) noexcept {
    // theta: every lane absorbs the parities of two neighbouring columns.
    std::uint64_t column[5];
    for (std::size_t x = 0; x < 5; ++x)
        column[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
    const std::uint64_t d[5] = {
        column[4] ^ std::rotl(column[1], 1), column[0] ^ std::rotl(column[2], 1),
        column[1] ^ std::rotl(column[3], 1), column[2] ^ std::rotl(column[4], 1),
        column[3] ^ std::rotl(column[0], 1),
    };
    chi_row<0>(rho_pi_row<0>(a, d), e);
    chi_row<1>(rho_pi_row<1>(a, d), e);
    chi_row<2>(rho_pi_row<2>(a, d), e);
    chi_row<3>(rho_pi_row<3>(a, d), e);
    chi_row<4>(rho_pi_row<4>(a, d), e);
    // iota.
    e[0] ^= round_constant;
}

/// Keccak-f[1600]: 24 rounds over the 5x5 lanes (lane (x, y) at index x + 5y), alternating
/// between the state and a scratch copy so that no round overwrites a lane it still reads.
/// On x86-64 a second copy is compiled for processors with BMI1/BMI2 (and-not and
/// three-operand rotates save a fifth of the instructions); the loader picks one at start-up.
#if defined(__x86_64__) && defined(__ELF__)
[[gnu::target_clones("arch=x86-64-v3", "default")]]
#endif
void permute(State& a) noexcept {
    State e;
    for (std::size_t i = 0; i < kRoundConstants.size(); i += 2) {
        round(a, e, kRoundConstants[i]);
        round(e, a, kRoundConstants[i + 1]);
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
