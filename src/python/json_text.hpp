#pragma once
/// Writing JSON strings, shared by the custom-error inputs and the context text.

#include <string>
#include <string_view>

namespace kestrix::python {

/// Appends `text` as a JSON string (with the quotes). Escapes byte by byte: '"' and '\\' get a
/// backslash; 0x08, 0x09, 0x0A, 0x0C, 0x0D become \b \t \n \f \r; other bytes below 0x20 become
/// \u00XX (lowercase); every other byte (0x7F, '/', non-ASCII) is copied unchanged.
void append_json_string(std::string& out, std::string_view text);

} // namespace kestrix::python
