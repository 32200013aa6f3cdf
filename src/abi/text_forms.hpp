#pragma once
/// Text forms of decoded integers and addresses.

#include "abi/uint256.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace kestrix::abi {

/// Base 10, no sign, no leading zeros; zero is "0".
[[nodiscard]] std::string format_uint_decimal(const U256& value);
/// Two's complement: "-" and the magnitude's digits when bit 255 is set.
[[nodiscard]] std::string format_int_decimal(const U256& value);
/// "0x" and 40 lowercase hex digits; no checksum casing.
[[nodiscard]] std::string format_address_hex(const std::array<std::uint8_t, 20>& address);

} // namespace kestrix::abi
