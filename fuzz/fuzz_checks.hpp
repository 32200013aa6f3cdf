#pragma once
/// Checks shared by the fuzz targets. They are written from the standards (RFC 3629 for UTF-8,
/// RFC 8259 for JSON), not from the code under test, so that a fault there cannot hide itself.

#include <cstddef>
#include <source_location>
#include <string_view>

namespace kestrix::fuzz {

/// Aborts with the failed invariant and its place when `holds` is false; libFuzzer then keeps
/// the input as a crasher.
void check(bool holds, std::string_view invariant,
           std::source_location where = std::source_location::current());

/// Whether `text` is well-formed UTF-8 (the byte table of Unicode chapter 3, table 3-7).
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

/// Whether `text` is exactly one JSON value, with optional whitespace around it.
[[nodiscard]] bool is_json(std::string_view text) noexcept;

} // namespace kestrix::fuzz
