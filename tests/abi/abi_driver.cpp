// Test-only driver for the differential checks in abi_oracle.py; never shipped.
//
// Reads tab-separated requests from stdin, one per line, and answers each with one line:
//   value  TYPE HEX   decode_abi_value of TYPE over the bytes
//   params TUPLE HEX  decode_abi_params with the members of the tuple type TUPLE
//   utf8   HEX        the replacement decoding, as hex of its UTF-8 bytes
//   uint   HEX64      format_uint_decimal of the 32-byte word
//   int    HEX64      format_int_decimal of the 32-byte word
// Values print canonically: true/false, decimal integers, "b<N>:<hex of the word>", addresses
// as 0x-hex, "f<hex>" functions, "x<hex>" bytes, "s<hex of UTF-8>" strings, "[a,b]" arrays
// and fixed arrays, "(a,b)" tuples. Failures print "fail <kind>" or "typefail <message>".
#include "abi/decode.hpp"
#include "abi/text_forms.hpp"
#include "abi/types.hpp"
#include "abi/utf8.hpp"

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

using namespace kestrix::abi;

std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]);
        const int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

template <typename Bytes>
std::string to_hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const auto b : bytes) {
        out += kDigits[static_cast<std::uint8_t>(b) >> 4];
        out += kDigits[static_cast<std::uint8_t>(b) & 0x0F];
    }
    return out;
}

void print_value(const AbiValue& value, std::string& out);

void print_list(const std::vector<AbiValue>& values, char open, char close, std::string& out) {
    out += open;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) out += ',';
        print_value(values[i], out);
    }
    out += close;
}

void print_value(const AbiValue& value, std::string& out) {
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, BoolValue>) {
                out += v.value ? "true" : "false";
            } else if constexpr (std::is_same_v<T, IntValue>) {
                out += format_int_decimal(v.value);
            } else if constexpr (std::is_same_v<T, UintValue>) {
                out += format_uint_decimal(v.value);
            } else if constexpr (std::is_same_v<T, FixedBytesValue>) {
                out += 'b';
                out += std::to_string(v.size);
                out += ':';
                out += to_hex(v.word);
            } else if constexpr (std::is_same_v<T, AddressValue>) {
                out += format_address_hex(v.bytes);
            } else if constexpr (std::is_same_v<T, FunctionValue>) {
                out += 'f';
                out += to_hex(v.bytes);
            } else if constexpr (std::is_same_v<T, BytesValue>) {
                out += 'x';
                out += to_hex(v.bytes);
            } else if constexpr (std::is_same_v<T, StringValue>) {
                out += 's';
                out += to_hex(v.text);
            } else if constexpr (std::is_same_v<T, TupleValue>) {
                print_list(v.members, '(', ')', out);
            } else {
                print_list(v.elements, '[', ']', out);
            }
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
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    const std::string_view op = fields[0];
    const auto bytes = from_hex(fields.back());
    if (fields.size() < 2 || !bytes) return "bad request";

    if (op == "utf8") return to_hex(utf8_replace_invalid(*bytes));
    if (op == "uint" || op == "int") {
        if (bytes->size() != 32) return "bad request";
        const U256 value = U256::from_be_bytes(bytes->data());
        return op == "uint" ? format_uint_decimal(value) : format_int_decimal(value);
    }
    if (fields.size() != 3) return "bad request";
    auto type = parse_abi_type(fields[1]);
    if (!type) {
        std::string message = type.error().message;
        for (char& c : message)
            if (c == '\n') c = '|';
        message.insert(0, "typefail ");
        return message;
    }
    std::expected<AbiValue, AbiDecodeFailure> decoded;
    if (op == "value") {
        decoded = decode_abi_value(*type, *bytes);
    } else if (op == "params" && type->kind == AbiKind::Tuple) {
        decoded = decode_abi_params(type->children, *bytes);
    } else {
        return "bad request";
    }
    if (!decoded) return failure_text(decoded.error());
    std::string out;
    print_value(*decoded, out);
    return out;
}

} // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line))
        std::cout << answer(line) << '\n' << std::flush;
    return 0;
}
