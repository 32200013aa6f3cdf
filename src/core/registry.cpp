#include "core/registry.hpp"

#include "core/keyed_hash.hpp"
#include "core/selector.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <unordered_map>

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

/// Name keys hashed with the process key.
struct NameHash {
    HashKey key = process_hash_key();
    std::size_t operator()(std::string_view name) const noexcept {
        return static_cast<std::size_t>(siphash13(key, bytes_of(name)));
    }
};

/// The parameter types of `entry`, each parsed once; nullopt when one does not parse.
std::optional<std::vector<abi::AbiType>> parse_param_types(const ErrorSignature& entry) {
    std::vector<abi::AbiType> types;
    types.reserve(entry.params.size());
    for (const ErrorParam& param : entry.params) {
        auto type = abi::parse_abi_type(param.type);
        if (!type) return std::nullopt;
        types.push_back(std::move(*type));
    }
    return types;
}

ErrorSignature entry_from_row(const BuiltinSignatureRow& row, const Selector& selector) {
    ErrorSignature entry;
    entry.name.assign(row.name);
    entry.signature.assign(row.signature);
    entry.params.reserve(row.params.size());
    for (const BuiltinParamRow& param : row.params) {
        entry.params.push_back(ErrorParam{std::string(param.name), std::string(param.type), {}});
    }
    entry.source.assign(kBuiltinSource);
    if (row.suggestion) entry.suggestion.emplace(*row.suggestion);
    entry.selector = selector;
    return entry;
}

} // namespace

/// The entries themselves, in a deque so that filing one never moves another (the indexes and
/// the hints point into it), and the two indexes of pointers into it. A name index key is a
/// view of the owning entry's own name.
struct IndexedErrorRegistry::Indexes {
    std::deque<RegisteredError> entries;
    std::unordered_map<Selector, std::vector<const RegisteredError*>, SelectorHash> by_selector;
    std::unordered_map<std::string_view, const RegisteredError*, NameHash> by_name;
};

IndexedErrorRegistry::IndexedErrorRegistry(HintRule rule)
    : rule_(rule), indexes_(std::make_unique<Indexes>()) {}
IndexedErrorRegistry::~IndexedErrorRegistry() = default;

void IndexedErrorRegistry::reserve(std::size_t count) {
    Indexes& ix = *indexes_;
    ix.by_selector.reserve(ix.by_selector.size() + count);
    ix.by_name.reserve(ix.by_name.size() + count);
}

void IndexedErrorRegistry::register_entry(ErrorSignature entry) {
    Indexes& ix = *indexes_;
    auto types = parse_param_types(entry);
    RegisteredError& filed =
        ix.entries.emplace_back(RegisteredError{std::move(entry), std::move(types), nullptr});
    filed.hint = &filed.signature.suggestion;
    // The first entry filed under a name keeps it; later ones are reachable by selector only.
    const auto [owner, inserted] = ix.by_name.try_emplace(filed.signature.name, &filed);
    if (!inserted && rule_ == HintRule::FirstOfName)
        filed.hint = &owner->second->signature.suggestion;
    ix.by_selector[filed.signature.selector].push_back(&filed);
}

std::span<const RegisteredError* const>
IndexedErrorRegistry::lookup(const Selector& selector) const noexcept {
    const Indexes& ix = *indexes_;
    if (ix.by_selector.empty()) return {};
    const auto found = ix.by_selector.find(selector);
    if (found == ix.by_selector.end()) return {};
    return found->second;
}

const RegisteredError* IndexedErrorRegistry::find_candidate(const Selector& selector,
                                                            CandidateFilter take) const {
    for (const RegisteredError* candidate : lookup(selector))
        if (take(*candidate)) return candidate;
    return nullptr;
}

const RegisteredError* IndexedErrorRegistry::lookup_by_name(std::string_view name) const noexcept {
    const Indexes& ix = *indexes_;
    if (ix.by_name.empty()) return nullptr;
    const auto found = ix.by_name.find(name);
    return found == ix.by_name.end() ? nullptr : found->second;
}

std::size_t IndexedErrorRegistry::len() const noexcept {
    return indexes_->entries.size();
}

RegistryHandle BuiltinErrorRegistry::build() {
    auto registry = std::make_shared<BuiltinErrorRegistry>();
    const auto rows = builtin_error_signatures();
    registry->reserve(rows.size());
    // The selectors of a group of rows are computed together, which costs a third as much.
    constexpr std::size_t kGroup = 4;
    for (std::size_t first = 0; first < rows.size(); first += kGroup) {
        const auto group = rows.subspan(first, std::min(kGroup, rows.size() - first));
        std::array<std::string_view, kGroup> signatures;
        for (std::size_t k = 0; k < group.size(); ++k)
            signatures[k] = group[k].signature;
        std::array<Selector, kGroup> selectors;
        selectors_of(std::span(signatures).first(group.size()), selectors);
        for (std::size_t k = 0; k < group.size(); ++k)
            registry->register_entry(entry_from_row(group[k], selectors[k]));
    }
    return registry;
}

const RegisteredError* ChainErrorRegistry::find_candidate(const Selector& selector,
                                                          CandidateFilter take) const {
    if (const RegisteredError* found = first_->find_candidate(selector, take)) return found;
    return second_->find_candidate(selector, take);
}

const RegisteredError* ChainErrorRegistry::lookup_by_name(std::string_view name) const noexcept {
    if (const RegisteredError* found = first_->lookup_by_name(name)) return found;
    return second_->lookup_by_name(name);
}

const ReasonTable* ChainErrorRegistry::reason_table() const noexcept {
    if (const ReasonTable* found = first_->reason_table()) return found;
    return second_->reason_table();
}

std::size_t ChainErrorRegistry::len() const noexcept {
    return first_->len() + second_->len();
}

} // namespace kestrix::core
