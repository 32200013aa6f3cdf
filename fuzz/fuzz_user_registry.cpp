/// Error definitions through the user registry, then revert data through the chain of the
/// user's errors and the built-ins. Input: definition lines, a NUL byte, then the data. A line is
/// "name;suggestion;params" (suggestion "-" for none); params are "name:type" separated by ",",
/// a tuple's components in braces after its type ("p:tuple[]{a:uint256,b:bytes}"). When the
/// data's first byte has its high bit set, the data become the selector of the definition it
/// picks followed by the rest, so decodes reach the user's errors.
///
/// A build either fails with a message or files every definition under a canonical signature
/// whose parameter list parses; a decode always yields a record, and a custom error it reports
/// is one of the user's (under its signature's selector) or a built-in, with valid JSON inputs.

#include "abi/types.hpp"
#include "abi/utf8.hpp"
#include "core/selector.hpp"
#include "evm/pipeline.hpp"
#include "fuzz_checks.hpp"
#include "python/inputs_json.hpp"
#include "tools/user_registry.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

using kestrix::fuzz::check;
namespace core = kestrix::core;
namespace tools = kestrix::tools;

/// Deeper than the registry accepts, so that its refusal is reached too.
constexpr int kMaxHarnessNesting = 120;

std::string take_until(std::string_view text, std::size_t& at, std::string_view stops) {
    const std::size_t end = std::min(text.find_first_of(stops, at), text.size());
    std::string taken(text.substr(at, end - at));
    at = end;
    return taken;
}

/// Parameters up to the closing brace or the end; every step consumes input.
std::vector<tools::ParamDefinition> parse_params(std::string_view text, std::size_t& at,
                                                 int depth) {
    std::vector<tools::ParamDefinition> params;
    while (at < text.size() && text[at] != '}') {
        tools::ParamDefinition param;
        param.name = take_until(text, at, ":,{}");
        if (at < text.size() && text[at] == ':') {
            ++at;
            param.type = take_until(text, at, ",{}");
        }
        if (at < text.size() && text[at] == '{') {
            ++at;
            if (depth < kMaxHarnessNesting) {
                param.components = parse_params(text, at, depth + 1);
            } else {
                param.components.emplace();
                take_until(text, at, "}");
            }
            if (at < text.size()) ++at; // the closing brace
        }
        params.push_back(std::move(param));
        if (at < text.size() && text[at] == ',') ++at;
    }
    return params;
}

std::vector<tools::ErrorDefinition> parse_definitions(std::string_view text) {
    std::vector<tools::ErrorDefinition> definitions;
    std::size_t line_start = 0;
    while (line_start < text.size()) {
        const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
        const std::string_view line = text.substr(line_start, line_end - line_start);
        line_start = line_end + 1;
        std::size_t at = 0;
        tools::ErrorDefinition definition;
        definition.name = take_until(line, at, ";");
        if (at < line.size()) ++at;
        std::string suggestion = take_until(line, at, ";");
        if (suggestion != "-") definition.suggestion = std::move(suggestion);
        if (at < line.size()) ++at;
        definition.params = parse_params(line, at, 0);
        definitions.push_back(std::move(definition));
    }
    return definitions;
}

void check_signatures(std::span<const tools::ErrorDefinition> definitions,
                      const tools::UserErrors& built) {
    check(built.signatures.size() == definitions.size() &&
              built.registry->len() == definitions.size(),
          "every definition is filed once, in order");
    for (std::size_t i = 0; i < definitions.size(); ++i) {
        const std::string& signature = built.signatures[i];
        const std::string& name = definitions[i].name;
        check(signature.starts_with(name + "(") && signature.ends_with(")"),
              "the signature is the name and a parenthesised list");
        const std::string list = signature.substr(name.size());
        const auto parsed = kestrix::abi::parse_abi_type(list);
        // Each parameter's type is checked on its own; the list adds one tuple level, so a
        // parameter at the nesting limit makes a list one level past it.
        if (!parsed && parsed.error().message.find("nested too deeply") != std::string::npos) {
            continue;
        }
        check(parsed.has_value() && parsed->kind == kestrix::abi::AbiKind::Tuple &&
                  parsed->children.size() == definitions[i].params.size(),
              "the parameter list parses, one type per parameter");
    }
}

bool is_user_error(std::span<const tools::ErrorDefinition> definitions,
                   const tools::UserErrors& built, const core::CustomError& error,
                   const core::Selector& selector) {
    for (std::size_t i = 0; i < definitions.size(); ++i) {
        if (definitions[i].name == error.name &&
            core::selector_of(built.signatures[i]) == selector &&
            definitions[i].params.size() == error.inputs.size()) {
            return true;
        }
    }
    return false;
}

bool is_builtin_error(const core::CustomError& error, const core::Selector& selector) {
    return std::ranges::any_of(core::builtin_error_signatures(), [&](const auto& row) {
        return row.name == error.name && core::selector_of(row.signature) == selector;
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = std::min(input.find('\0'), input.size());
    // Definitions come from Python strings, so their texts are always valid UTF-8.
    const std::string text = kestrix::abi::utf8_replace_invalid(std::span(data, split));
    const auto definitions = parse_definitions(text);
    auto built = tools::build_user_registry(definitions);
    if (!built) {
        check(!built.error().empty(), "a refused build says why");
        return 0;
    }
    check_signatures(definitions, *built);

    core::Bytes revert(data + std::min(split + 1, size), data + size);
    if (!revert.empty() && (revert.front() & 0x80) != 0 && !definitions.empty()) {
        const core::Selector selector =
            core::selector_of(built->signatures[revert.front() % definitions.size()]);
        revert.erase(revert.begin());
        revert.insert(revert.begin(), selector.begin(), selector.end());
    }
    // The chain the companion's decoder builds, over one built-in registry for the whole run.
    static const core::RegistryHandle builtins = core::BuiltinErrorRegistry::build();
    const core::ChainErrorRegistry chain(built->registry, builtins);
    const auto decoded = kestrix::evm::decode_revert(chain, revert, std::nullopt);
    check(decoded.has_value() && decoded->raw_data == revert, "a record holding the data");
    if (const auto* error = std::get_if<core::CustomError>(&decoded->kind)) {
        check(is_user_error(definitions, *built, *error, *decoded->selector) ||
                  is_builtin_error(*error, *decoded->selector),
              "a custom error is the user's or a built-in, under its own selector");
        const std::string json = kestrix::python::inputs_to_json(error->inputs);
        check(kestrix::fuzz::is_valid_utf8(json) && kestrix::fuzz::is_json(json),
              "inputs JSON is valid UTF-8 JSON");
    }
    return 0;
}
