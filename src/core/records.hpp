#pragma once
/// The plain value types every layer passes around: the record of one decode, its
/// classification, a decoded custom-error argument, the caller's context and core errors.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrix::core {

__extension__ typedef unsigned __int128 uint128;
__extension__ typedef __int128 int128;

/// An owned byte string.
using Bytes = std::vector<std::uint8_t>;

/// The first four bytes of revert data, in data (and digest) order; never byte-swapped.
using Selector = std::array<std::uint8_t, 4>;

// ---- InputValue: a decoded custom-error argument. Variant index == tag. ----

struct InputUint {
    uint128 value{};
    bool operator==(const InputUint&) const = default;
};
/// Decimal digits of an unsigned value of 2^128 or more.
struct InputBigUint {
    std::string digits;
    bool operator==(const InputBigUint&) const = default;
};
struct InputInt {
    int128 value{};
    bool operator==(const InputInt&) const = default;
};
/// Decimal text of a signed value outside the signed 128-bit range ("-" and magnitude if negative).
struct InputBigInt {
    std::string text;
    bool operator==(const InputBigInt&) const = default;
};
struct InputBool {
    bool value{};
    bool operator==(const InputBool&) const = default;
};
struct InputBytes {
    Bytes value;
    bool operator==(const InputBytes&) const = default;
};
struct InputStr {
    std::string value;
    bool operator==(const InputStr&) const = default;
};
/// "0x" and 40 lowercase hexadecimal digits.
struct InputAddress {
    std::string text;
    bool operator==(const InputAddress&) const = default;
};

struct InputArray;
struct InputTuple;

/// The last two alternatives only occur in the lossless forms of errors the user defines.
using InputValue = std::variant<InputUint, InputBigUint, InputInt, InputBigInt, InputBool,
                                InputBytes, InputStr, InputAddress, InputArray, InputTuple>;

/// One named argument of a custom error, in the signature's parameter order.
using NamedInput = std::pair<std::string, InputValue>;

/// The elements of a dynamic or fixed-size array, in order.
struct InputArray {
    std::vector<InputValue> elements;
    bool operator==(const InputArray&) const;
};
/// The members of a tuple with their component names ("" where unnamed), in order.
struct InputTuple {
    std::vector<NamedInput> members;
    bool operator==(const InputTuple&) const;
};
// Defined once both are complete: comparing them compares InputValues.
inline bool InputArray::operator==(const InputArray&) const = default;
inline bool InputTuple::operator==(const InputTuple&) const = default;

// ---- ErrorKind: the classification of a revert. Variant index == tag. ----

struct RevertString {
    std::string message;
    bool operator==(const RevertString&) const = default;
};
struct CustomError {
    std::string name;
    std::vector<NamedInput> inputs;
    bool operator==(const CustomError&) const = default;
};
struct Panic {
    std::uint64_t code{};
    std::string meaning;
    bool operator==(const Panic&) const = default;
};
struct OutOfGas {
    bool operator==(const OutOfGas&) const = default;
};
struct ContractNotDeployed {
    bool operator==(const ContractNotDeployed&) const = default;
};
struct RawRevert {
    /// Eight lowercase hex digits of the selector, or "none" for data shorter than four bytes.
    std::string selector;
    Bytes data;
    bool operator==(const RawRevert&) const = default;
};
struct Empty {
    bool operator==(const Empty&) const = default;
};

using ErrorKind =
    std::variant<RevertString, CustomError, Panic, OutOfGas, ContractNotDeployed, RawRevert, Empty>;

/// The text name under which a kind is reported ("revert_string", "custom_error", ...).
[[nodiscard]] std::string_view kind_name(const ErrorKind& kind) noexcept;

/// The fixed display message of the kinds that have one ("out of gas", "contract not
/// deployed"); nullopt for the others.
[[nodiscard]] std::optional<std::string_view> kind_display_message(const ErrorKind& kind) noexcept;

struct RegisteredError;

// ---- Context and record ----

/// Optional facts about the reverted transaction, supplied by the caller and carried unchanged.
struct ErrorContext {
    std::optional<std::string> chain;
    std::optional<std::string> tx_hash;
    std::optional<std::string> contract_address;
    std::optional<std::string> call_selector;
    std::optional<std::uint64_t> block_number;
    bool operator==(const ErrorContext&) const = default;
};

/// The outcome of decoding one revert payload.
struct DecodedError {
    std::optional<ErrorContext> context;
    ErrorKind kind;
    Bytes raw_data;
    std::optional<std::string> suggestion;
    float confidence = 0.0f;
    std::optional<Selector> selector;
    /// For a custom error, the registry entry that decoded it; it lives as long as the registry.
    const RegisteredError* entry = nullptr;
    /// The canonical signatures of the other entries of the same selector that also fit the
    /// data exactly, in the order tried.
    std::vector<std::string> alternatives;
    bool operator==(const DecodedError&) const = default;
};

// ---- CoreError ----

enum class CoreErrorKind : std::uint8_t {
    AbiDecode,
    InvalidRevertData,
    UnsupportedChain,
    RegistryLookup,
    Other
};

/// The error type of the core operations: a kind and one text.
struct CoreError {
    CoreErrorKind kind = CoreErrorKind::Other;
    std::string text;
    bool operator==(const CoreError&) const = default;

    /// The display form: the kind's prefix ("ABI decode failed: ", ...) followed by the text.
    [[nodiscard]] std::string display() const;
};

} // namespace kestrix::core
