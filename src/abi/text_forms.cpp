// Decimal and hexadecimal text of decoded integers and addresses.
#include "abi/text_forms.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrix::abi {
namespace {

constexpr std::uint32_t kChunk = 1'000'000'000; // 10^9: nine decimal digits per division

/// Divides `value` by 10^9 in place and returns the remainder. Works on 32-bit halves so that
/// every partial dividend (remainder < 2^30, shifted by 32, plus a half) fits 64 bits.
std::uint32_t divide_by_chunk(U256& value) noexcept {
    std::uint64_t rem = 0;
    for (std::size_t limb = 4; limb-- > 0;) {
        std::uint64_t quotient = 0;
        for (int shift = 32; shift >= 0; shift -= 32) {
            const std::uint64_t cur = (rem << 32) | ((value.limbs[limb] >> shift) & 0xFFFFFFFFu);
            quotient |= (cur / kChunk) << shift;
            rem = cur % kChunk;
        }
        value.limbs[limb] = quotient;
    }
    return static_cast<std::uint32_t>(rem);
}

} // namespace

std::string format_uint_decimal(const U256& value) {
    if (value.is_zero()) return "0";
    // Collect the digits least significant first, then reverse: at most 78 digits.
    std::string reversed;
    reversed.reserve(81);
    U256 rest = value;
    while (!rest.is_zero()) {
        std::uint32_t chunk = divide_by_chunk(rest);
        for (int i = 0; i < 9; ++i) {
            reversed += static_cast<char>('0' + chunk % 10);
            chunk /= 10;
        }
    }
    while (reversed.size() > 1 && reversed.back() == '0')
        reversed.pop_back();
    return {reversed.rbegin(), reversed.rend()};
}

std::string format_int_decimal(const U256& value) {
    if (!value.sign_bit()) return format_uint_decimal(value);
    // The negation of the most negative value is itself, which read unsigned is 2^255: right.
    std::string out = "-";
    out += format_uint_decimal(value.negated());
    return out;
}

std::string format_address_hex(const std::array<std::uint8_t, 20>& address) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(42, '0');
    out[1] = 'x';
    char* next = out.data() + 2;
    for (const std::uint8_t b : address) {
        *next++ = kDigits[b >> 4];
        *next++ = kDigits[b & 0x0F];
    }
    return out;
}

} // namespace kestrix::abi
