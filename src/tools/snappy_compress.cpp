#include "tools/snappy_compress.hpp"

#include <bit>
#include <cstring>

namespace kestrix::tools {

namespace {

/// Bytes per independent block: every offset within one is below 2^16.
constexpr std::size_t block_size = std::size_t{1} << 16;
/// Slots of the largest hash table (uint16 positions, 32 KiB on the stack).
constexpr int max_hash_bits = 14;
/// Bytes that stay unscanned at a block's end, so that 4- and 8-byte loads near the scan
/// position and the 16-byte copy of short literals never leave the block.
constexpr std::size_t input_margin = 15;
/// Blocks shorter than this are a single literal.
constexpr std::size_t min_block_to_scan = input_margin + 2;

/// The element tags (the low two bits of an element's first byte).
constexpr std::uint8_t tag_literal = 0;
constexpr std::uint8_t tag_copy_1 = 1;
constexpr std::uint8_t tag_copy_2 = 2;

std::uint32_t load32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

std::uint32_t hash_of(std::uint32_t bytes, int shift) noexcept {
    return (bytes * 0x1E35A7BDu) >> shift;
}

std::uint8_t* put_varint(std::uint8_t* op, std::uint32_t value) noexcept {
    while (value >= 0x80) {
        *op++ = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    *op++ = static_cast<std::uint8_t>(value);
    return op;
}

/// A literal of `length` (>= 1) bytes. `fast`: at least 16 bytes may be read at `from` and
/// written past the tag, so a short literal is one fixed-size copy.
std::uint8_t* put_literal(std::uint8_t* op, const std::uint8_t* from, std::size_t length,
                          bool fast) noexcept {
    const std::size_t n = length - 1;
    if (n < 60) {
        *op++ = static_cast<std::uint8_t>(tag_literal | (n << 2));
        if (fast && length <= 16) {
            std::memcpy(op, from, 16);
            return op + length;
        }
    } else {
        // 1 to 4 little-endian bytes of n follow a tag of 60 + (their count - 1).
        std::uint8_t* tag = op++;
        int count = 0;
        for (std::size_t rest = n; rest != 0; rest >>= 8, ++count)
            *op++ = static_cast<std::uint8_t>(rest);
        *tag = static_cast<std::uint8_t>(tag_literal | ((59 + count) << 2));
    }
    std::memcpy(op, from, length);
    return op + length;
}

/// One copy of 4..64 bytes at `offset` (< 2^16): copy-1 when it fits, else copy-2.
std::uint8_t* put_short_copy(std::uint8_t* op, std::size_t offset, std::size_t length) noexcept {
    if (length < 12 && offset < 2048) {
        *op++ = static_cast<std::uint8_t>(tag_copy_1 | ((length - 4) << 2) | ((offset >> 8) << 5));
        *op++ = static_cast<std::uint8_t>(offset);
    } else {
        *op++ = static_cast<std::uint8_t>(tag_copy_2 | ((length - 1) << 2));
        *op++ = static_cast<std::uint8_t>(offset);
        *op++ = static_cast<std::uint8_t>(offset >> 8);
    }
    return op;
}

/// A copy of `length` (>= 4) bytes at `offset`, in pieces of at most 64 bytes, none below 4.
std::uint8_t* put_copy(std::uint8_t* op, std::size_t offset, std::size_t length) noexcept {
    while (length >= 68) {
        op = put_short_copy(op, offset, 64);
        length -= 64;
    }
    if (length > 64) {
        op = put_short_copy(op, offset, 60);
        length -= 60;
    }
    return put_short_copy(op, offset, length);
}

/// How many bytes at `a` equal those at `b` (a < b), b not reaching past `end`.
std::size_t match_length(const std::uint8_t* a, const std::uint8_t* b,
                         const std::uint8_t* end) noexcept {
    const std::uint8_t* const start = b;
    while (end - b >= 8) {
        const std::uint64_t diff = load64(a) ^ load64(b);
        if (diff != 0)
            return static_cast<std::size_t>(b - start) +
                   static_cast<std::size_t>(std::countr_zero(diff) >> 3);
        a += 8;
        b += 8;
    }
    while (b < end && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<std::size_t>(b - start);
}

/// Compresses one block of at most block_size bytes to `op`; returns the end of its output.
std::uint8_t* compress_block(const std::uint8_t* const base, std::size_t size, std::uint8_t* op,
                             std::uint16_t* table) noexcept {
    const std::uint8_t* const end = base + size;
    const std::uint8_t* next_emit = base;
    if (size >= min_block_to_scan) {
        // A table about as large as the block: small blocks clear little.
        int bits = 8;
        while (bits < max_hash_bits && (std::size_t{1} << bits) < size)
            ++bits;
        const int shift = 32 - bits;
        std::memset(table, 0, sizeof(std::uint16_t) << bits);

        const std::uint8_t* const ip_limit = end - input_margin;
        const std::uint8_t* ip = base + 1;
        std::uint32_t next_hash = hash_of(load32(ip), shift);
        for (;;) {
            // Look for a 4-byte match, stepping further the longer nothing matches: one more
            // byte of step per 32 misses, so incompressible input is skimmed.
            std::uint32_t skip = 32;
            const std::uint8_t* next_ip = ip;
            const std::uint8_t* candidate;
            do {
                ip = next_ip;
                const std::uint32_t hash = next_hash;
                const std::uint32_t step = skip++ >> 5;
                // Compared as a distance: a pointer past the block's end may not even be formed.
                if (ip_limit - ip < step) goto remainder;
                next_ip = ip + step;
                next_hash = hash_of(load32(next_ip), shift);
                candidate = base + table[hash];
                table[hash] = static_cast<std::uint16_t>(ip - base);
            } while (load32(ip) != load32(candidate));

            op = put_literal(op, next_emit, static_cast<std::size_t>(ip - next_emit), true);
            // Copies follow one another as long as the bytes after each match matched earlier.
            std::uint32_t here;
            do {
                const std::size_t length = 4 + match_length(candidate + 4, ip + 4, end);
                op = put_copy(op, static_cast<std::size_t>(ip - candidate), length);
                ip += length;
                next_emit = ip;
                if (ip >= ip_limit) goto remainder;
                table[hash_of(load32(ip - 1), shift)] = static_cast<std::uint16_t>(ip - 1 - base);
                here = load32(ip);
                const std::uint32_t hash = hash_of(here, shift);
                candidate = base + table[hash];
                table[hash] = static_cast<std::uint16_t>(ip - base);
            } while (here == load32(candidate));
            next_hash = hash_of(load32(++ip), shift);
        }
    }
remainder:
    if (next_emit < end)
        op = put_literal(op, next_emit, static_cast<std::size_t>(end - next_emit), false);
    return op;
}

} // namespace

std::size_t snappy_max_compressed_size(std::size_t size) noexcept {
    // Literal runs cost at most 3 bytes of tag per 61 bytes, a copy never more than it covers,
    // plus the length's varint and the overrun of a short literal's fixed 16-byte copy.
    return 32 + size + size / 6;
}

std::size_t snappy_compress(std::span<const std::uint8_t> input, std::uint8_t* out) noexcept {
    std::uint16_t table[std::size_t{1} << max_hash_bits];
    std::uint8_t* op = put_varint(out, static_cast<std::uint32_t>(input.size()));
    for (std::size_t at = 0; at < input.size(); at += block_size) {
        const std::size_t size = input.size() - at < block_size ? input.size() - at : block_size;
        op = compress_block(input.data() + at, size, op, table);
    }
    return static_cast<std::size_t>(op - out);
}

} // namespace kestrix::tools
