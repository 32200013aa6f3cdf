#include "tools/rle_hybrid.hpp"

#include <bit>

namespace kestrix::tools {

namespace {

void put_varint(std::uint64_t value, std::vector<std::uint8_t>& out) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

template <typename Value>
void put_repeated(Value value, std::size_t count, int bit_width, std::vector<std::uint8_t>& out) {
    put_varint(static_cast<std::uint64_t>(count) << 1, out);
    for (int shift = 0; shift < bit_width; shift += 8)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> shift));
}

/// Bit-packs `count` values (LSB first), padding the last group of eight with zeros.
template <typename Value>
void put_packed(const Value* values, std::size_t count, int bit_width,
                std::vector<std::uint8_t>& out) {
    const std::size_t groups = (count + 7) / 8;
    put_varint(static_cast<std::uint64_t>(groups) << 1 | 1, out);
    const std::size_t start = out.size();
    out.resize(start + groups * static_cast<std::size_t>(bit_width));
    std::uint8_t* at = out.data() + start;
    std::uint64_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < groups * 8; ++i) {
        const std::uint64_t value = i < count ? static_cast<std::uint32_t>(values[i]) : 0;
        bits |= value << held;
        held += bit_width;
        while (held >= 8) {
            *at++ = static_cast<std::uint8_t>(bits);
            bits >>= 8;
            held -= 8;
        }
    }
}

/// Runs of eight or more equal values become repeated runs; the values between them are packed
/// (every packed stretch but the last a whole number of groups, so the runs stay aligned).
template <typename Value>
void encode(const Value* values, std::size_t count, int bit_width, std::vector<std::uint8_t>& out) {
    std::size_t literal = 0; // first value not yet written
    std::size_t i = 0;
    while (i < count) {
        std::size_t end = i + 1;
        while (end < count && values[end] == values[i])
            ++end;
        const std::size_t pad = (8 - (i - literal) % 8) % 8;
        if (end - i >= pad + 8) {
            if (i + pad > literal) put_packed(values + literal, i + pad - literal, bit_width, out);
            put_repeated(values[i], end - i - pad, bit_width, out);
            literal = end;
        }
        i = end;
    }
    if (literal < count) put_packed(values + literal, count - literal, bit_width, out);
}

} // namespace

int bit_width_of(std::uint32_t largest) noexcept {
    return largest == 0 ? 1 : static_cast<int>(std::bit_width(largest));
}

void rle_hybrid_encode(const std::uint32_t* values, std::size_t count, int bit_width,
                       std::vector<std::uint8_t>& out) {
    encode(values, count, bit_width, out);
}

void rle_hybrid_run(std::size_t count, std::uint32_t value, int bit_width,
                    std::vector<std::uint8_t>& out) {
    if (count > 0) put_repeated(value, count, bit_width, out);
}

void rle_hybrid_encode(const std::uint8_t* values, std::size_t count, int bit_width,
                       std::vector<std::uint8_t>& out) {
    encode(values, count, bit_width, out);
}

} // namespace kestrix::tools
