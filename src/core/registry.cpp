#include "core/registry.hpp"

#include "core/keyed_hash.hpp"
#include "core/selector.hpp"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

namespace kestrix::core {

namespace {

constexpr std::string_view kBuiltinSource = "bundled";

std::span<const std::uint8_t> bytes_of(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// Selector keys hashed with the process key; the four bytes are hashed in data order.
struct SelectorHash {
    HashKey key = process_hash_key();
    std::size_t operator()(const Selector& selector) const noexcept {
        return static_cast<std::size_t>(siphash13(key, selector));
    }
};

/// Hashes an entry by its name, and a bare name the same way, so that the name index can be
/// a set of entries searched by name: the entry's own name is the key and is not stored twice.
struct NameHash {
    using is_transparent = void;
    HashKey key = process_hash_key();
    std::size_t operator()(std::string_view name) const noexcept {
        return static_cast<std::size_t>(siphash13(key, bytes_of(name)));
    }
    std::size_t operator()(const ErrorSignature& entry) const noexcept {
        return (*this)(std::string_view{entry.name});
    }
};

/// Byte-for-byte (case-sensitive) name equality between entries and bare names.
struct NameEqual {
    using is_transparent = void;
    static std::string_view name_of(std::string_view name) noexcept { return name; }
    static std::string_view name_of(const ErrorSignature& entry) noexcept { return entry.name; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
        return name_of(a) == name_of(b);
    }
};

ErrorSignature entry_from_row(const BuiltinSignatureRow& row) {
    ErrorSignature entry;
    entry.name.assign(row.name);
    entry.signature.assign(row.signature);
    entry.params.reserve(row.params.size());
    for (const BuiltinParamRow& param : row.params) {
        entry.params.push_back(ErrorParam{std::string(param.name), std::string(param.type)});
    }
    entry.source.assign(kBuiltinSource);
    if (row.suggestion) entry.suggestion.emplace(*row.suggestion);
    entry.selector = selector_of(entry.signature);
    return entry;
}

} // namespace

/// Two indexes, each holding its own complete copy of every entry and guarded by its own
/// reader-writer lock. Whoever needs both locks takes `selector_lock` first.
struct BuiltinErrorRegistry::Indexes {
    mutable std::shared_mutex selector_lock;
    std::unordered_map<Selector, std::vector<ErrorSignature>, SelectorHash> by_selector;

    mutable std::shared_mutex name_lock;
    std::unordered_set<ErrorSignature, NameHash, NameEqual> by_name;
};

BuiltinErrorRegistry::BuiltinErrorRegistry() : indexes_(std::make_unique<Indexes>()) {}
BuiltinErrorRegistry::~BuiltinErrorRegistry() = default;

RegistryHandle BuiltinErrorRegistry::build() {
    auto registry = std::make_shared<BuiltinErrorRegistry>();
    const auto rows = builtin_error_signatures();
    registry->indexes_->by_selector.reserve(rows.size());
    registry->indexes_->by_name.reserve(rows.size());
    for (const BuiltinSignatureRow& row : rows)
        registry->insert(entry_from_row(row));
    return registry;
}

void BuiltinErrorRegistry::register_entry(const ErrorSignature& entry) {
    insert(ErrorSignature(entry));
}

void BuiltinErrorRegistry::insert(ErrorSignature&& entry) {
    Indexes& ix = *indexes_;
    const std::unique_lock selector_guard(ix.selector_lock);
    const std::unique_lock name_guard(ix.name_lock);
    // A set keeps the element it already holds: the first entry filed under a name keeps it,
    // later ones are reachable by selector only.
    ix.by_name.insert(entry);
    ix.by_selector[entry.selector].push_back(std::move(entry));
}

std::vector<ErrorSignature> BuiltinErrorRegistry::lookup(const Selector& selector) const {
    const Indexes& ix = *indexes_;
    const std::shared_lock guard(ix.selector_lock);
    if (ix.by_selector.empty()) return {};
    const auto found = ix.by_selector.find(selector);
    if (found == ix.by_selector.end()) return {};
    return found->second;
}

std::optional<ErrorSignature> BuiltinErrorRegistry::lookup_by_name(std::string_view name) const {
    const Indexes& ix = *indexes_;
    const std::shared_lock guard(ix.name_lock);
    if (ix.by_name.empty()) return std::nullopt;
    const auto found = ix.by_name.find(name);
    if (found == ix.by_name.end()) return std::nullopt;
    return *found;
}

std::size_t BuiltinErrorRegistry::len() const {
    const Indexes& ix = *indexes_;
    const std::shared_lock guard(ix.selector_lock);
    std::size_t count = 0;
    for (const auto& [selector, entries] : ix.by_selector)
        count += entries.size();
    return count;
}

} // namespace kestrix::core
