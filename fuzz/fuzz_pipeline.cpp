/// Raw bytes through the revert pipeline with the built-in registry: every input yields a
/// record whose kind, selector, confidence and data agree with the input, and whose custom-error
/// inputs form valid UTF-8 JSON.

#include "core/registry.hpp"
#include "core/selector.hpp"
#include "evm/pipeline.hpp"
#include "fuzz_checks.hpp"
#include "python/inputs_json.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace {

using kestrix::fuzz::check;
namespace core = kestrix::core;

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

const core::ErrorRegistry& registry() {
    static const core::RegistryHandle handle = core::BuiltinErrorRegistry::build();
    return *handle;
}

bool is_lower_hex(std::string_view text) {
    return std::ranges::all_of(
        text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void check_input(const core::InputValue& value) {
    std::visit(Overloaded{
                   [](const core::InputBigUint& big) {
                       // Values below 2^128 (39 digits at most) are InputUint instead.
                       check(big.digits.size() >= 39 && big.digits.size() <= 78 &&
                                 big.digits.front() != '0' &&
                                 std::ranges::all_of(big.digits,
                                                     [](char c) { return c >= '0' && c <= '9'; }),
                             "big unsigned value as plain decimal digits");
                   },
                   [](const core::InputStr& text) {
                       check(kestrix::fuzz::is_valid_utf8(text.value), "string input is UTF-8");
                   },
                   [](const core::InputAddress& address) {
                       check(address.text.size() == 42 && address.text.starts_with("0x") &&
                                 is_lower_hex(std::string_view(address.text).substr(2)),
                             "address text is 0x and 40 lowercase hex digits");
                   },
                   [](const auto&) {},
               },
               value);
}

void check_custom_error(const core::CustomError& error, const core::Selector& selector,
                        const std::optional<std::string>& suggestion) {
    const auto matches = [&](const core::RegisteredError& entry) {
        const auto& params = entry.signature.params;
        return entry.signature.name == error.name && *entry.hint == suggestion &&
               std::ranges::equal(params, error.inputs,
                                  [](const core::ErrorParam& param, const core::NamedInput& input) {
                                      return param.name == input.first;
                                  });
    };
    const bool registered = registry().find_candidate(selector, matches) != nullptr;
    check(registered,
          "custom error names a registered entry, its parameters in order and its suggestion");
    for (const core::NamedInput& input : error.inputs)
        check_input(input.second);
    const std::string json = kestrix::python::inputs_to_json(error.inputs);
    check(kestrix::fuzz::is_valid_utf8(json) && kestrix::fuzz::is_json(json),
          "inputs JSON is valid UTF-8 JSON");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const core::ErrorContext context{"chain", std::nullopt, "0x", std::nullopt, size};
    auto decoded = kestrix::evm::decode_revert(registry(), bytes, context);
    check(decoded.has_value(), "the pipeline yields a record for every input");
    const core::DecodedError& record = *decoded;
    check(record.context == context, "the context is carried unchanged");
    check(std::ranges::equal(record.raw_data, bytes), "raw data equals the input");
    check(record.selector.has_value() == (size >= 4), "a selector exactly for four bytes or more");
    if (record.selector) {
        check(std::ranges::equal(*record.selector, bytes.first(4)),
              "the selector is the first four bytes");
    }

    std::visit(
        Overloaded{
            [&](const core::Empty&) {
                check(size == 0 && record.confidence == 0.5f, "empty: no data, confidence 0.5");
            },
            [&](const core::RevertString& reason) {
                check(record.selector == kestrix::evm::kErrorStringSelector &&
                          record.confidence == 1.0f,
                      "revert string: Error(string) selector, confidence 1");
                check(kestrix::fuzz::is_valid_utf8(reason.message) &&
                          !reason.message.ends_with('\0'),
                      "revert string: UTF-8 text without trailing NULs");
            },
            [&](const core::Panic& panic) {
                check(record.selector == kestrix::evm::kPanicSelector &&
                          record.confidence == 1.0f && !panic.meaning.empty(),
                      "panic: Panic(uint256) selector, confidence 1, a meaning");
                check(size >= 36 && std::all_of(data + 4, data + 28, [](auto b) { return b == 0; }),
                      "panic: the code word's high 24 bytes are zero");
                std::uint64_t code = 0;
                for (std::size_t i = 28; i < 36; ++i)
                    code = (code << 8) | data[i];
                check(panic.code == code, "panic: the code is the word's value");
            },
            [&](const core::CustomError& error) {
                check(record.confidence == 0.95f, "custom error: confidence 0.95");
                check_custom_error(error, *record.selector, record.suggestion);
            },
            [&](const core::RawRevert& raw) {
                check(record.confidence == 0.0f, "raw revert: confidence 0");
                check(size > 0 && std::ranges::equal(raw.data, bytes), "raw revert: the data");
                check(record.selector ? raw.selector == core::selector_hex(*record.selector)
                                      : raw.selector == "none",
                      "raw revert: the selector text");
            },
            [&](const core::OutOfGas&) { check(false, "out of gas is never produced"); },
            [&](const core::ContractNotDeployed&) {
                check(false, "contract not deployed is never produced");
            },
        },
        record.kind);
    return 0;
}
