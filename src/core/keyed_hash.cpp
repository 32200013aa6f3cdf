#include "core/keyed_hash.hpp"

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace kestrix::core {

namespace {

/// Fills `out` from getrandom(2), or from /dev/urandom where the call is unavailable.
bool read_os_random(std::uint8_t* out, std::size_t size) noexcept {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled == size) return true;

    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, out + filled, size - filled);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return filled == size;
}

HashKey draw_key() noexcept {
    std::uint8_t bytes[16];
    HashKey key;
    if (read_os_random(bytes, sizeof bytes)) {
        std::memcpy(&key.k0, bytes, 8);
        std::memcpy(&key.k1, bytes + 8, 8);
        return key;
    }
    // No random source: mix the clock and an address (ASLR) so the key still differs between
    // processes. Hash-flooding resistance is weaker then, but lookups stay correct.
    const auto ticks = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    key.k0 = ticks * 0x9e3779b97f4a7c15ULL;
    key.k1 = reinterpret_cast<std::uintptr_t>(&key) ^ std::rotl(ticks, 29) ^ ::getpid();
    return key;
}

std::uint64_t load_le64(const std::uint8_t* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    return word;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    template <int Rounds>
    void compress(std::uint64_t word) noexcept {
        v3 ^= word;
        for (int i = 0; i < Rounds; ++i)
            round();
        v0 ^= word;
    }
};

} // namespace

const HashKey& process_hash_key() noexcept {
    static const HashKey key = draw_key();
    return key;
}

template <int CompressionRounds, int FinalRounds>
std::uint64_t siphash(const HashKey& key, std::span<const std::uint8_t> data) noexcept {
    SipState s{0x736f6d6570736575ULL ^ key.k0, 0x646f72616e646f6dULL ^ key.k1,
               0x6c7967656e657261ULL ^ key.k0, 0x7465646279746573ULL ^ key.k1};
    const std::size_t whole = data.size() & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8)
        s.compress<CompressionRounds>(load_le64(data.data() + i));

    // The last word carries the remaining bytes and the length's low byte at the top.
    std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
    for (std::size_t i = whole; i < data.size(); ++i)
        last |= static_cast<std::uint64_t>(data[i]) << (8 * (i - whole));
    s.compress<CompressionRounds>(last);

    s.v2 ^= 0xff;
    for (int i = 0; i < FinalRounds; ++i)
        s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t siphash<1, 3>(const HashKey&, std::span<const std::uint8_t>) noexcept;
template std::uint64_t siphash<2, 4>(const HashKey&, std::span<const std::uint8_t>) noexcept;

} // namespace kestrix::core
