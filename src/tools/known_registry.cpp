#include "tools/known_registry.hpp"

#include "abi/types.hpp"
#include "core/selector.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrix::tools {

namespace {

constexpr std::string_view kKnownSource = "known";
constexpr std::string_view kDatabaseSource = "signature_db";
constexpr std::string_view kDatabaseHint =
    "Matched from your signature database by selector and argument layout only; confirm it "
    "against the contract's own ABI.";

std::uint32_t key_of(const core::Selector& selector) noexcept {
    return (std::uint32_t{selector[0]} << 24) | (std::uint32_t{selector[1]} << 16) |
           (std::uint32_t{selector[2]} << 8) | std::uint32_t{selector[3]};
}

std::optional<std::uint32_t> parse_hex8(std::string_view text) noexcept {
    if (text.size() != 8) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = (value << 4) | digit;
    }
    return value;
}

/// The fields of a line split at tabs.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string_view::npos) return fields;
        start = tab + 1;
    }
}

/// Undoes the compact form's escapes: \\ \t \n \r.
std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        switch (text[++i]) {
        case 't':
            out.push_back('\t');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        default:
            out.push_back(text[i]);
        }
    }
    return out;
}

/// A parameter's name and, for a tuple at its base, its members' names.
struct NameNode {
    std::string name;
    std::vector<NameNode> members;
};

/// Reads "a,b(x,y(p)),c" into nodes; nullopt when the brackets do not balance.
std::optional<std::vector<NameNode>> parse_names(std::string_view text, std::size_t& at,
                                                 std::size_t depth) {
    std::vector<NameNode> nodes;
    if (depth > 64) return std::nullopt;
    if (at == text.size() || text[at] == ')') return nodes;
    while (true) {
        NameNode node;
        while (at < text.size() && text[at] != ',' && text[at] != '(' && text[at] != ')')
            node.name.push_back(text[at++]);
        if (at < text.size() && text[at] == '(') {
            ++at;
            auto members = parse_names(text, at, depth + 1);
            if (!members || at == text.size() || text[at] != ')') return std::nullopt;
            ++at;
            node.members = std::move(*members);
        }
        nodes.push_back(std::move(node));
        if (at == text.size() || text[at] != ',') return nodes;
        ++at;
    }
}

/// The parameter of `type`, named from `node` where the names fit the type.
core::ErrorParam param_of(const abi::AbiType& type, const NameNode* node) {
    core::ErrorParam param{
        node != nullptr ? node->name : std::string(), abi::canonical_type_text(type), {}};
    const abi::AbiType* base = &type;
    while (base->kind == abi::AbiKind::Array || base->kind == abi::AbiKind::FixedArray)
        base = &base->children.front();
    if (base->kind == abi::AbiKind::Tuple) {
        const bool named = node != nullptr && node->members.size() == base->children.size();
        param.components.reserve(base->children.size());
        for (std::size_t i = 0; i < base->children.size(); ++i)
            param.components.push_back(
                param_of(base->children[i], named ? &node->members[i] : nullptr));
    }
    return param;
}

bool is_identifier(std::string_view text) noexcept {
    const auto start = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
    };
    if (text.empty() || !start(text.front())) return false;
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return start(c) || (c >= '0' && c <= '9'); });
}

/// The entry of a canonical signature ("Name(type,...)") with its parameter names (may be
/// empty), or nullopt when the text is not a canonical signature.
std::optional<core::RegisteredError> entry_of(std::string_view signature, std::string_view names,
                                              std::optional<std::string> hint, float confidence) {
    const std::size_t open = signature.find('(');
    if (open == std::string_view::npos || !is_identifier(signature.substr(0, open))) {
        return std::nullopt;
    }
    auto tuple = abi::parse_abi_type(signature.substr(open));
    if (!tuple || tuple->kind != abi::AbiKind::Tuple) return std::nullopt;
    if (abi::canonical_type_text(*tuple) != signature.substr(open)) return std::nullopt;

    std::size_t at = 0;
    auto nodes = parse_names(names, at, 0);
    if (!nodes || at != names.size() || nodes->size() != tuple->children.size()) nodes.reset();

    core::RegisteredError entry;
    core::ErrorSignature& sig = entry.signature;
    sig.name.assign(signature.substr(0, open));
    sig.signature.assign(signature);
    sig.params.reserve(tuple->children.size());
    for (std::size_t i = 0; i < tuple->children.size(); ++i)
        sig.params.push_back(param_of(tuple->children[i], nodes ? &(*nodes)[i] : nullptr));
    sig.suggestion = std::move(hint);
    sig.forms = core::InputForms::Lossless;
    entry.types = std::move(tuple->children);
    entry.confidence = confidence;
    entry.exact = true;
    return entry;
}

/// Entries of one selector, made on first use and read-only afterwards.
class LazyGroup {
public:
    template <typename Make>
    const std::vector<core::RegisteredError>& get(Make make) const {
        std::call_once(once_, [&] {
            entries_ = make();
            for (core::RegisteredError& entry : entries_)
                entry.hint = &entry.signature.suggestion;
        });
        return entries_;
    }

private:
    mutable std::once_flag once_;
    mutable std::vector<core::RegisteredError> entries_;
};

/// Offers every entry to `take` and returns the first taken: the others that fit are the
/// taker's alternatives.
const core::RegisteredError* offer_all(const std::vector<core::RegisteredError>& entries,
                                       core::CandidateFilter take) {
    const core::RegisteredError* taken = nullptr;
    for (const core::RegisteredError& entry : entries)
        if (take(entry) && taken == nullptr) taken = &entry;
    return taken;
}

class KnownErrorRegistry final : public core::ErrorRegistry {
public:
    explicit KnownErrorRegistry(std::string text) : text_(std::move(text)) {}

    /// Indexes the lines of the text by selector.
    void index() {
        struct Line {
            std::uint32_t key;
            std::uint32_t begin;
            std::uint32_t length;
        };
        std::vector<Line> lines;
        std::size_t start = 0;
        while (start < text_.size()) {
            std::size_t end = text_.find('\n', start);
            if (end == std::string::npos) end = text_.size();
            const std::string_view line(text_.data() + start, end - start);
            if (const auto key = parse_hex8(line.substr(0, 8)); key && line.size() > 9) {
                lines.push_back({*key, static_cast<std::uint32_t>(start),
                                 static_cast<std::uint32_t>(end - start)});
            }
            start = end + 1;
        }
        std::stable_sort(lines.begin(), lines.end(),
                         [](const Line& a, const Line& b) { return a.key < b.key; });
        count_ = lines.size();
        for (std::size_t i = 0; i < lines.size();) {
            std::size_t j = i;
            std::vector<std::pair<std::uint32_t, std::uint32_t>> group;
            while (j < lines.size() && lines[j].key == lines[i].key) {
                group.emplace_back(lines[j].begin, lines[j].length);
                ++j;
            }
            keys_.push_back(lines[i].key);
            spans_.push_back(std::move(group));
            groups_.emplace_back();
            i = j;
        }
    }

    [[nodiscard]] const core::RegisteredError*
    find_candidate(const core::Selector& selector, core::CandidateFilter take) const override {
        const auto at = std::lower_bound(keys_.begin(), keys_.end(), key_of(selector));
        if (at == keys_.end() || *at != key_of(selector)) return nullptr;
        const auto index = static_cast<std::size_t>(at - keys_.begin());
        return offer_all(groups_[index].get([&] { return make(index); }), take);
    }
    [[nodiscard]] const core::RegisteredError*
    lookup_by_name(std::string_view) const noexcept override {
        return nullptr;
    }
    [[nodiscard]] std::size_t len() const noexcept override { return count_; }
    [[nodiscard]] const core::ReasonTable* reason_table() const noexcept override {
        return &reasons_;
    }

    core::ReasonTable& reasons() noexcept { return reasons_; }

private:
    std::string text_;
    std::vector<std::uint32_t> keys_;
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> spans_;
    std::deque<LazyGroup> groups_;
    core::ReasonTable reasons_;
    std::size_t count_ = 0;

    std::vector<core::RegisteredError> make(std::size_t index) const {
        std::vector<core::RegisteredError> entries;
        for (const auto& [begin, length] : spans_[index]) {
            const auto fields = fields_of(std::string_view(text_).substr(begin, length));
            if (fields.size() < 5) continue;
            std::optional<std::string> hint;
            if (!fields[3].empty()) {
                hint = unescape(fields[3]);
            } else if (!fields[4].empty()) {
                const std::string_view name = fields[1].substr(0, fields[1].find('('));
                hint = std::string(name) + " is a known error of " + unescape(fields[4]) + ".";
            }
            auto entry = entry_of(fields[1], fields[2], std::move(hint), kKnownConfidence);
            if (!entry) continue;
            entry->signature.source.assign(kKnownSource);
            entry->signature.selector = core::selector_of(entry->signature.signature);
            if (key_of(entry->signature.selector) != keys_[index]) continue;
            entries.push_back(std::move(*entry));
        }
        return entries;
    }
};

/// Fills `table` from the reason lines.
void read_reasons(std::string_view text, core::ReasonTable& table) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const auto fields = fields_of(text.substr(start, end - start));
        start = end + 1;
        if (fields.size() < 4 || fields[0].size() != 1 || fields[1].size() != 1) continue;
        if (fields[0] != "E" && fields[0] != "P") continue;
        const auto match =
            fields[0] == "E" ? core::ReasonTable::Match::Exact : core::ReasonTable::Match::Prefix;
        if (fields[1] != "R" && fields[1] != "F") continue;
        const auto scope =
            fields[1] == "R" ? core::ReasonScope::RevertString : core::ReasonScope::FailedOp;
        table.add(scope, match, unescape(fields[2]), unescape(fields[3]));
    }
}

/// The entries of the signatures in `text`, in order, that are canonical and hash to `key`.
std::vector<core::RegisteredError> database_entries(const std::vector<std::string_view>& signatures,
                                                    std::uint32_t key) {
    std::vector<core::RegisteredError> entries;
    for (const std::string_view signature : signatures) {
        auto entry = entry_of(signature, {}, std::string(kDatabaseHint), kSignatureDbConfidence);
        if (!entry) continue;
        entry->signature.source.assign(kDatabaseSource);
        entry->signature.selector = core::selector_of(entry->signature.signature);
        if (key_of(entry->signature.selector) != key) continue;
        const bool repeated = std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
            return e.signature.signature == entry->signature.signature;
        });
        if (!repeated) entries.push_back(std::move(*entry));
    }
    return entries;
}

std::string_view trimmed(std::string_view text) noexcept {
    constexpr std::string_view kSpace = " \t\r\n\f\v";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

/// Entries looked up once per selector and kept, under a lock (decodes may run outside the GIL).
class EntryCache {
public:
    template <typename Make>
    const std::vector<core::RegisteredError>* get(std::uint32_t key, Make make) const {
        const std::lock_guard lock(mutex_);
        auto& slot = cache_[key];
        if (!slot) {
            auto entries = make();
            for (core::RegisteredError& entry : entries)
                entry.hint = &entry.signature.suggestion;
            slot = std::make_unique<const std::vector<core::RegisteredError>>(std::move(entries));
        }
        return slot.get();
    }

private:
    mutable std::mutex mutex_;
    mutable std::unordered_map<std::uint32_t,
                               std::unique_ptr<const std::vector<core::RegisteredError>>>
        cache_;
};

/// A text file of signatures, held whole and indexed by selector.
class TextSignatureDb final : public core::ErrorRegistry {
public:
    explicit TextSignatureDb(std::string text) : text_(std::move(text)) {}

    void index() {
        std::vector<std::string_view> batch;
        std::vector<std::uint32_t> begins;
        constexpr std::size_t kBatch = 256;
        std::array<core::Selector, kBatch> selectors;
        auto flush = [&] {
            core::selectors_of(batch, selectors);
            for (std::size_t k = 0; k < batch.size(); ++k)
                rows_.push_back(
                    {key_of(selectors[k]), begins[k], static_cast<std::uint32_t>(batch[k].size())});
            batch.clear();
            begins.clear();
        };
        // A signature line is rarely shorter than 16 bytes.
        rows_.reserve(text_.size() / 16);
        std::size_t start = 0;
        while (start < text_.size()) {
            std::size_t end = text_.find('\n', start);
            if (end == std::string::npos) end = text_.size();
            const std::string_view line =
                trimmed(std::string_view(text_).substr(start, end - start));
            start = end + 1;
            if (line.empty() || line.front() == '#') continue;
            batch.push_back(line);
            begins.push_back(static_cast<std::uint32_t>(line.data() - text_.data()));
            if (batch.size() == kBatch) flush();
        }
        flush();
        // Lines of one selector stay in file order: `begin` orders them.
        std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
            return a.key != b.key ? a.key < b.key : a.begin < b.begin;
        });
    }

    [[nodiscard]] const core::RegisteredError*
    find_candidate(const core::Selector& selector, core::CandidateFilter take) const override {
        const std::uint32_t key = key_of(selector);
        const auto range =
            std::equal_range(rows_.begin(), rows_.end(), Row{key, 0, 0},
                             [](const Row& a, const Row& b) { return a.key < b.key; });
        if (range.first == range.second) return nullptr;
        const auto* entries = cache_.get(key, [&] {
            std::vector<std::string_view> signatures;
            for (auto row = range.first; row != range.second; ++row)
                signatures.push_back(std::string_view(text_).substr(row->begin, row->length));
            return database_entries(signatures, key);
        });
        return offer_all(*entries, take);
    }
    [[nodiscard]] const core::RegisteredError*
    lookup_by_name(std::string_view) const noexcept override {
        return nullptr;
    }
    [[nodiscard]] std::size_t len() const noexcept override { return rows_.size(); }

private:
    struct Row {
        std::uint32_t key;
        std::uint32_t begin;
        std::uint32_t length;
    };
    std::string text_;
    std::vector<Row> rows_;
    EntryCache cache_;
};

/// A folder of one file per selector; a lookup reads the file of its selector.
class FolderSignatureDb final : public core::ErrorRegistry {
public:
    explicit FolderSignatureDb(std::filesystem::path folder) : folder_(std::move(folder)) {}

    [[nodiscard]] const core::RegisteredError*
    find_candidate(const core::Selector& selector, core::CandidateFilter take) const override {
        const std::uint32_t key = key_of(selector);
        const auto* entries = cache_.get(key, [&] {
            std::ifstream file(folder_ / core::selector_hex(selector), std::ios::binary);
            if (!file) return std::vector<core::RegisteredError>{};
            // One selector's file is small; a larger one is not such a file.
            constexpr std::size_t kMaxFile = 1 << 20;
            std::string text(kMaxFile, '\0');
            file.read(text.data(), static_cast<std::streamsize>(kMaxFile));
            text.resize(static_cast<std::size_t>(file.gcount()));
            std::vector<std::string_view> signatures;
            std::size_t start = 0;
            while (start <= text.size()) {
                std::size_t end = text.find(';', start);
                if (end == std::string::npos) end = text.size();
                if (auto s = trimmed(std::string_view(text).substr(start, end - start)); !s.empty())
                    signatures.push_back(s);
                start = end + 1;
            }
            return database_entries(signatures, key);
        });
        return offer_all(*entries, take);
    }
    [[nodiscard]] const core::RegisteredError*
    lookup_by_name(std::string_view) const noexcept override {
        return nullptr;
    }
    [[nodiscard]] std::size_t len() const noexcept override { return 0; }

private:
    std::filesystem::path folder_;
    EntryCache cache_;
};

} // namespace

std::expected<core::RegistryHandle, std::string>
build_known_registry(std::string errors_text, std::string_view reasons_text) {
    if (errors_text.size() > UINT32_MAX) return std::unexpected("known errors: file too large");
    auto registry = std::make_shared<KnownErrorRegistry>(std::move(errors_text));
    registry->index();
    read_reasons(reasons_text, registry->reasons());
    return registry;
}

std::expected<core::RegistryHandle, std::string> open_signature_db(const std::string& path) {
    std::error_code error;
    const std::filesystem::path where(path);
    const auto status = std::filesystem::status(where, error);
    if (error) return std::unexpected(path + ": " + error.message());
    if (std::filesystem::is_directory(status)) return std::make_shared<FolderSignatureDb>(where);
    std::ifstream file(where, std::ios::binary);
    if (!file) return std::unexpected(path + ": cannot be read");
    const auto size = std::filesystem::file_size(where, error);
    if (error) return std::unexpected(path + ": " + error.message());
    if (size > UINT32_MAX) return std::unexpected(path + ": larger than 4 GiB");
    std::string text(static_cast<std::size_t>(size), '\0');
    file.read(text.data(), static_cast<std::streamsize>(size));
    text.resize(static_cast<std::size_t>(file.gcount()));
    auto registry = std::make_shared<TextSignatureDb>(std::move(text));
    registry->index();
    return registry;
}

} // namespace kestrix::tools
