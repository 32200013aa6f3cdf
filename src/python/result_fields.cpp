#include "python/result_fields.hpp"

#include "python/inputs_json.hpp"

#include <variant>

namespace kestrix::python {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

} // namespace

void append_hex_text(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::size_t start = out.size();
    out.resize(start + 2 + 2 * bytes.size());
    char* cursor = out.data() + start;
    *cursor++ = '0';
    *cursor++ = 'x';
    for (const std::uint8_t byte : bytes) {
        *cursor++ = kDigits[byte >> 4];
        *cursor++ = kDigits[byte & 0x0F];
    }
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
    std::string out;
    append_hex_text(out, bytes);
    return out;
}

KindFields kind_fields(const core::ErrorKind& kind) {
    KindFields fields;
    std::visit(
        Overloaded{
            [&](const core::RevertString& revert) { fields.message = revert.message; },
            [&](const core::CustomError& custom) {
                fields.error_name = custom.name;
                fields.inputs = inputs_to_json(custom.inputs);
            },
            [&](const core::Panic& panic) {
                fields.panic_code = panic.code;
                fields.panic_meaning = panic.meaning;
            },
            [&](const core::OutOfGas&) { fields.message = "out of gas"; },
            [&](const core::ContractNotDeployed&) { fields.message = "contract not deployed"; },
            [](const core::RawRevert&) {},
            [](const core::Empty&) {},
        },
        kind);
    return fields;
}

} // namespace kestrix::python
