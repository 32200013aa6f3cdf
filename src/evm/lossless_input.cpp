#include "evm/lossless_input.hpp"

#include "evm/custom_error.hpp"

#include <type_traits>
#include <variant>

namespace kestrix::evm {

namespace {

core::InputArray lossless_elements(const std::vector<abi::AbiValue>& elements,
                                   std::span<const core::ErrorParam> components) {
    core::InputArray array;
    array.elements.reserve(elements.size());
    // Elements of an array of tuples share the tuple's components.
    for (const abi::AbiValue& element : elements)
        array.elements.push_back(to_lossless_input(element, components));
    return array;
}

} // namespace

core::InputValue to_lossless_input(const abi::AbiValue& value,
                                   std::span<const core::ErrorParam> components) {
    return std::visit(
        [&](const auto& v) -> core::InputValue {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, abi::FixedBytesValue>) {
                return core::InputBytes{core::Bytes(v.word.begin(), v.word.begin() + v.size)};
            } else if constexpr (std::is_same_v<T, abi::FunctionValue>) {
                return core::InputBytes{core::Bytes(v.bytes.begin(), v.bytes.end())};
            } else if constexpr (std::is_same_v<T, abi::ArrayValue> ||
                                 std::is_same_v<T, abi::FixedArrayValue>) {
                return lossless_elements(v.elements, components);
            } else if constexpr (std::is_same_v<T, abi::TupleValue>) {
                core::InputTuple tuple;
                tuple.members.reserve(v.members.size());
                for (std::size_t i = 0; i < v.members.size(); ++i) {
                    const core::ErrorParam* component =
                        i < components.size() ? &components[i] : nullptr;
                    tuple.members.emplace_back(
                        component != nullptr ? component->name : std::string(),
                        to_lossless_input(v.members[i], component != nullptr
                                                            ? std::span<const core::ErrorParam>(
                                                                  component->components)
                                                            : std::span<const core::ErrorParam>()));
                }
                return tuple;
            } else {
                return to_input_value(value);
            }
        },
        value.v);
}

} // namespace kestrix::evm
