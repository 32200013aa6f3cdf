/// The Snappy compressor round trip: any input, compressed into a buffer of exactly
/// snappy_max_compressed_size bytes, must decompress to itself with a strict decompressor
/// written here from the block format (every length and offset checked against its bounds),
/// which also refuses the elements the compressor never writes: empty or over-long copies,
/// copy-4, and offsets reaching back before the copy's 64 KiB block.

#include "fuzz_checks.hpp"
#include "tools/snappy_compress.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace {

using kestrix::fuzz::check;

/// Reads the compressed bytes, failing the run on any element out of bounds.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint8_t byte() {
        check(at_ < bytes_.size(), "compressed data ends inside an element");
        return bytes_[at_++];
    }
    std::uint32_t little_endian(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value |= std::uint32_t{byte()} << (8 * i);
        return value;
    }
    std::span<const std::uint8_t> take(std::size_t count) {
        check(count <= bytes_.size() - at_, "a literal runs past the compressed data");
        const auto part = bytes_.subspan(at_, count);
        at_ += count;
        return part;
    }
    [[nodiscard]] bool done() const { return at_ == bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> compressed) {
    Reader in(compressed);
    std::uint64_t expected = 0;
    for (int shift = 0;; shift += 7) {
        check(shift <= 28, "the length varint is longer than 5 bytes");
        const std::uint8_t b = in.byte();
        expected |= std::uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0) break;
    }
    check(expected < (std::uint64_t{1} << 32), "the length is 2^32 or more");
    std::vector<std::uint8_t> out;
    out.reserve(expected);
    while (!in.done()) {
        const std::uint8_t tag = in.byte();
        const std::size_t upper = tag >> 2;
        switch (tag & 3) {
        case 0: {
            std::size_t length = upper + 1;
            if (upper >= 60) {
                const int count = static_cast<int>(upper) - 59;
                length = std::size_t{in.little_endian(count)} + 1;
                check(length > 60, "a long literal's length fits in its tag");
                check(count == 1 || (length - 1) >> (8 * (count - 1)) != 0,
                      "a long literal's length has a needless zero byte");
            }
            check(length <= expected - out.size(), "a literal overruns the length");
            const auto part = in.take(length);
            out.insert(out.end(), part.begin(), part.end());
            break;
        }
        case 1:
        case 2: {
            std::size_t length;
            std::size_t offset;
            if ((tag & 3) == 1) {
                length = 4 + (upper & 7);
                offset = ((upper >> 3) << 8) | in.byte();
            } else {
                length = upper + 1;
                offset = in.little_endian(2);
                check(length >= 4, "a copy shorter than 4 bytes");
            }
            check(offset != 0, "a copy at offset 0");
            check(offset <= out.size() % 65536, "a copy reaches before its block");
            check(length <= expected - out.size(), "a copy overruns the length");
            check(out.size() / 65536 == (out.size() + length - 1) / 65536,
                  "a copy crosses into the next block");
            const std::size_t from = out.size() - offset;
            for (std::size_t i = 0; i < length; ++i)
                out.push_back(out[from + i]);
            break;
        }
        case 3:
            check(false, "a copy-4 element in 64 KiB blocks");
            break;
        }
    }
    check(out.size() == expected, "the elements fall short of the length");
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const std::size_t bound = kestrix::tools::snappy_max_compressed_size(size);
    // Exactly the bound, on the heap, so that the sanitizer sees any write past it.
    std::vector<std::uint8_t> compressed(bound);
    const std::size_t written = kestrix::tools::snappy_compress(input, compressed.data());
    check(written <= bound, "the compressed size exceeds the bound");
    compressed.resize(written);
    const std::vector<std::uint8_t> back = decompress(compressed);
    check(back.size() == size && (size == 0 || std::memcmp(back.data(), data, size) == 0),
          "the round trip changes the bytes");
    return 0;
}
