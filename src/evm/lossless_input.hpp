#pragma once
/// The lossless result form of decoded arguments, for errors the user defines.

#include "abi/decode.hpp"
#include "core/records.hpp"
#include "core/registry.hpp"

#include <span>

namespace kestrix::evm {

/// Like to_input_value for integers, booleans, addresses, bytes and strings; otherwise nothing is
/// dropped: fixed bytes keep exactly their declared size, a function is its 24 bytes, arrays
/// become InputArray and tuples InputTuple, whose members are named after `components` (the
/// components of the tuple at the base of the value's type; "" past their end).
[[nodiscard]] core::InputValue to_lossless_input(const abi::AbiValue& value,
                                                 std::span<const core::ErrorParam> components);

} // namespace kestrix::evm
