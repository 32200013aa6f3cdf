#include "python/inputs_json.hpp"

#include "python/json_text.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <variant>

namespace kestrix::python {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

/// Decimal digits of an unsigned 128-bit value (up to 39 digits, no leading zeros). The usual
/// value fits 64 bits, where a division is one instruction instead of a library call.
void append_decimal(std::string& out, core::uint128 value) {
    char digits[40];
    char* end = digits + sizeof digits;
    char* next = end;
    while (value > UINT64_MAX) {
        *--next = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    }
    auto word = static_cast<std::uint64_t>(value);
    do {
        *--next = static_cast<char>('0' + word % 10);
        word /= 10;
    } while (word != 0);
    out.append(next, end);
}

/// The decimal text of every byte value, for the arrays of byte values.
constexpr std::array<std::array<char, 4>, 256> kByteDecimal = [] {
    std::array<std::array<char, 4>, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        char* next = table[byte].data();
        if (byte >= 100) *next++ = static_cast<char>('0' + byte / 100);
        if (byte >= 10) *next++ = static_cast<char>('0' + byte / 10 % 10);
        *next++ = static_cast<char>('0' + byte % 10);
        table[byte][3] = static_cast<char>(next - table[byte].data());
    }
    return table;
}();

/// "[", the decimal values of the bytes separated by commas, "]", written in place: at most
/// four characters per byte, each table entry copied whole (its fourth character, the length,
/// is overwritten by the comma or the next entry).
void append_byte_array(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    out.resize(start + 2 + 4 * bytes.size());
    char* next = out.data() + start;
    *next++ = '[';
    for (const std::uint8_t byte : bytes) {
        const auto& text = kByteDecimal[byte];
        std::memcpy(next, text.data(), text.size());
        next += text[3];
        *next++ = ',';
    }
    // The last comma becomes the closing bracket; an empty array keeps its '['.
    if (bytes.empty()) {
        *next++ = ']';
    } else {
        next[-1] = ']';
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
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
                       out.append("\"bytes\",\"value\":");
                       append_byte_array(out, v.value);
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
    // Room for a typical argument (an address or a number and its name) without growing.
    std::size_t room = 2;
    for (const auto& [name, value] : inputs) {
        room += 96 + name.size();
        if (const auto* bytes = std::get_if<core::InputBytes>(&value))
            room += 4 * bytes->value.size();
    }
    std::string out;
    out.reserve(room);
    out.push_back('[');
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (i > 0) out.push_back(',');
        append_named(out, inputs[i]);
    }
    out.push_back(']');
    return out;
}

} // namespace kestrix::python
