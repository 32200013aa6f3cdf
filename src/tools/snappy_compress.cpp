#include "tools/snappy_compress.hpp"

#include <cstring>
namespace kestrix::tools {
std::size_t snappy_max_compressed_size(std::size_t size) noexcept {
    return 32 + size + size / 6;
}
std::size_t snappy_compress(std::span<const std::uint8_t> input, std::uint8_t* out) noexcept {
    std::uint8_t* at = out;
    std::uint64_t n = input.size();
    while (n >= 0x80) {
        *at++ = static_cast<std::uint8_t>(n | 0x80);
        n >>= 7;
    }
    *at++ = static_cast<std::uint8_t>(n);
    std::size_t pos = 0;
    while (pos < input.size()) {
        std::size_t len = std::min<std::size_t>(65536, input.size() - pos);
        std::size_t m = len - 1;
        if (m < 60)
            *at++ = static_cast<std::uint8_t>(m << 2);
        else {
            *at++ = 61 << 2;
            *at++ = m & 0xff;
            *at++ = (m >> 8) & 0xff;
        }
        std::memcpy(at, input.data() + pos, len);
        at += len;
        pos += len;
    }
    return at - out;
}
} // namespace kestrix::tools
