#include "core/registry.hpp"

namespace kestrix::core {

// Placeholder until the indexes land: an empty registry.
struct BuiltinErrorRegistry::Indexes {};

BuiltinErrorRegistry::BuiltinErrorRegistry() : indexes_(std::make_unique<Indexes>()) {}
BuiltinErrorRegistry::~BuiltinErrorRegistry() = default;

std::span<const BuiltinSignatureRow> builtin_error_signatures() noexcept {
    return {};
}

RegistryHandle BuiltinErrorRegistry::build() {
    return std::make_shared<BuiltinErrorRegistry>();
}
void BuiltinErrorRegistry::register_entry(const ErrorSignature&) {}
std::vector<ErrorSignature> BuiltinErrorRegistry::lookup(const Selector&) const {
    return {};
}
std::optional<ErrorSignature> BuiltinErrorRegistry::lookup_by_name(std::string_view) const {
    return std::nullopt;
}
std::size_t BuiltinErrorRegistry::len() const {
    return 0;
}

} // namespace kestrix::core
