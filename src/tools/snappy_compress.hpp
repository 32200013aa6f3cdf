#pragma once
// PLACEHOLDER (uncommitted): replaced by the snappy branch.
#include <cstddef>
#include <cstdint>
#include <span>
namespace kestrix::tools {
[[nodiscard]] std::size_t snappy_max_compressed_size(std::size_t size) noexcept;
[[nodiscard]] std::size_t snappy_compress(std::span<const std::uint8_t> input,
                                          std::uint8_t* out) noexcept;
} // namespace kestrix::tools
