#include "core/records.hpp"

namespace kestrix::core {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

} // namespace

std::string_view kind_name(const ErrorKind& kind) noexcept {
    return std::visit(
        Overloaded{
            [](const RevertString&) { return std::string_view{"revert_string"}; },
            [](const CustomError&) { return std::string_view{"custom_error"}; },
            [](const Panic&) { return std::string_view{"panic"}; },
            [](const OutOfGas&) { return std::string_view{"out_of_gas"}; },
            [](const ContractNotDeployed&) { return std::string_view{"contract_not_deployed"}; },
            [](const RawRevert&) { return std::string_view{"raw_revert"}; },
            [](const Empty&) { return std::string_view{"empty"}; },
        },
        kind);
}

std::optional<std::string_view> kind_display_message(const ErrorKind& kind) noexcept {
    if (std::holds_alternative<OutOfGas>(kind)) return "out of gas";
    if (std::holds_alternative<ContractNotDeployed>(kind)) return "contract not deployed";
    return std::nullopt;
}

std::string CoreError::display() const {
    std::string_view prefix;
    switch (kind) {
    case CoreErrorKind::AbiDecode:
        prefix = "ABI decode failed: ";
        break;
    case CoreErrorKind::InvalidRevertData:
        prefix = "Invalid revert data: ";
        break;
    case CoreErrorKind::UnsupportedChain:
        prefix = "Unsupported chain: ";
        break;
    case CoreErrorKind::RegistryLookup:
        prefix = "Registry lookup failed: ";
        break;
    case CoreErrorKind::Other:
        break;
    }
    std::string out;
    out.reserve(prefix.size() + text.size());
    out.append(prefix).append(text);
    return out;
}

} // namespace kestrix::core
