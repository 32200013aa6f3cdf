/// JSON text through the context reader: only valid JSON objects are accepted, failures say
/// where (line and column), accepted texts hold UTF-8, and a context written back as JSON reads
/// back to the same context.

#include "core/context.hpp"
#include "fuzz_checks.hpp"
#include "python/json_text.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

using kestrix::fuzz::check;
namespace core = kestrix::core;

void append_field(std::string& out, std::string_view key, const std::optional<std::string>& value) {
    out += out.size() > 1 ? "," : "";
    kestrix::python::append_json_string(out, key);
    out += ':';
    if (!value) {
        out += "null";
        return;
    }
    check(kestrix::fuzz::is_valid_utf8(*value), "context texts are UTF-8");
    kestrix::python::append_json_string(out, *value);
}

std::string write_back(const core::ErrorContext& context) {
    std::string out = "{";
    append_field(out, "chain", context.chain);
    append_field(out, "tx_hash", context.tx_hash);
    append_field(out, "contract_address", context.contract_address);
    append_field(out, "call_selector", context.call_selector);
    out += ",\"block_number\":";
    out += context.block_number ? std::to_string(*context.block_number) : "null";
    out += '}';
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto context = core::parse_error_context(text);
    if (!context) {
        check(context.error().find("line ") != std::string::npos &&
                  context.error().find("column ") != std::string::npos,
              "a failure names its line and column");
        return 0;
    }
    check(kestrix::fuzz::is_json(text), "only valid JSON is accepted");
    const std::string_view trimmed = text.substr(text.find_first_not_of(" \t\r\n"));
    check(trimmed.starts_with('{'), "only a JSON object is accepted");
    const std::string written = write_back(*context);
    check(kestrix::fuzz::is_json(written), "the written context is JSON");
    const auto reread = core::parse_error_context(written);
    check(reread.has_value() && *reread == *context, "the context reads back unchanged");
    return 0;
}
