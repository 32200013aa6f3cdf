#pragma once
/// The lenient, bounded ABI value decoder.

#include "abi/types.hpp"
#include "abi/uint256.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace kestrix::abi {

struct AbiValue;

struct BoolValue {
    bool value{};
};
/// Two's-complement 256-bit value with the declared width N (no range check).
struct IntValue {
    U256 value;
    std::size_t bits{};
};
struct UintValue {
    U256 value;
    std::size_t bits{};
};
/// The whole word as read, and the declared size N.
struct FixedBytesValue {
    std::array<std::uint8_t, 32> word{};
    std::size_t size{};
};
struct AddressValue {
    std::array<std::uint8_t, 20> bytes{};
};
/// A 20-byte address followed by a 4-byte selector.
struct FunctionValue {
    std::array<std::uint8_t, 24> bytes{};
};
struct BytesValue {
    std::vector<std::uint8_t> bytes;
};
/// UTF-8 text; invalid sequences were replaced by U+FFFD.
struct StringValue {
    std::string text;
};
struct ArrayValue {
    std::vector<AbiValue> elements;
};
struct FixedArrayValue {
    std::vector<AbiValue> elements;
};
struct TupleValue {
    std::vector<AbiValue> members;
};

/// A decoded value; the variant index is the kind's tag (same order as AbiKind).
struct AbiValue {
    std::variant<BoolValue, IntValue, UintValue, FixedBytesValue, AddressValue, FunctionValue,
                 BytesValue, StringValue, ArrayValue, FixedArrayValue, TupleValue>
        v;
};

enum class AbiDecodeFailureKind : std::uint8_t { Overrun, RecursionLimitExceeded, Reserve };

struct AbiDecodeFailure {
    AbiDecodeFailureKind kind = AbiDecodeFailureKind::Overrun;
    /// The depth limit, for RecursionLimitExceeded.
    std::size_t limit = 0;
};

/// Readers of this depth or more refuse to make a child. Every tuple, fixed array and dynamic
/// array takes one level, so a value of any type whose nesting_levels() is at most this decodes.
inline constexpr std::size_t kMaxDecodeDepth = 16;

/// Decodes one value of `type` from `data`. Memory it reserves is bounded by data.size().
[[nodiscard]] std::expected<AbiValue, AbiDecodeFailure>
decode_abi_value(const AbiType& type, std::span<const std::uint8_t> data) noexcept;

/// Decodes a parameter list (the encoding after a selector) into a Tuple value.
[[nodiscard]] std::expected<AbiValue, AbiDecodeFailure>
decode_abi_params(std::span<const AbiType> types, std::span<const std::uint8_t> data) noexcept;

/// Whether `data` is exactly the canonical encoding of a parameter list of `types`: offsets where
/// the canonical encoder puts each tail, zero padding, values within their widths, and no byte
/// left over. Only meaningful for data decode_abi_params accepted, which bounds every count.
[[nodiscard]] bool is_exact_encoding(std::span<const AbiType> types,
                                     std::span<const std::uint8_t> data) noexcept;

/// The decoded value, or nullopt when the data do not hold one. Reserve means memory ran out,
/// not that the data are bad: it is thrown as std::bad_alloc, so that a caller who moves on to
/// the next reading of undecodable data never reports exhausted memory as a different result.
[[nodiscard]] inline std::optional<AbiValue>
value_or_nullopt(std::expected<AbiValue, AbiDecodeFailure>&& decoded) {
    if (decoded) return std::move(*decoded);
    switch (decoded.error().kind) {
    case AbiDecodeFailureKind::Overrun:
    case AbiDecodeFailureKind::RecursionLimitExceeded:
        return std::nullopt;
    case AbiDecodeFailureKind::Reserve:
        throw std::bad_alloc();
    }
    return std::nullopt;
}

} // namespace kestrix::abi
