#include "evm/custom_error.hpp"

#include "abi/text_forms.hpp"
#include "abi/types.hpp"
#include "evm/lossless_input.hpp"

#include <type_traits>
#include <utility>
#include <vector>

namespace kestrix::evm {

namespace {

/// The result form of one argument under the entry's forms.
core::InputValue input_form(core::InputForms forms, const abi::AbiValue& value,
                            const core::ErrorParam& param) {
    switch (forms) {
    case core::InputForms::Compact:
        return to_input_value(value);
    case core::InputForms::Lossless:
        return to_lossless_input(value, param.components);
    }
    return to_input_value(value);
}

/// The decoded arguments of `candidate`, or nullopt when a parameter type did not parse or the
/// payload does not decode under the types.
std::optional<std::vector<core::NamedInput>>
decode_candidate(const core::RegisteredError& candidate, std::span<const std::uint8_t> payload) {
    const auto& params = candidate.signature.params;
    // An error without parameters is accepted without looking at the payload, unless it must
    // be exact: then the payload must be empty.
    if (params.empty()) {
        if (candidate.exact && !payload.empty()) return std::nullopt;
        return std::vector<core::NamedInput>{};
    }
    if (!candidate.types) return std::nullopt;

    auto decoded = abi::value_or_nullopt(abi::decode_abi_params(*candidate.types, payload));
    if (!decoded) return std::nullopt;
    if (candidate.exact && !abi::is_exact_encoding(*candidate.types, payload)) return std::nullopt;
    const auto* tuple = std::get_if<abi::TupleValue>(&decoded->v);
    if (tuple == nullptr || tuple->members.size() != params.size()) return std::nullopt;

    std::vector<core::NamedInput> inputs;
    inputs.reserve(tuple->members.size());
    for (std::size_t i = 0; i < tuple->members.size(); ++i) {
        inputs.emplace_back(params[i].name,
                            input_form(candidate.signature.forms, tuple->members[i], params[i]));
    }
    return inputs;
}

/// The low 128 bits of a 256-bit value.
core::uint128 low_u128(const abi::U256& value) noexcept {
    return (static_cast<core::uint128>(value.limbs[1]) << 64) | value.limbs[0];
}

/// Whether a two's-complement 256-bit value lies in -2^127 .. 2^127-1: the top 129 bits are
/// all equal (all zero or all one).
bool fits_i128(const abi::U256& value) noexcept {
    const std::uint64_t fill = (value.limbs[1] >> 63) != 0 ? ~std::uint64_t{0} : 0;
    return value.limbs[2] == fill && value.limbs[3] == fill;
}

} // namespace

std::optional<CustomOutcome> decode_custom_error(const core::ErrorRegistry& registry,
                                                 const core::Selector& selector,
                                                 std::span<const std::uint8_t> payload) {
    std::optional<std::vector<core::NamedInput>> inputs;
    const core::RegisteredError* taken = nullptr;
    std::vector<std::string> alternatives;
    const core::RegisteredError* found =
        registry.find_candidate(selector, [&](const core::RegisteredError& candidate) {
            // Only a registry of exact entries offers more candidates once one was taken.
            if (taken != nullptr) {
                if (decode_candidate(candidate, payload)) {
                    alternatives.push_back(candidate.signature.signature);
                }
                return true;
            }
            inputs = decode_candidate(candidate, payload);
            if (inputs) taken = &candidate;
            return inputs.has_value();
        });
    if (found == nullptr || found != taken) return std::nullopt;
    return CustomOutcome{
        Outcome{core::CustomError{taken->signature.name, std::move(*inputs)}, *taken->hint}, taken,
        std::move(alternatives)};
}

std::optional<std::pair<Outcome, const core::RegisteredError*>>
decode_custom_error_entry(const core::ErrorRegistry& registry, const core::Selector& selector,
                          std::span<const std::uint8_t> payload) {
    auto found = decode_custom_error(registry, selector, payload);
    if (!found) return std::nullopt;
    return std::pair{std::move(found->outcome), found->entry};
}

core::InputValue to_input_value(const abi::AbiValue& value) {
    return std::visit(
        [](const auto& v) -> core::InputValue {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, abi::BoolValue>) {
                return core::InputBool{v.value};
            } else if constexpr (std::is_same_v<T, abi::UintValue>) {
                if (v.value.fits_u128()) return core::InputUint{low_u128(v.value)};
                return core::InputBigUint{abi::format_uint_decimal(v.value)};
            } else if constexpr (std::is_same_v<T, abi::IntValue>) {
                if (fits_i128(v.value)) {
                    return core::InputInt{static_cast<core::int128>(low_u128(v.value))};
                }
                return core::InputBigInt{abi::format_int_decimal(v.value)};
            } else if constexpr (std::is_same_v<T, abi::FixedBytesValue>) {
                // The whole word as decoded; the declared size is not applied.
                return core::InputBytes{core::Bytes(v.word.begin(), v.word.end())};
            } else if constexpr (std::is_same_v<T, abi::AddressValue>) {
                return core::InputAddress{abi::format_address_hex(v.bytes)};
            } else if constexpr (std::is_same_v<T, abi::BytesValue>) {
                return core::InputBytes{v.bytes};
            } else if constexpr (std::is_same_v<T, abi::StringValue>) {
                return core::InputStr{v.text};
            } else {
                // Function, Array, FixedArray and Tuple have no compact form of their own.
                static_assert(
                    std::is_same_v<T, abi::FunctionValue> || std::is_same_v<T, abi::ArrayValue> ||
                    std::is_same_v<T, abi::FixedArrayValue> || std::is_same_v<T, abi::TupleValue>);
                return core::InputBytes{};
            }
        },
        value.v);
}

} // namespace kestrix::evm
