#pragma once
/// The signature registry: known custom errors by selector and by name.

#include "abi/types.hpp"
#include "core/function_ref.hpp"
#include "core/records.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix::core {

struct ErrorParam {
    std::string name;
    /// Solidity ABI type as written ("address", "uint256", "(address,bytes)[]", ...).
    std::string type;
    /// The members of the tuple at the base of `type` (a tuple or an array of tuples), for
    /// their names; empty otherwise, and where member names are not known.
    std::vector<ErrorParam> components;
    bool operator==(const ErrorParam&) const = default;
};

/// How the arguments of an entry are reported: the built-in errors keep the compact forms their
/// results have always had; errors given by the user get forms that lose nothing (fixed bytes
/// with their declared size, arrays and tuples as nested values, functions as 24 bytes).
enum class InputForms : std::uint8_t { Compact, Lossless };

struct ErrorSignature {
    std::string name;
    /// Canonical signature text hashed for the selector, e.g. "ERC20InvalidSender(address)".
    std::string signature;
    std::vector<ErrorParam> params;
    std::string source;
    std::optional<std::string> suggestion;
    Selector selector{};
    InputForms forms = InputForms::Compact;
    bool operator==(const ErrorSignature&) const = default;
};

/// An entry as a registry files it: the signature, its parameter types parsed once when it was
/// filed, and the suggestion a decode of it reports.
struct RegisteredError {
    ErrorSignature signature;
    /// One parsed type per parameter; nullopt when a type text does not parse (such an entry
    /// only decodes when it has no parameters at all).
    std::optional<std::vector<abi::AbiType>> types;
    /// The suggestion reported for this entry; points into the registry that filed it.
    const std::optional<std::string>* hint = nullptr;
    /// The confidence a decode of this entry reports.
    float confidence = 0.95f;
    /// Whether the data must be exactly the canonical encoding of the parameters. A registry
    /// of such entries offers every candidate of a selector, so that the others that also fit
    /// are reported as alternatives.
    bool exact = false;
};

class ReasonTable;

/// Called with each candidate in turn; returns true to take it.
using CandidateFilter = FunctionRef<bool(const RegisteredError&)>;

/// How the decoder consults known errors. Entries are handed out by reference into the
/// registry, which is read-only once built; no lookup copies or allocates.
class ErrorRegistry {
public:
    virtual ~ErrorRegistry() = default;
    /// Offers every entry registered under `selector`, in registration order, to `take` until it
    /// accepts one; returns that entry, or nullptr when none was taken.
    [[nodiscard]] virtual const RegisteredError* find_candidate(const Selector& selector,
                                                                CandidateFilter take) const = 0;
    /// The entry that owns exactly `name` (case-sensitive), if any.
    [[nodiscard]] virtual const RegisteredError*
    lookup_by_name(std::string_view name) const noexcept = 0;
    /// Number of entries, counted over all selector lists.
    [[nodiscard]] virtual std::size_t len() const noexcept = 0;
    [[nodiscard]] bool is_empty() const noexcept { return len() == 0; }
    /// The table that explains revert texts, if this registry brings one.
    [[nodiscard]] virtual const ReasonTable* reason_table() const noexcept { return nullptr; }
};

/// Shared, atomically counted handle; the registry is read-only once built.
using RegistryHandle = std::shared_ptr<const ErrorRegistry>;

/// Which suggestion an entry reports.
enum class HintRule : std::uint8_t {
    /// The suggestion of the first entry filed under the entry's name.
    FirstOfName,
    /// The entry's own suggestion.
    OwnEntry,
};

/// A registry indexed by selector and by name. Entries are filed while it is built, before it
/// is shared; afterwards it is only read, so lookups need no lock.
class IndexedErrorRegistry : public ErrorRegistry {
public:
    explicit IndexedErrorRegistry(HintRule rule);
    ~IndexedErrorRegistry() override;
    IndexedErrorRegistry(const IndexedErrorRegistry&) = delete;
    IndexedErrorRegistry& operator=(const IndexedErrorRegistry&) = delete;

    [[nodiscard]] const RegisteredError* find_candidate(const Selector& selector,
                                                        CandidateFilter take) const override;
    [[nodiscard]] const RegisteredError*
    lookup_by_name(std::string_view name) const noexcept override;
    [[nodiscard]] std::size_t len() const noexcept override;

    /// Every entry registered under `selector`, in registration order; empty when none.
    [[nodiscard]] std::span<const RegisteredError* const>
    lookup(const Selector& selector) const noexcept;

    /// Files `entry` under its selector and, unless the name is taken, under its name, parsing
    /// its parameter types once.
    void register_entry(ErrorSignature entry);
    /// Reserves room for `count` more entries.
    void reserve(std::size_t count);

private:
    struct Indexes;
    HintRule rule_;
    std::unique_ptr<Indexes> indexes_;
};

/// One row of the built-in table.
struct BuiltinParamRow {
    std::string_view name;
    std::string_view type;
};
struct BuiltinSignatureRow {
    std::string_view name;
    std::string_view signature;
    std::span<const BuiltinParamRow> params;
    std::optional<std::string_view> suggestion;
};

/// The 45 built-in custom errors, in registration order.
[[nodiscard]] std::span<const BuiltinSignatureRow> builtin_error_signatures() noexcept;

/// The registry filled from the built-in table. A later entry that shares a name with an earlier
/// one reports the earlier one's suggestion.
class BuiltinErrorRegistry final : public IndexedErrorRegistry {
public:
    /// A new registry holding every built-in row, in table order.
    [[nodiscard]] static RegistryHandle build();

    BuiltinErrorRegistry() : IndexedErrorRegistry(HintRule::FirstOfName) {}
};

/// Two registries asked in turn: every candidate of the first before any of the second, and a
/// name the first owns before the second's.
class ChainErrorRegistry final : public ErrorRegistry {
public:
    ChainErrorRegistry(RegistryHandle first, RegistryHandle second) noexcept
        : first_(std::move(first)), second_(std::move(second)) {}

    [[nodiscard]] const RegisteredError* find_candidate(const Selector& selector,
                                                        CandidateFilter take) const override;
    [[nodiscard]] const RegisteredError*
    lookup_by_name(std::string_view name) const noexcept override;
    [[nodiscard]] std::size_t len() const noexcept override;
    [[nodiscard]] const ReasonTable* reason_table() const noexcept override;

private:
    RegistryHandle first_;
    RegistryHandle second_;
};

} // namespace kestrix::core
