// Placeholder definitions until the ABI decoder lands.
#include "abi/decode.hpp"
#include "abi/text_forms.hpp"
#include "abi/utf8.hpp"

namespace kestrix::abi {

std::expected<AbiType, AbiTypeParseFailure> parse_abi_type(std::string_view) {
    return std::unexpected(AbiTypeParseFailure{});
}
std::size_t minimum_words(const AbiType&) noexcept {
    return 0;
}
bool is_zero_sized(const AbiType&) noexcept {
    return false;
}
bool is_dynamic(const AbiType&) noexcept {
    return false;
}
std::expected<AbiValue, AbiDecodeFailure> decode_abi_value(const AbiType&,
                                                           std::span<const std::uint8_t>) noexcept {
    return std::unexpected(AbiDecodeFailure{});
}
std::expected<AbiValue, AbiDecodeFailure>
decode_abi_params(std::span<const AbiType>, std::span<const std::uint8_t>) noexcept {
    return std::unexpected(AbiDecodeFailure{});
}
std::string format_uint_decimal(const U256&) {
    return {};
}
std::string format_int_decimal(const U256&) {
    return {};
}
std::string format_address_hex(const std::array<std::uint8_t, 20>&) {
    return {};
}
std::string utf8_replace_invalid(std::span<const std::uint8_t>) {
    return {};
}

} // namespace kestrix::abi
