#pragma once
/// The values of a result as plain C++ values: what the result dict and the Arrow columns hold.

#include "core/records.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrix::python {

/// Writes "0x" and two lowercase hexadecimal digits per byte: 2 + 2 * size characters.
void write_hex_text(char* out, std::span<const std::uint8_t> bytes) noexcept;

/// Appends "0x" and two lowercase hexadecimal digits per byte.
void append_hex_text(std::string& out, std::span<const std::uint8_t> bytes);

/// "0x" and two lowercase hexadecimal digits per byte.
[[nodiscard]] std::string hex_text(std::span<const std::uint8_t> bytes);

/// The values of keys 6 to 10 ("message", "error_name", "inputs", "panic_code",
/// "panic_meaning") for one kind; absent ones are nullopt. Views point into the kind.
struct KindFields {
    std::optional<std::string_view> message;
    std::optional<std::string_view> error_name;
    std::optional<std::string> inputs;
    std::optional<std::uint64_t> panic_code;
    std::optional<std::string_view> panic_meaning;
};

/// Keys 6 to 10 of a kind: the reason of a revert string, the name and inputs JSON of a custom
/// error, the code and meaning of a panic, the fixed message of the two message-only kinds.
[[nodiscard]] KindFields kind_fields(const core::ErrorKind& kind);

} // namespace kestrix::python
