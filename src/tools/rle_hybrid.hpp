#pragma once
/// Parquet's RLE / bit-packing hybrid: runs of one repeated value as (count, value), everything
/// else bit-packed in groups of eight. Definition levels and dictionary indices use it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix::tools {

/// Bits needed for values up to `largest` (at least 1: a width of 0 is legal but not every
/// reader takes it).
[[nodiscard]] int bit_width_of(std::uint32_t largest) noexcept;

/// Appends the hybrid encoding of `values[0, count)`, each below 2^`bit_width` (1..32). A last
/// bit-packed group is padded with zeros; readers know the count from the page.
void rle_hybrid_encode(const std::uint32_t* values, std::size_t count, int bit_width,
                       std::vector<std::uint8_t>& out);
/// Appends one run of `count` copies of `value`.
void rle_hybrid_run(std::size_t count, std::uint32_t value, int bit_width,
                    std::vector<std::uint8_t>& out);
void rle_hybrid_encode(const std::uint8_t* values, std::size_t count, int bit_width,
                       std::vector<std::uint8_t>& out);

} // namespace kestrix::tools
