#pragma once
/// Tables that turn a revert text into a meaning: whole texts and text prefixes, for the reason of
/// an Error(string) and for the reason argument of ERC-4337's FailedOp.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrix::core {

/// Which text a table entry applies to.
enum class ReasonScope : std::uint8_t { RevertString, FailedOp };

class ReasonTable {
public:
    enum class Match : std::uint8_t { Exact, Prefix };

    /// Files one entry; a later entry for the same text and match is ignored.
    void add(ReasonScope scope, Match match, std::string text, std::string meaning);

    /// The meaning for `text`: an exact entry first, then the longest prefix entry.
    [[nodiscard]] std::optional<std::string_view> lookup(ReasonScope scope,
                                                         std::string_view text) const noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return count_; }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept {
            return std::hash<std::string_view>{}(text);
        }
    };
    using Map = std::unordered_map<std::string, std::string, Hash, std::equal_to<>>;
    struct Scope {
        Map exact;
        Map prefix;
        /// The distinct prefix lengths, longest first.
        std::vector<std::size_t> prefix_lengths;
    };
    Scope scopes_[2];
    std::size_t count_ = 0;
};

} // namespace kestrix::core
