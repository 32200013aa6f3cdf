// Test-only driver for abi_oracle.py. Reads tab-separated requests, one per line:
//   value TYPE HEX, params TUPLE HEX (the tuple's members as a list), utf8 HEX, uint HEX, int HEX
// and answers each with one line: the value in the oracle's canonical text, "fail <kind>",
// "typefail <message>", the replaced UTF-8 as hex, or the decimal text of the word.
#include "abi/decode.hpp"
#include "abi/text_forms.hpp"
#include "abi/types.hpp"
#include "abi/utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

using namespace kestrix::abi;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

template <typename Bytes>
std::string hex(const Bytes& bytes, std::string out = "") {
    for (const auto b : bytes) {
        out += "0123456789abcdef"[static_cast<std::uint8_t>(b) >> 4];
        out += "0123456789abcdef"[static_cast<std::uint8_t>(b) & 15];
    }
    return out;
}

std::string text(const AbiValue& value);

std::string list(const std::vector<AbiValue>& values, char open, char close) {
    std::string out(1, open);
    for (std::size_t i = 0; i < values.size(); ++i)
        out.append(i ? "," : "").append(text(values[i]));
    return out + close;
}

std::string text(const AbiValue& value) {
    return std::visit(
        Overloaded{
            [](const BoolValue& v) -> std::string { return v.value ? "true" : "false"; },
            [](const IntValue& v) { return format_int_decimal(v.value); },
            [](const UintValue& v) { return format_uint_decimal(v.value); },
            [](const FixedBytesValue& v) {
                return hex(v.word, std::string("b").append(std::to_string(v.size)).append(":"));
            },
            [](const AddressValue& v) { return format_address_hex(v.bytes); },
            [](const FunctionValue& v) { return hex(v.bytes, "f"); },
            [](const BytesValue& v) { return hex(v.bytes, "x"); },
            [](const StringValue& v) { return hex(v.text, "s"); },
            [](const ArrayValue& v) { return list(v.elements, '[', ']'); },
            [](const FixedArrayValue& v) { return list(v.elements, '[', ']'); },
            [](const TupleValue& v) { return list(v.members, '(', ')'); },
        },
        value.v);
}

std::string failure_text(const AbiDecodeFailure& failure) {
    switch (failure.kind) {
    case AbiDecodeFailureKind::Overrun:
        return "fail Overrun";
    case AbiDecodeFailureKind::RecursionLimitExceeded:
        return "fail RecursionLimitExceeded";
    case AbiDecodeFailureKind::Reserve:
        return "fail Reserve";
    }
    return "fail ?";
}

std::string answer(std::string_view line) {
    const std::string_view op = line.substr(0, line.find('\t'));
    const std::string_view type_text = line.substr(op.size() + 1, line.rfind('\t') - op.size() - 1);
    const std::string_view data_hex = line.substr(line.rfind('\t') + 1);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < data_hex.size(); i += 2)
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(data_hex.substr(i, 2)), nullptr, 16)));
    if (op == "utf8") return hex(utf8_replace_invalid(bytes));
    if (op == "uint") return format_uint_decimal(U256::from_be_bytes(bytes.data()));
    if (op == "int") return format_int_decimal(U256::from_be_bytes(bytes.data()));
    auto type = parse_abi_type(type_text);
    if (!type) {
        std::string message = "typefail " + type.error().message;
        std::ranges::replace(message, '\n', '|'); // one answer per line
        return message;
    }
    const auto decoded =
        op == "value" ? decode_abi_value(*type, bytes) : decode_abi_params(type->children, bytes);
    return decoded ? text(*decoded) : failure_text(decoded.error());
}

} // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line))
        std::cout << answer(line) << std::endl;
    return 0;
}
