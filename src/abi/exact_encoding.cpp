// The exact-encoding check: whether data are the one canonical encoding of a parameter list.
// Every offset must point exactly where the canonical encoder puts its tail, every padding
// byte must be zero, every word must hold a value of its declared width, and the encoding must
// end exactly where the data end. It runs after the lenient decoder accepted the data, whose
// budgets bound every count read here by the data's length.
#include "abi/decode.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrix::abi {
namespace {

constexpr std::size_t kWord = 32;

/// Bytes a type occupies in the head of its enclosing block: one offset word for a dynamic
/// type, else every word of its value (for a static type the minimum is its exact size).
std::size_t head_bytes(const AbiType& type) noexcept {
    if (is_dynamic(type)) return kWord;
    const std::size_t words = minimum_words(type);
    return words > SIZE_MAX / kWord ? SIZE_MAX : words * kWord;
}

class Checker {
public:
    explicit Checker(std::span<const std::uint8_t> data) noexcept : data_(data) {}

    /// The bytes a block of `count` members (member i of type `type_at(i)`) occupies from `start`,
    /// or nullopt when it is not the canonical encoding.
    template <typename TypeAt>
    std::optional<std::size_t> block(std::size_t count, TypeAt type_at, std::size_t start) {
        std::size_t heads = 0;
        for (std::size_t i = 0; i < count; ++i)
            heads += head_bytes(type_at(i));
        if (heads > data_.size() - std::min(start, data_.size())) return std::nullopt;
        std::size_t head = start;
        std::size_t tail = start + heads;
        for (std::size_t i = 0; i < count; ++i) {
            const AbiType& type = type_at(i);
            if (is_dynamic(type)) {
                const auto offset = count_at(head);
                if (!offset || start + *offset != tail) return std::nullopt;
                const auto used = dynamic_value(type, tail);
                if (!used) return std::nullopt;
                tail += *used;
                head += kWord;
            } else {
                if (!static_value(type, head)) return std::nullopt;
                head += head_bytes(type);
            }
        }
        return tail - start;
    }

    [[nodiscard]] std::size_t size() const noexcept { return data_.size(); }

private:
    std::span<const std::uint8_t> data_;

    [[nodiscard]] bool has_word(std::size_t at) const noexcept {
        return at <= data_.size() && data_.size() - at >= kWord;
    }

    [[nodiscard]] bool zeros(std::size_t from, std::size_t to) const noexcept {
        return std::all_of(data_.begin() + static_cast<std::ptrdiff_t>(from),
                           data_.begin() + static_cast<std::ptrdiff_t>(to),
                           [](std::uint8_t b) { return b == 0; });
    }

    /// A length or offset word: its value when it fits in 64 bits.
    [[nodiscard]] std::optional<std::size_t> count_at(std::size_t at) const noexcept {
        if (!has_word(at) || !zeros(at, at + kWord - 8)) return std::nullopt;
        std::size_t value = 0;
        for (std::size_t i = at + kWord - 8; i < at + kWord; ++i)
            value = (value << 8) | data_[i];
        return value;
    }

    /// One word of a value type: only the bits its width allows are set.
    [[nodiscard]] bool word(const AbiType& type, std::size_t at) const noexcept {
        if (!has_word(at)) return false;
        switch (type.kind) {
        case AbiKind::Bool:
            return zeros(at, at + kWord - 1) && data_[at + kWord - 1] <= 1;
        case AbiKind::Uint:
            return zeros(at, at + kWord - type.size / 8);
        case AbiKind::Int: {
            // Sign extension: every byte above the width repeats the sign bit.
            const std::size_t first = at + kWord - type.size / 8;
            const std::uint8_t fill = (data_[first] & 0x80) != 0 ? 0xff : 0x00;
            return std::all_of(data_.begin() + static_cast<std::ptrdiff_t>(at),
                               data_.begin() + static_cast<std::ptrdiff_t>(first),
                               [fill](std::uint8_t b) { return b == fill; });
        }
        case AbiKind::FixedBytes:
            return zeros(at + type.size, at + kWord);
        case AbiKind::Address:
            return zeros(at, at + 12);
        case AbiKind::Function:
            return zeros(at + 24, at + kWord);
        case AbiKind::Bytes:
        case AbiKind::String:
        case AbiKind::Array:
        case AbiKind::FixedArray:
        case AbiKind::Tuple:
            break;
        }
        return false;
    }

    bool static_value(const AbiType& type, std::size_t at) {
        switch (type.kind) {
        case AbiKind::FixedArray: {
            const AbiType& element = type.children.front();
            return block(
                       type.size, [&](std::size_t) -> const AbiType& { return element; }, at)
                .has_value();
        }
        case AbiKind::Tuple:
            return block(
                       type.children.size(),
                       [&](std::size_t i) -> const AbiType& { return type.children[i]; }, at)
                .has_value();
        case AbiKind::Bool:
        case AbiKind::Int:
        case AbiKind::Uint:
        case AbiKind::FixedBytes:
        case AbiKind::Address:
        case AbiKind::Function:
        case AbiKind::Bytes:
        case AbiKind::String:
        case AbiKind::Array:
            break;
        }
        return word(type, at);
    }

    std::optional<std::size_t> dynamic_value(const AbiType& type, std::size_t at) {
        switch (type.kind) {
        case AbiKind::Bytes:
        case AbiKind::String: {
            const auto length = count_at(at);
            if (!length) return std::nullopt;
            const std::size_t left = data_.size() - at - kWord;
            if (*length > left) return std::nullopt;
            const std::size_t padded = (*length + kWord - 1) / kWord * kWord;
            if (padded > left || !zeros(at + kWord + *length, at + kWord + padded)) {
                return std::nullopt;
            }
            return kWord + padded;
        }
        case AbiKind::Array: {
            const auto count = count_at(at);
            if (!count || *count > data_.size()) return std::nullopt;
            const AbiType& element = type.children.front();
            const auto used =
                block(*count, [&](std::size_t) -> const AbiType& { return element; }, at + kWord);
            if (!used) return std::nullopt;
            return kWord + *used;
        }
        case AbiKind::FixedArray: {
            const AbiType& element = type.children.front();
            return block(type.size, [&](std::size_t) -> const AbiType& { return element; }, at);
        }
        case AbiKind::Tuple:
            return block(
                type.children.size(),
                [&](std::size_t i) -> const AbiType& { return type.children[i]; }, at);
        case AbiKind::Bool:
        case AbiKind::Int:
        case AbiKind::Uint:
        case AbiKind::FixedBytes:
        case AbiKind::Address:
        case AbiKind::Function:
            break;
        }
        return std::nullopt;
    }
};

} // namespace

bool is_exact_encoding(std::span<const AbiType> types,
                       std::span<const std::uint8_t> data) noexcept {
    Checker checker(data);
    const auto used =
        checker.block(types.size(), [&](std::size_t i) -> const AbiType& { return types[i]; }, 0);
    return used && *used == checker.size();
}

} // namespace kestrix::abi
