#pragma once
/// The dictionary of a Parquet column chunk: its distinct values in order of first appearance,
/// PLAIN-encoded as the dictionary page stores them, found again through an open-addressing
/// index. Plain C++; the caller hashes the values.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace kestrix::tools {

template <typename Word>
[[nodiscard]] inline Word load_word(const std::uint8_t* at) noexcept {
    Word value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

/// Whether two byte strings of `size` bytes are equal: short ones without a call to memcmp.
[[nodiscard]] inline bool same_bytes(const std::uint8_t* a, const std::uint8_t* b,
                                     std::size_t size) noexcept {
    if (size >= 8) {
        for (std::size_t at = 0; at + 8 < size; at += 8)
            if (load_word<std::uint64_t>(a + at) != load_word<std::uint64_t>(b + at)) return false;
        return load_word<std::uint64_t>(a + size - 8) == load_word<std::uint64_t>(b + size - 8);
    }
    if (size >= 4)
        return load_word<std::uint32_t>(a) == load_word<std::uint32_t>(b) &&
               load_word<std::uint32_t>(a + size - 4) == load_word<std::uint32_t>(b + size - 4);
    for (std::size_t at = 0; at < size; ++at)
        if (a[at] != b[at]) return false;
    return true;
}

/// The distinct values of a column chunk in order of first appearance, PLAIN-encoded as the
/// dictionary page stores them, with an open-addressing index over them.
class ValueDictionary {
public:
    /// `max_bytes`: the size past which the caller stops adding values; the index grows no
    /// further than that many values need (past it, a fuller index only probes longer).
    explicit ValueDictionary(std::size_t width,
                             std::size_t max_bytes = std::numeric_limits<std::uint32_t>::max())
        : width_(width), max_slots_(std::bit_ceil(2 * (max_bytes / (width == 0 ? 4 : width) + 1))) {
    }

    /// The index of the value (inserted if new) and whether it was new. A value is looked for
    /// within kMaxProbes slots of its hash: colliding values (crafted ones, say) cost a bounded
    /// search each, and one not found there is added again, as a dictionary page allows.
    [[gnu::always_inline]] std::pair<std::uint32_t, bool>
    insert(const std::uint8_t* data, std::size_t size, std::uint64_t hash) {
        if ((count_ + 1) * 2 > slots_.size() && slots_.size() < max_slots_) [[unlikely]]
            grow();
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        std::size_t at = static_cast<std::size_t>(hash) & mask_;
        std::uint64_t* free = nullptr;
        for (std::size_t probe = 0; probe < kMaxProbes; ++probe, at = (at + 1) & mask_) {
            const std::uint64_t slot = slots_[at];
            if (slot == 0) {
                free = &slots_[at];
                break;
            }
            if (static_cast<std::uint32_t>(slot >> 32) == tag) {
                const auto index = static_cast<std::uint32_t>(slot) - 1;
                if (equals(index, data, size)) return {index, false};
            }
        }
        const auto index = static_cast<std::uint32_t>(count());
        if (width_ == 0) {
            const auto length = static_cast<std::uint32_t>(size);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&length);
            plain_.insert(plain_.end(), bytes, bytes + 4);
        }
        starts_.push_back(static_cast<std::uint32_t>(plain_.size()));
        hashes_.push_back(hash);
        plain_.insert(plain_.end(), data, data + size);
        ++count_;
        if (free != nullptr) *free = std::uint64_t{tag} << 32 | (index + 1);
        return {index, true};
    }

    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] const std::vector<std::uint8_t>& plain() const noexcept { return plain_; }

    /// Frees the index, for a dictionary that takes no more values (its column chunk gave way
    /// to plain pages) but whose page is still to be written: the index of a million distinct
    /// values is several times their bytes. `insert` is not called again before `clear`.
    void drop_index() noexcept {
        std::vector<std::uint32_t>().swap(starts_);
        std::vector<std::uint64_t>().swap(hashes_);
        std::vector<std::uint64_t>().swap(slots_);
        mask_ = 0;
    }

    void clear() noexcept {
        count_ = 0;
        plain_.clear();
        starts_.clear();
        hashes_.clear();
        std::fill(slots_.begin(), slots_.end(), 0);
    }

private:
    [[nodiscard]] bool equals(std::uint32_t index, const std::uint8_t* data,
                              std::size_t size) const noexcept {
        const std::uint8_t* stored = plain_.data() + starts_[index];
        if (width_ == 8) return load_word<std::uint64_t>(stored) == load_word<std::uint64_t>(data);
        if (width_ == 4) return load_word<std::uint32_t>(stored) == load_word<std::uint32_t>(data);
        return load_word<std::uint32_t>(stored - 4) == size && same_bytes(stored, data, size);
    }

    [[gnu::noinline]] void grow() {
        const std::size_t size = std::max<std::size_t>(1024, slots_.size() * 2);
        slots_.assign(size, 0);
        mask_ = size - 1;
        for (std::size_t index = 0; index < hashes_.size(); ++index) {
            const std::uint64_t hash = hashes_[index];
            std::size_t at = static_cast<std::size_t>(hash) & mask_;
            for (std::size_t probe = 0; probe < kMaxProbes; ++probe, at = (at + 1) & mask_) {
                if (slots_[at] == 0) {
                    slots_[at] = (hash >> 32) << 32 | (index + 1);
                    break;
                }
            }
        }
    }

    static constexpr std::size_t kMaxProbes = 32;

    std::size_t width_; ///< bytes of a fixed-width value; 0 for byte arrays
    std::vector<std::uint8_t> plain_;
    std::vector<std::uint32_t> starts_; ///< where each value's bytes start in plain_
    std::vector<std::uint64_t> hashes_;
    std::vector<std::uint64_t> slots_; ///< (hash's high half << 32) | (index + 1); 0: empty
    std::size_t mask_ = 0;
    std::size_t max_slots_;
    std::size_t count_ = 0;
};

} // namespace kestrix::tools
