#include "python/inputs_json.hpp"

#include "python/json_text.hpp"

#include <variant>

namespace kestrix::python {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

/// Decimal digits of an unsigned 128-bit value (up to 39 digits, no leading zeros).
void append_decimal(std::string& out, core::uint128 value) {
    char digits[40];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out.push_back(digits[--n]);
}

void append_signed(std::string& out, core::int128 value) {
    if (value >= 0) {
        append_decimal(out, static_cast<core::uint128>(value));
        return;
    }
    // The magnitude in unsigned arithmetic, so the most negative value needs no special case.
    out.push_back('-');
    append_decimal(out, core::uint128{0} - static_cast<core::uint128>(value));
}

void append_value(std::string& out, const core::InputValue& value);

/// ["name",value]
void append_named(std::string& out, const core::NamedInput& input) {
    out.push_back('[');
    append_json_string(out, input.first);
    out.push_back(',');
    append_value(out, input.second);
    out.push_back(']');
}

void append_value(std::string& out, const core::InputValue& value) {
    out.append("{\"type\":");
    std::visit(Overloaded{
                   [&](const core::InputUint& v) {
                       out.append("\"uint\",\"value\":");
                       append_decimal(out, v.value);
                   },
                   [&](const core::InputBigUint& v) {
                       out.append("\"biguint\",\"value\":");
                       append_json_string(out, v.digits);
                   },
                   [&](const core::InputInt& v) {
                       out.append("\"int\",\"value\":");
                       append_signed(out, v.value);
                   },
                   [&](const core::InputBigInt& v) {
                       out.append("\"bigint\",\"value\":");
                       append_json_string(out, v.text);
                   },
                   [&](const core::InputBool& v) {
                       out.append("\"bool\",\"value\":");
                       out.append(v.value ? "true" : "false");
                   },
                   [&](const core::InputBytes& v) {
                       out.append("\"bytes\",\"value\":[");
                       for (std::size_t i = 0; i < v.value.size(); ++i) {
                           if (i > 0) out.push_back(',');
                           append_decimal(out, v.value[i]);
                       }
                       out.push_back(']');
                   },
                   [&](const core::InputStr& v) {
                       out.append("\"str\",\"value\":");
                       append_json_string(out, v.value);
                   },
                   [&](const core::InputAddress& v) {
                       out.append("\"address\",\"value\":");
                       append_json_string(out, v.text);
                   },
                   [&](const core::InputArray& v) {
                       out.append("\"array\",\"value\":[");
                       for (std::size_t i = 0; i < v.elements.size(); ++i) {
                           if (i > 0) out.push_back(',');
                           append_value(out, v.elements[i]);
                       }
                       out.push_back(']');
                   },
                   [&](const core::InputTuple& v) {
                       out.append("\"tuple\",\"value\":[");
                       for (std::size_t i = 0; i < v.members.size(); ++i) {
                           if (i > 0) out.push_back(',');
                           append_named(out, v.members[i]);
                       }
                       out.push_back(']');
                   },
               },
               value);
    out.push_back('}');
}

} // namespace

std::string inputs_to_json(const std::vector<core::NamedInput>& inputs) {
    std::string out;
    out.reserve(128);
    out.push_back('[');
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (i > 0) out.push_back(',');
        append_named(out, inputs[i]);
    }
    out.push_back(']');
    return out;
}

} // namespace kestrix::python
