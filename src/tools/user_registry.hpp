#pragma once
/// The registry of errors the user defines (from JSON ABIs, signatures, artifacts), filed in the
/// order given and consulted before the built-in errors.

#include "core/registry.hpp"

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrix::tools {

/// One parameter as a JSON ABI writes it: `type` is "uint", "bytes32", "tuple[2][]", ...;
/// `components` is given exactly when the base type is "tuple".
struct ParamDefinition {
    std::string name;
    std::string type;
    std::optional<std::vector<ParamDefinition>> components;
};

/// One error: its name, its parameters and the suggestion a decode of it reports.
struct ErrorDefinition {
    std::string name;
    std::vector<ParamDefinition> params;
    std::optional<std::string> suggestion;
};

/// A built user registry and the canonical signature of each entry, in the order given.
struct UserErrors {
    core::RegistryHandle registry;
    std::vector<std::string> signatures;
};

/// Components nested deeper than this are refused: the type parser refuses tuples nested this
/// deep anyway, and the bound keeps every walk over a definition shallow.
inline constexpr std::size_t kMaxComponentNesting = 80;

/// The parameter with its canonical type text ("uint256", "(address,bytes)[]") and its
/// components' names, or a short text saying what is wrong with it.
[[nodiscard]] std::expected<core::ErrorParam, std::string>
canonical_param(const ParamDefinition& param);

/// Files every definition, in order and without de-duplication, with lossless argument forms
/// and its own suggestion. The first malformed definition fails the whole build with a short
/// text naming the error and what is wrong; nothing is kept then.
[[nodiscard]] std::expected<UserErrors, std::string>
build_user_registry(std::span<const ErrorDefinition> definitions);

/// The user's registry asked first, a fresh built-in registry second, then `after` (when given).
[[nodiscard]] core::RegistryHandle chain_with_builtins(core::RegistryHandle user,
                                                       core::RegistryHandle after = nullptr);

} // namespace kestrix::tools
