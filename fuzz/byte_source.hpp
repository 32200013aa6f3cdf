#pragma once
/// The fuzzer's input read as a stream of choices, and the Arrow buffers built from them,
/// shared by the targets that build structured values.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix::fuzz {

/// Reads the fuzzer's bytes in order; zeros once they run out.
class ByteSource {
public:
    ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() noexcept { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() noexcept {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t u32() noexcept {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }
    /// `count` bytes, zeros past the end of the input.
    std::vector<std::uint8_t> bytes(std::size_t count) {
        std::vector<std::uint8_t> out(count);
        for (auto& b : out)
            b = byte();
        return out;
    }
    /// Up to `count` bytes: fewer when the input runs out.
    std::vector<std::uint8_t> take(std::size_t count) {
        std::vector<std::uint8_t> out;
        while (count-- > 0 && at_ < size_)
            out.push_back(data_[at_++]);
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

/// Appends Arrow offsets of width `Offset` (32 or 64 bits, as the layout has them).
template <typename Offset>
void put_offsets(std::vector<std::uint8_t>& out, const auto& bounds) {
    for (const std::int64_t bound : bounds) {
        const auto value = static_cast<Offset>(bound);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
        out.insert(out.end(), bytes, bytes + sizeof value);
    }
}

} // namespace kestrix::fuzz
