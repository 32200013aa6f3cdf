#include "evm/custom_error.hpp"

namespace kestrix::evm {

// Placeholder seam: custom errors are decoded once the ABI decoder exists.
std::optional<Outcome> decode_custom_error(const core::ErrorRegistry&, const core::Selector&,
                                           std::span<const std::uint8_t>) {
    return std::nullopt;
}

core::InputValue to_input_value(const abi::AbiValue&) {
    return core::InputBytes{};
}

} // namespace kestrix::evm
