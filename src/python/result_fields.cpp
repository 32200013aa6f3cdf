#include "python/result_fields.hpp"

#include "python/inputs_json.hpp"

#include <array>
#include <cstring>
#include <variant>

namespace kestrix::python {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

/// The two lowercase hexadecimal digits of every byte value, in text order.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
    constexpr char kDigits[] = "0123456789abcdef";
    std::array<std::array<char, 2>, 256> table{};
    for (std::size_t byte = 0; byte < 256; ++byte)
        table[byte] = {kDigits[byte >> 4], kDigits[byte & 0x0F]};
    return table;
}();

} // namespace

void write_hex_text(char* out, std::span<const std::uint8_t> bytes) noexcept {
    *out++ = '0';
    *out++ = 'x';
    for (const std::uint8_t byte : bytes) {
        std::memcpy(out, kHexPairs[byte].data(), 2);
        out += 2;
    }
}

void append_hex_text(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    out.resize(start + 2 + 2 * bytes.size());
    write_hex_text(out.data() + start, bytes);
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
