#include "tools/user_registry.hpp"

#include "abi/decode.hpp"
#include "abi/types.hpp"
#include "core/selector.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrix::tools {

namespace {

constexpr std::string_view kUserSource = "user";

bool is_identifier(std::string_view text) noexcept {
    const auto start = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
    };
    if (text.empty() || !start(text.front())) return false;
    for (const char c : text)
        if (!start(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

/// 'text', cut short when long, for messages. The cut never splits a UTF-8 sequence: the
/// message must stay valid text.
std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 60;
    std::size_t cut = std::min(text.size(), kShown);
    if (cut < text.size()) {
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
    }
    std::string out = "'";
    out.append(text.substr(0, cut));
    if (text.size() > cut) out.append("...");
    out.push_back('\'');
    return out;
}

std::expected<core::ErrorParam, std::string> canonical_at(const ParamDefinition& param,
                                                          std::size_t depth) {
    const std::string_view type = param.type;
    const std::string_view base = type.substr(0, type.find('['));
    const std::string_view suffix = type.substr(base.size());
    core::ErrorParam out{param.name, {}, {}};

    std::string text;
    if (base == "tuple") {
        if (!param.components) return std::unexpected("type " + quoted(type) + " needs components");
        if (depth >= kMaxComponentNesting) return std::unexpected("components nested too deeply");
        text.push_back('(');
        out.components.reserve(param.components->size());
        for (const ParamDefinition& component : *param.components) {
            auto member = canonical_at(component, depth + 1);
            if (!member) return member;
            if (!out.components.empty()) text.push_back(',');
            text.append(member->type);
            out.components.push_back(std::move(*member));
        }
        text.push_back(')');
        text.append(suffix);
    } else {
        if (param.components) {
            return std::unexpected("components given for type " + quoted(type) +
                                   ", which is not a tuple");
        }
        text.assign(type);
    }
    auto parsed = abi::parse_abi_type(text);
    if (!parsed) {
        const std::string_view why = parsed.error().message;
        return std::unexpected("invalid type " + quoted(type) + " (" +
                               std::string(why.substr(0, why.find('\n'))) + ")");
    }
    // What loads must decode: the decoder reads kMaxDecodeDepth levels, and an empty tuple
    // occupies no data, so an array of them would carry a length nothing can check.
    if (depth == 0 && abi::nesting_levels(*parsed) > abi::kMaxDecodeDepth) {
        return std::unexpected("type " + quoted(type) + " nested deeper than " +
                               std::to_string(abi::kMaxDecodeDepth) +
                               " levels (tuples and array dimensions)");
    }
    if (depth == 0 && abi::holds_empty_tuple(*parsed)) {
        return std::unexpected("type " + quoted(text) +
                               " holds an empty tuple '()', which has no encoding to decode");
    }
    out.type = abi::canonical_type_text(*parsed);
    return out;
}

/// The hint the built-ins report for the error with this canonical signature (the hint of the
/// first built-in of its name), so that a user's copy without NatSpec does not lose it.
std::optional<std::string> builtin_hint(std::string_view name, std::string_view signature) {
    const core::BuiltinSignatureRow* first_of_name = nullptr;
    for (const core::BuiltinSignatureRow& row : core::builtin_error_signatures()) {
        if (row.name != name) continue;
        if (first_of_name == nullptr) first_of_name = &row;
        if (row.signature == signature && first_of_name->suggestion)
            return std::string(*first_of_name->suggestion);
    }
    return std::nullopt;
}

/// "error 'Name'" and, from the parameter's position on, "parameter N 'name'".
std::string where(const ErrorDefinition& error, std::size_t index) {
    std::string out = "error " + quoted(error.name) + ", parameter " + std::to_string(index + 1);
    if (!error.params[index].name.empty()) out.append(" ").append(quoted(error.params[index].name));
    return out;
}

std::expected<core::ErrorSignature, std::string> entry_of(const ErrorDefinition& error) {
    if (!is_identifier(error.name)) {
        return std::unexpected("error name " + quoted(error.name) + " is not an identifier");
    }
    core::ErrorSignature entry;
    entry.name = error.name;
    entry.signature = error.name + "(";
    entry.params.reserve(error.params.size());
    for (std::size_t i = 0; i < error.params.size(); ++i) {
        auto param = canonical_at(error.params[i], 0);
        if (!param) return std::unexpected(where(error, i) + ": " + param.error());
        if (i > 0) entry.signature.push_back(',');
        entry.signature.append(param->type);
        entry.params.push_back(std::move(*param));
    }
    entry.signature.push_back(')');
    entry.source.assign(kUserSource);
    entry.suggestion =
        error.suggestion ? error.suggestion : builtin_hint(entry.name, entry.signature);
    entry.selector = core::selector_of(entry.signature);
    entry.forms = core::InputForms::Lossless;
    return entry;
}

} // namespace

std::expected<core::ErrorParam, std::string> canonical_param(const ParamDefinition& param) {
    return canonical_at(param, 0);
}

std::expected<UserErrors, std::string>
build_user_registry(std::span<const ErrorDefinition> definitions) {
    auto registry = std::make_shared<core::IndexedErrorRegistry>(core::HintRule::OwnEntry);
    registry->reserve(definitions.size());
    UserErrors built;
    built.signatures.reserve(definitions.size());
    for (const ErrorDefinition& definition : definitions) {
        auto entry = entry_of(definition);
        if (!entry) return std::unexpected(std::move(entry.error()));
        built.signatures.push_back(entry->signature);
        registry->register_entry(std::move(*entry));
    }
    built.registry = std::move(registry);
    return built;
}

core::RegistryHandle chain_with_builtins(core::RegistryHandle user, core::RegistryHandle after) {
    core::RegistryHandle tail = core::BuiltinErrorRegistry::build();
    if (after) tail = std::make_shared<core::ChainErrorRegistry>(std::move(tail), std::move(after));
    return std::make_shared<core::ChainErrorRegistry>(std::move(user), std::move(tail));
}

} // namespace kestrix::tools
