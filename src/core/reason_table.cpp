#include "core/reason_table.hpp"

#include <algorithm>
#include <functional>

namespace kestrix::core {

void ReasonTable::add(ReasonScope scope, Match match, std::string text, std::string meaning) {
    Scope& s = scopes_[static_cast<std::size_t>(scope)];
    const std::size_t length = text.size();
    Map& map = match == Match::Exact ? s.exact : s.prefix;
    if (!map.try_emplace(std::move(text), std::move(meaning)).second) return;
    ++count_;
    if (match == Match::Prefix) {
        auto& lengths = s.prefix_lengths;
        const auto at = std::lower_bound(lengths.begin(), lengths.end(), length, std::greater<>());
        if (at == lengths.end() || *at != length) lengths.insert(at, length);
    }
}

std::optional<std::string_view> ReasonTable::lookup(ReasonScope scope,
                                                    std::string_view text) const noexcept {
    const Scope& s = scopes_[static_cast<std::size_t>(scope)];
    if (!s.exact.empty()) {
        if (const auto found = s.exact.find(text); found != s.exact.end()) return found->second;
    }
    for (const std::size_t length : s.prefix_lengths) {
        if (length > text.size()) continue;
        if (const auto found = s.prefix.find(text.substr(0, length)); found != s.prefix.end()) {
            return found->second;
        }
    }
    return std::nullopt;
}

} // namespace kestrix::core
