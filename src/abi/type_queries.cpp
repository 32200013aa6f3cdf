// Structural queries on types that value decoding relies on before reading any data.
#include "abi/types.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace kestrix::abi {
namespace {

constexpr std::size_t kSaturated = std::numeric_limits<std::size_t>::max();

// Saturating, so that an absurd fixed-array length can never wrap around to a small count
// and slip past the data-length check.
std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
    return a > kSaturated - b ? kSaturated : a + b;
}
std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
    if (a == 0 || b == 0) return 0;
    return a > kSaturated / b ? kSaturated : a * b;
}

HeadWords words_of(const AbiType& type) noexcept;

} // namespace

HeadWords head_words(std::span<const AbiType> types) noexcept {
    HeadWords sum;
    for (const AbiType& type : types) {
        const HeadWords words = words_of(type);
        sum.minimum = saturating_add(sum.minimum, words.minimum);
        sum.backing = saturating_add(sum.backing, words.backing);
    }
    return sum;
}

namespace {

/// Words of `type` counted as if every member stood in place.
HeadWords words_of(const AbiType& type) noexcept {
    switch (type.kind) {
    case AbiKind::FixedArray: {
        const HeadWords element = words_of(type.children.front());
        return {saturating_mul(type.size, element.minimum),
                saturating_mul(type.size, std::max<std::size_t>(element.backing, 1))};
    }
    case AbiKind::Tuple:
        return head_words(type.children);
    case AbiKind::Bool:
    case AbiKind::Int:
    case AbiKind::Uint:
    case AbiKind::FixedBytes:
    case AbiKind::Address:
    case AbiKind::Function:
    case AbiKind::Bytes:
    case AbiKind::String:
    case AbiKind::Array:
        return {1, 1};
    }
    return {1, 1};
}

} // namespace

std::size_t minimum_words(const AbiType& type) noexcept {
    return words_of(type).minimum;
}

std::size_t backing_words(const AbiType& type) noexcept {
    return words_of(type).backing;
}

bool is_zero_sized(const AbiType& type) noexcept {
    switch (type.kind) {
    case AbiKind::Array:
        return is_zero_sized(type.children.front());
    case AbiKind::FixedArray:
        return type.size == 0 || is_zero_sized(type.children.front());
    case AbiKind::Tuple:
        for (const AbiType& member : type.children)
            if (!is_zero_sized(member)) return false;
        return true;
    case AbiKind::Bool:
    case AbiKind::Int:
    case AbiKind::Uint:
    case AbiKind::FixedBytes:
    case AbiKind::Address:
    case AbiKind::Function:
    case AbiKind::Bytes:
    case AbiKind::String:
        return false;
    }
    return false;
}

std::size_t nesting_levels(const AbiType& type) noexcept {
    std::size_t inner = 0;
    for (const AbiType& child : type.children)
        inner = std::max(inner, nesting_levels(child));
    switch (type.kind) {
    case AbiKind::Array:
    case AbiKind::FixedArray:
    case AbiKind::Tuple:
        return inner + 1;
    case AbiKind::Bool:
    case AbiKind::Int:
    case AbiKind::Uint:
    case AbiKind::FixedBytes:
    case AbiKind::Address:
    case AbiKind::Function:
    case AbiKind::Bytes:
    case AbiKind::String:
        return 0;
    }
    return 0;
}

bool holds_empty_tuple(const AbiType& type) noexcept {
    if (type.kind == AbiKind::Tuple && type.children.empty()) return true;
    return std::any_of(type.children.begin(), type.children.end(),
                       [](const AbiType& child) { return holds_empty_tuple(child); });
}

bool is_dynamic(const AbiType& type) noexcept {
    switch (type.kind) {
    case AbiKind::Bytes:
    case AbiKind::String:
    case AbiKind::Array:
        return true;
    case AbiKind::FixedArray:
        return is_dynamic(type.children.front());
    case AbiKind::Tuple:
        for (const AbiType& member : type.children)
            if (is_dynamic(member)) return true;
        return false;
    case AbiKind::Bool:
    case AbiKind::Int:
    case AbiKind::Uint:
    case AbiKind::FixedBytes:
    case AbiKind::Address:
    case AbiKind::Function:
        return false;
    }
    return false;
}

} // namespace kestrix::abi
