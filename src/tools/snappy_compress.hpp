#pragma once
/// The raw Snappy block format (Parquet's SNAPPY codec, without the framing format): the
/// uncompressed length as a varint, then literal and copy elements. The input is cut into
/// independent 64 KiB blocks so that every copy offset fits in two bytes.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrix::tools {

/// Largest compressed size of `size` input bytes (what the output buffer must hold).
[[nodiscard]] std::size_t snappy_max_compressed_size(std::size_t size) noexcept;

/// Writes the raw Snappy compression of `input` (< 2^32 bytes) at `out`, which holds at least
/// snappy_max_compressed_size(input.size()) bytes; returns the number of bytes written.
[[nodiscard]] std::size_t snappy_compress(std::span<const std::uint8_t> input,
                                          std::uint8_t* out) noexcept;

} // namespace kestrix::tools
