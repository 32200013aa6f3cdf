#include "evm/standard_payloads.hpp"

namespace kestrix::evm {

// Placeholder seams: the payload decoders are filled in once the ABI decoder exists.
std::optional<Outcome> decode_revert_string(std::span<const std::uint8_t>) {
    return std::nullopt;
}

std::optional<Outcome> decode_panic(std::span<const std::uint8_t>) {
    return std::nullopt;
}

std::optional<std::string> revert_string_suggestion(std::string_view) {
    return std::nullopt;
}

} // namespace kestrix::evm
