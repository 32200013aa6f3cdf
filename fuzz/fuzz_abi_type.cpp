/// Type text through the ABI type parser: parsing is deterministic, a failure's message matches
/// its kind, the queries never overflow (UBSan watches), and a parsed type printed in canonical
/// form parses back to the same tree.

#include "abi/types.hpp"
#include "fuzz_checks.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using kestrix::fuzz::check;
namespace abi = kestrix::abi;

/// The canonical type string, written from the type model alone.
void print(const abi::AbiType& type, std::string& out) {
    switch (type.kind) {
    case abi::AbiKind::Bool:
        out += "bool";
        return;
    case abi::AbiKind::Int:
        out += "int" + std::to_string(type.size);
        return;
    case abi::AbiKind::Uint:
        out += "uint" + std::to_string(type.size);
        return;
    case abi::AbiKind::FixedBytes:
        out += "bytes" + std::to_string(type.size);
        return;
    case abi::AbiKind::Address:
        out += "address";
        return;
    case abi::AbiKind::Function:
        out += "function";
        return;
    case abi::AbiKind::Bytes:
        out += "bytes";
        return;
    case abi::AbiKind::String:
        out += "string";
        return;
    case abi::AbiKind::Array:
        check(type.children.size() == 1, "an array has one element type");
        print(type.children.front(), out);
        out += "[]";
        return;
    case abi::AbiKind::FixedArray:
        check(type.children.size() == 1, "a fixed array has one element type");
        print(type.children.front(), out);
        out += "[" + std::to_string(type.size) + "]";
        return;
    case abi::AbiKind::Tuple:
        out += '(';
        for (std::size_t i = 0; i < type.children.size(); ++i) {
            if (i > 0) out += ',';
            print(type.children[i], out);
        }
        out += ')';
        return;
    }
}

std::string_view expected_prefix(abi::AbiTypeParseFailureKind kind) {
    switch (kind) {
    case abi::AbiTypeParseFailureKind::Syntax:
        return "parser error:\n";
    case abi::AbiTypeParseFailureKind::InvalidSize:
        return "invalid size for type: ";
    case abi::AbiTypeParseFailureKind::InvalidType:
        return "invalid type string: ";
    }
    return "";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = abi::parse_abi_type(text);
    const auto again = abi::parse_abi_type(text);
    check(parsed.has_value() == again.has_value(), "parsing is deterministic");
    if (!parsed) {
        check(again.error().kind == parsed.error().kind &&
                  again.error().message == parsed.error().message,
              "the same failure twice");
        check(parsed.error().message.starts_with(expected_prefix(parsed.error().kind)),
              "the failure message starts as its kind says");
        return 0;
    }
    check(*parsed == *again, "the same tree twice");

    const abi::AbiType& type = *parsed;
    const std::size_t minimum = abi::minimum_words(type);
    const std::size_t backing = abi::backing_words(type);
    check(backing >= minimum, "backing words cover the minimum words");
    if (abi::is_dynamic(type)) check(minimum >= 1, "a dynamic type takes at least its offset");

    std::string canonical;
    print(type, canonical);
    const auto reparsed = abi::parse_abi_type(canonical);
    check(reparsed.has_value() && *reparsed == type, "the canonical text parses to the same tree");
    return 0;
}
