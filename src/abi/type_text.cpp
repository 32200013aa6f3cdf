// AbiType back to the canonical type text that selectors are computed from.
#include "abi/types.hpp"

#include <string>

namespace kestrix::abi {
namespace {

void append_type(std::string& out, const AbiType& type) {
    switch (type.kind) {
    case AbiKind::Bool:
        out.append("bool");
        return;
    case AbiKind::Int:
        out.append("int").append(std::to_string(type.size));
        return;
    case AbiKind::Uint:
        out.append("uint").append(std::to_string(type.size));
        return;
    case AbiKind::FixedBytes:
        out.append("bytes").append(std::to_string(type.size));
        return;
    case AbiKind::Address:
        out.append("address");
        return;
    case AbiKind::Function:
        out.append("function");
        return;
    case AbiKind::Bytes:
        out.append("bytes");
        return;
    case AbiKind::String:
        out.append("string");
        return;
    case AbiKind::Array:
        append_type(out, type.children.front());
        out.append("[]");
        return;
    case AbiKind::FixedArray:
        append_type(out, type.children.front());
        out.append("[").append(std::to_string(type.size)).append("]");
        return;
    case AbiKind::Tuple:
        out.push_back('(');
        for (std::size_t i = 0; i < type.children.size(); ++i) {
            if (i > 0) out.push_back(',');
            append_type(out, type.children[i]);
        }
        out.push_back(')');
        return;
    }
}

} // namespace

std::string canonical_type_text(const AbiType& type) {
    std::string out;
    append_type(out, type);
    return out;
}

} // namespace kestrix::abi
