#pragma once
/// Selectors: the first four bytes of the Keccak-256 digest of a signature text.

#include "core/records.hpp"

#include <span>
#include <string>
#include <string_view>

namespace kestrix::core {

/// First four digest bytes of the signature's UTF-8 bytes, hashed exactly as given.
[[nodiscard]] Selector selector_of(std::string_view signature) noexcept;

/// The selectors of several signatures, selectors[i] of signatures[i] (as many as both hold);
/// the same values as selector_of, computed four at a time.
void selectors_of(std::span<const std::string_view> signatures,
                  std::span<Selector> selectors) noexcept;

/// Eight lowercase hex digits of the four bytes in order, without a prefix ("e450d38c").
[[nodiscard]] std::string selector_hex(const Selector& selector);

/// "0x" followed by the eight lowercase hex digits ("0xe450d38c").
[[nodiscard]] std::string format_selector(const Selector& selector);

} // namespace kestrix::core
