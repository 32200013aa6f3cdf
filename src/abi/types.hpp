#pragma once
/// The Solidity ABI type model and the type-string parser.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix::abi {

/// The eleven kinds, in tag order; AbiValue uses the same order.
enum class AbiKind : std::uint8_t {
    Bool,
    Int,
    Uint,
    FixedBytes,
    Address,
    Function,
    Bytes,
    String,
    Array,
    FixedArray,
    Tuple,
};

/// A parsed ABI type: a tree of owned nodes.
struct AbiType {
    AbiKind kind = AbiKind::Bool;
    /// Bit width N for Int/Uint, byte size N for FixedBytes, length k for FixedArray; else 0.
    std::size_t size = 0;
    /// The element type for Array/FixedArray (exactly one), the members for Tuple; else empty.
    std::vector<AbiType> children;

    [[nodiscard]] static AbiType uint(std::size_t bits) { return {AbiKind::Uint, bits, {}}; }
    [[nodiscard]] static AbiType string() { return {AbiKind::String, 0, {}}; }
    [[nodiscard]] static AbiType tuple(std::vector<AbiType> members) {
        return {AbiKind::Tuple, 0, std::move(members)};
    }

    bool operator==(const AbiType&) const = default;
};

enum class AbiTypeParseFailureKind : std::uint8_t { Syntax, InvalidSize, InvalidType };

/// Why a type string did not parse. Messages: "parser error:\n..." for syntax failures,
/// "invalid size for type: NAME", "invalid type string: NAME".
struct AbiTypeParseFailure {
    AbiTypeParseFailureKind kind = AbiTypeParseFailureKind::Syntax;
    std::string message;
};

/// Parses a Solidity type string ("uint256", "(address,bytes32)[]", ...).
[[nodiscard]] std::expected<AbiType, AbiTypeParseFailure> parse_abi_type(std::string_view text);

/// The canonical text of `type` as signatures hash it: "uint256" for "uint", "(address,bytes)[2]"
/// for a tuple, no spaces, array lengths without leading zeros.
[[nodiscard]] std::string canonical_type_text(const AbiType& type);

/// The head words of values laid out one after another: `minimum`, a lower bound of the words
/// their encoding occupies, and `backing`, the words that must back the tokens they are decoded
/// into (the minimum, except that each element of a fixed array counts at least one word even
/// when it is zero-sized, so that a huge length of empty elements cannot size an allocation).
/// `backing` is never below `minimum`; both saturate at SIZE_MAX.
struct HeadWords {
    std::size_t minimum = 0;
    std::size_t backing = 0;
};
/// The head words of `types` in sequence (a tuple's members, an error's parameters), in one walk.
[[nodiscard]] HeadWords head_words(std::span<const AbiType> types) noexcept;

/// Lower bound of the words an encoding of `type` occupies; saturates at SIZE_MAX.
[[nodiscard]] std::size_t minimum_words(const AbiType& type) noexcept;
/// Words of data that must back the tokens a value of `type` is decoded into: minimum_words,
/// except that each element of a fixed array counts at least one word even when it is
/// zero-sized, so that a huge length of empty elements cannot size an allocation. Saturates.
[[nodiscard]] std::size_t backing_words(const AbiType& type) noexcept;
/// Whether an encoding of `type` occupies no bytes (e.g. the empty tuple).
[[nodiscard]] bool is_zero_sized(const AbiType& type) noexcept;
/// Containers (tuples, fixed arrays, dynamic arrays) around the deepest leaf of `type`: the
/// measure of nesting the value decoder limits. "uint8[][2]" and "((bytes))" give 2.
[[nodiscard]] std::size_t nesting_levels(const AbiType& type) noexcept;
/// Whether `type` is or holds the empty tuple "()", whose values occupy no data at all.
[[nodiscard]] bool holds_empty_tuple(const AbiType& type) noexcept;
/// Whether `type` is dynamic (Bytes, String, Array, or a FixedArray/Tuple holding one).
[[nodiscard]] bool is_dynamic(const AbiType& type) noexcept;

} // namespace kestrix::abi
