#pragma once
/// The decoded arguments of a custom error as one compact JSON text.

#include "core/records.hpp"

#include <string>
#include <vector>

namespace kestrix::python {

/// [["name",{"type":"uint","value":5}],...]: one [name, value] pair per input in order, each
/// value an object with "type" then "value"; numbers exact, no whitespace; "[]" when empty.
[[nodiscard]] std::string inputs_to_json(const std::vector<core::NamedInput>& inputs);

} // namespace kestrix::python
