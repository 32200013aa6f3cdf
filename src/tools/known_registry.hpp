#pragma once
/// The registries behind the built-ins: the errors of well-known protocols (with the tables that
/// explain their revert texts) and the user's own signature database. Both are read from text
/// and parse an entry's types only when its selector is first looked up.

#include "core/reason_table.hpp"
#include "core/registry.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace kestrix::tools {

/// Confidence of a decode by a known error and by a signature-database entry.
inline constexpr float kKnownConfidence = 0.9f;
inline constexpr float kSignatureDbConfidence = 0.5f;

/// The known errors, from their compact text (one line per entry, sorted by selector:
/// "selector TAB signature TAB names TAB hint TAB project"), and the reason tables, from theirs
/// (one line per entry: "E|P TAB R|F TAB text TAB meaning"). Lines that do not parse are passed
/// over; a whole file that is not such text is refused.
[[nodiscard]] std::expected<core::RegistryHandle, std::string>
build_known_registry(std::string errors_text, std::string_view reasons_text);

/// The user's signature database at `path`: a text file of canonical signatures, one per line
/// (blank lines and lines starting with '#' are skipped), read and indexed at once; or a folder
/// holding one file per selector, named by its eight hex digits, of signatures separated by
/// ';', of which a lookup reads the one file it needs.
[[nodiscard]] std::expected<core::RegistryHandle, std::string>
open_signature_db(const std::string& path);

} // namespace kestrix::tools
