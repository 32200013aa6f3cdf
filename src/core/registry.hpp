#pragma once
/// The signature registry: known custom errors by selector and by name.

#include "core/records.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix::core {

struct ErrorParam {
    std::string name;
    /// Solidity ABI type as written ("address", "uint256", ...); parsed at decode time.
    std::string type;
    bool operator==(const ErrorParam&) const = default;
};

struct ErrorSignature {
    std::string name;
    /// Canonical signature text hashed for the selector, e.g. "ERC20InvalidSender(address)".
    std::string signature;
    std::vector<ErrorParam> params;
    std::string source;
    std::optional<std::string> suggestion;
    Selector selector{};
    bool operator==(const ErrorSignature&) const = default;
};

/// How the decoder consults known errors. Lookups return copies the caller owns.
class ErrorRegistry {
public:
    virtual ~ErrorRegistry() = default;
    /// Every entry registered under `selector`, in registration order; empty when none.
    [[nodiscard]] virtual std::vector<ErrorSignature> lookup(const Selector& selector) const = 0;
    /// The entry registered under exactly `name` (case-sensitive), if any.
    [[nodiscard]] virtual std::optional<ErrorSignature>
    lookup_by_name(std::string_view name) const = 0;
    /// Number of entries, counted over all selector lists.
    [[nodiscard]] virtual std::size_t len() const = 0;
    [[nodiscard]] bool is_empty() const { return len() == 0; }
};

/// Shared, atomically counted handle; the registry is read-only once built.
using RegistryHandle = std::shared_ptr<const ErrorRegistry>;

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

/// The registry filled from the built-in table.
class BuiltinErrorRegistry final : public ErrorRegistry {
public:
    /// A new registry holding every built-in row, in table order.
    [[nodiscard]] static RegistryHandle build();

    [[nodiscard]] std::vector<ErrorSignature> lookup(const Selector& selector) const override;
    [[nodiscard]] std::optional<ErrorSignature>
    lookup_by_name(std::string_view name) const override;
    [[nodiscard]] std::size_t len() const override;

    BuiltinErrorRegistry();
    ~BuiltinErrorRegistry() override;
    BuiltinErrorRegistry(const BuiltinErrorRegistry&) = delete;
    BuiltinErrorRegistry& operator=(const BuiltinErrorRegistry&) = delete;

    /// Files `entry` under its selector and, unless the name is taken, under its name.
    void register_entry(const ErrorSignature& entry);

private:
    struct Indexes;
    /// Files an entry the caller no longer needs: one copy for the name index, the entry
    /// itself moved into the selector index.
    void insert(ErrorSignature&& entry);

    std::unique_ptr<Indexes> indexes_;
};

} // namespace kestrix::core
