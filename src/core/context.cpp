#include "core/context.hpp"

namespace kestrix::core {

// Placeholder until the JSON reader lands.
std::expected<ErrorContext, std::string> parse_error_context(std::string_view) {
    return ErrorContext{};
}

} // namespace kestrix::core
