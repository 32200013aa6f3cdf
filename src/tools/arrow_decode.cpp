#include "tools/arrow_decode.hpp"

#include "evm/pipeline.hpp"
#include "python/hex_input.hpp"
#include "python/result_fields.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

namespace kestrix::tools {

namespace {

static_assert(std::endian::native == std::endian::little, "Arrow buffers are little-endian");

using enum ResultColumn;

/// Appends rows to one output column; every row is appended exactly once.
class ColumnWriter {
public:
    /// Appends to `column`, which holds `rows` rows already (a text column at least its first
    /// offset).
    ColumnWriter(ArrowColumnOutput& column, bool text, std::size_t rows)
        : column_(column), text_(text), row_(rows) {}

    void null() {
        ++column_.null_count;
        end_row(false);
    }

    /// A valid row of a column without values of its own (the struct).
    void valid() { end_row(true); }

    /// A text row whose bytes `write` appends to the data.
    template <class Write>
    void text_with(Write&& write) {
        write(column_.data);
        end_row(true);
    }

    void text(std::string_view value) {
        text_with([&](std::string& data) { data.append(value); });
    }

    template <class Text>
    void optional_text(const std::optional<Text>& value) {
        if (value) {
            text(*value);
        } else {
            null();
        }
    }

    /// A fixed-width row: the value's bytes as they lie in memory (little-endian).
    template <class Number>
    void number(Number value) {
        char bytes[sizeof(Number)];
        std::memcpy(bytes, &value, sizeof(Number));
        column_.data.append(bytes, sizeof(Number));
        end_row(true);
    }

    /// A null fixed-width row still takes its slot in the values.
    template <class Number>
    void null_number() {
        column_.data.append(sizeof(Number), '\0');
        null();
    }

    /// Whether every text offset fits in 32 bits.
    [[nodiscard]] bool fits() const noexcept {
        return column_.data.size() <=
               static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    }

private:
    void end_row(bool valid) {
        if (row_ % 8 == 0) column_.validity.push_back(0);
        if (valid) column_.validity.back() |= static_cast<std::uint8_t>(1U << (row_ % 8));
        if (text_) column_.offsets.push_back(static_cast<std::int32_t>(column_.data.size()));
        ++row_;
    }

    ArrowColumnOutput& column_;
    bool text_;
    std::size_t row_;
};

bool bit_set(std::span<const std::uint8_t> bitmap, std::int64_t index) noexcept {
    return (bitmap[static_cast<std::size_t>(index / 8)] >> (index % 8)) & 1U;
}

/// Byte range [first, second) of row `index`, read from the offsets buffer.
std::pair<std::int64_t, std::int64_t> row_bounds(const ArrowColumnInput& input,
                                                 std::int64_t index) {
    if (input.large_offsets) {
        std::int64_t bounds[2];
        std::memcpy(bounds, input.offsets.data() + index * 8, sizeof bounds);
        return {bounds[0], bounds[1]};
    }
    std::int32_t bounds[2];
    std::memcpy(bounds, input.offsets.data() + index * 4, sizeof bounds);
    return {bounds[0], bounds[1]};
}

/// Whether the offsets and the bitmap reach row offset + length. Checked before any arithmetic on
/// the two, which come from the caller unchecked: afterwards their sum is below 2^61.
std::expected<void, ColumnFailure> check_extent(const ArrowColumnInput& input) noexcept {
    auto failure = [](const char* text) {
        return std::unexpected(ColumnFailure{ColumnFailure::Kind::Input, text});
    };
    if (input.offset < 0 || input.length < 0) {
        return failure("the array's length and offset must not be negative");
    }
    // Both are below 2^63: their sum fits in 64 unsigned bits.
    const std::uint64_t end =
        static_cast<std::uint64_t>(input.offset) + static_cast<std::uint64_t>(input.length);
    const std::uint64_t offsets = input.offsets.size() / (input.large_offsets ? 8 : 4);
    if (offsets == 0 || end > offsets - 1 ||
        (!input.validity.empty() && end > input.validity.size() * std::uint64_t{8})) {
        return failure("the array's buffers are shorter than its length and offset say");
    }
    return {};
}

/// The length and a few words of the value (its start, middle and end), mixed independently: a
/// hash of a fixed cost whatever the length. Values that differ elsewhere only share a slot
/// chain; the comparison of the bytes tells them apart.
std::uint64_t hash_of(std::span<const std::uint8_t> value) noexcept {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    const std::size_t size = value.size();
    const std::uint8_t* bytes = value.data();
    auto word_at = [&](std::size_t at) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, sizeof word);
        return word;
    };
    std::uint64_t hash = size * kMultiplier;
    if (size >= 16) {
        hash ^= (word_at(0) ^ std::rotl(word_at(8), 17)) * kMultiplier;
        hash ^= word_at(size / 2 - 4) * (kMultiplier + 2);
        hash ^= (word_at(size - 16) ^ std::rotl(word_at(size - 8), 41)) * (kMultiplier + 4);
    } else if (size >= 8) {
        hash ^= (word_at(0) * kMultiplier) ^ std::rotl(word_at(size - 8), 31);
    } else {
        std::uint64_t word = 0;
        if (size != 0) std::memcpy(&word, bytes, size);
        hash ^= word * kMultiplier;
    }
    hash *= kMultiplier;
    return hash ^ (hash >> 29);
}

/// Memo rows found by the exact bytes of their input, which the memo keeps. A row's output
/// depends on its bytes alone, so a repeat takes the output of the row first decoded.
class MemoIndex {
public:
    /// The row whose input is `value`; nullopt when there is none. key_of(row) is row's input.
    template <class KeyOf>
    [[nodiscard]] std::optional<std::uint32_t>
    find(std::span<const std::uint8_t> value, std::uint64_t hash, KeyOf&& key_of) const noexcept {
        if (slots_.empty()) return std::nullopt;
        const std::size_t mask = slots_.size() - 1;
        // A bounded probe: crafted collisions cost a few probes, never a search of the table.
        for (std::size_t probe = 0; probe < kMaxProbes; ++probe) {
            const Slot& slot = slots_[(hash + probe) & mask];
            if (slot.row == 0) return std::nullopt;
            if (slot.hash != hash) continue;
            const std::span<const std::uint8_t> key = key_of(slot.row - 1);
            if (key.size() == value.size() &&
                (value.empty() || std::memcmp(key.data(), value.data(), value.size()) == 0)) {
                return slot.row - 1;
            }
        }
        return std::nullopt;
    }

    /// Files row `row` under `hash`, while there is room; a value whose slots are all taken is
    /// not filed (it is decoded again where it recurs).
    void add(std::uint64_t hash, std::uint32_t row) {
        if (2 * (filed_ + 1) > slots_.size()) {
            if (slots_.size() >= kMaxSlots) return;
            grow();
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t probe = 0; probe < kMaxProbes; ++probe) {
            Slot& slot = slots_[(hash + probe) & mask];
            if (slot.row == 0) {
                slot = Slot{hash, row + 1};
                ++filed_;
                return;
            }
        }
    }

    void clear() noexcept {
        std::fill(slots_.begin(), slots_.end(), Slot{});
        filed_ = 0;
    }

    /// Room for `rows` rows in all, so that filing them does not grow the table step by step.
    void reserve(std::size_t rows) {
        std::size_t slots = std::max<std::size_t>(1024, slots_.size());
        while (slots < 2 * rows && slots < kMaxSlots)
            slots *= 2;
        if (slots > slots_.size()) grow(slots);
    }

    [[nodiscard]] std::size_t capacity() const noexcept { return slots_.capacity() * sizeof(Slot); }

private:
    static constexpr std::size_t kMaxSlots = std::size_t{1} << 17;
    static constexpr std::size_t kMaxProbes = 8;

    struct Slot {
        std::uint64_t hash = 0;
        /// Memo row + 1; 0 marks an empty slot.
        std::uint32_t row = 0;
    };

    void grow(std::size_t size = 0) {
        std::vector<Slot> old(std::max<std::size_t>({1024, 2 * slots_.size(), size}));
        old.swap(slots_);
        filed_ = 0;
        for (const Slot& slot : old) {
            if (slot.row != 0) add(slot.hash, slot.row - 1);
        }
    }

    std::vector<Slot> slots_;
    std::size_t filed_ = 0;
};

/// What an output column holds besides its validity.
enum class Layout : std::uint8_t { Validity, Text, Fixed };

Layout layout_of(ResultColumn column) noexcept {
    switch (column) {
    case Confidence:
    case PanicCode:
    case Depth:
        return Layout::Fixed;
    case RawData:
    case Selector:
    case Suggestion:
    case Kind:
    case Message:
    case ErrorName:
    case Inputs:
    case PanicMeaning:
    case RootKind:
    case RootErrorName:
    case RootMessage:
    case RootSelector:
    case Error:
        return Layout::Text;
    }
    return Layout::Text;
}

/// Bytes of one value of a fixed-width column.
std::size_t width_of(ResultColumn column) noexcept {
    return column == Depth ? 1 : 8;
}

/// Whether `text`, which parsed into `size` bytes, is exactly their raw_data text: "0x" and
/// lowercase digits. Every hexadecimal digit but 'A'..'F' has bit 0x20 set.
bool is_raw_text(std::span<const std::uint8_t> text, std::size_t size) noexcept {
    if (text.size() != 2 + 2 * size || text[0] != '0' || text[1] != 'x') return false;
    constexpr std::uint64_t kCase = 0x2020202020202020ULL;
    std::uint64_t missing = 0;
    std::size_t at = 2;
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, sizeof word);
        missing |= ~word & kCase;
    }
    for (; at < text.size(); ++at)
        missing |= ~text[at] & 0x20U;
    return missing == 0;
}

/// Empties `column`: a column the result does not hold, or takes from elsewhere.
void blank(ArrowColumnOutput& column) noexcept {
    column.validity.clear();
    column.offsets.clear();
    column.data.clear();
    column.null_count = 0;
}

} // namespace

struct DecodeMemo::State {
    /// Past these the memo starts afresh at the next decode, so that it does not grow without
    /// bound over a long stream of distinct rows.
    static constexpr std::size_t kMaxRows = std::size_t{1} << 15;
    static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;

    /// Per row.
    enum Flag : std::uint8_t {
        /// The input is exactly the raw_data text.
        kRawIsInput = 1,
        kNested = 2,
        kHasResult = 4,
        /// The row is the one null input rows take.
        kNull = 8,
        /// The index of the result's kind, from this bit on.
        kKindShift = 4,
    };

    /// What the rows were decoded with.
    const core::ErrorRegistry* registry = nullptr;
    const evm::WrapperRules* wrappers = nullptr;
    bool error = false;
    bool root_cause = false;
    bool binary = false;

    /// Every column asked for, for each row. raw_data is written from the first row whose input
    /// is not its raw text, the root columns from the first nested row: until then they would
    /// repeat the input and the outer columns.
    DecodedColumns rows;
    std::size_t count = 0;
    bool raw_written = false;
    bool roots_written = false;
    std::vector<std::uint8_t> flags;
    /// The input of each row: row r's at key_start[r], key_size[r] bytes of `keys`, or for the
    /// rows added by the decode under way, in its input (`pending`). They are copied here only
    /// when the memo is kept for the next decode.
    std::string keys;
    std::vector<std::size_t> key_start;
    std::vector<std::size_t> key_size;
    std::vector<std::span<const std::uint8_t>> pending;
    MemoIndex index;
    /// The row that null input rows take.
    std::optional<std::uint32_t> null_row;
    /// Per row: its place among the distinct rows of the decode under way, or kAbsent.
    static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> local;
    /// Whether the last decode found rows here: ones of earlier decodes, or repeats of its own.
    bool reused = true;
    /// This numbering of the rows; a restart gives the next, unique across all memos.
    std::uint64_t numbering = 0;

    [[nodiscard]] std::span<const std::uint8_t> key(std::uint32_t row) const noexcept {
        if (row >= key_start.size()) return pending[row - key_start.size()];
        return {reinterpret_cast<const std::uint8_t*>(keys.data()) + key_start[row], key_size[row]};
    }

    /// raw_data of the rows so far, which is their input (a row without a result has none): from
    /// the first row that needs the column on, a column of its own.
    void write_raw() {
        ArrowColumnOutput& raw = rows.columns[static_cast<std::size_t>(RawData)];
        raw.offsets.push_back(0);
        ColumnWriter writer(raw, true, 0);
        for (std::uint32_t row = 0; row < count; ++row) {
            if (flags[row] & kHasResult) {
                const auto input = key(row);
                writer.text(
                    std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
            } else {
                writer.null();
            }
        }
        raw_written = true;
    }

    /// The end of a decode: the input of its new rows is copied when `keep`; otherwise the memo
    /// starts afresh at the next decode.
    void settle(bool keep) {
        if (keep) {
            for (const std::span<const std::uint8_t> key : pending) {
                key_start.push_back(keys.size());
                key_size.push_back(key.size());
                keys.append(reinterpret_cast<const char*>(key.data()), key.size());
            }
        } else {
            registry = nullptr;
        }
        pending.clear();
    }

    [[nodiscard]] bool holds(const core::ErrorRegistry& other, const ColumnChoice& choice,
                             bool other_binary) const noexcept {
        return registry == &other && wrappers == choice.wrappers && error == choice.error &&
               root_cause == choice.root_cause && binary == other_binary;
    }

    /// Bytes of text the rows hold: what a memo that keeps growing is bounded by.
    [[nodiscard]] std::size_t held() const noexcept {
        std::size_t bytes = keys.size();
        for (const ArrowColumnOutput& column : rows.columns)
            bytes += column.data.size();
        return bytes;
    }

    /// No rows, decoded from now on with `other`, `choice` and `other_binary`. The memory
    /// stays for the rows to come: a memo lives as long as the stream of decodes it serves.
    void restart(const core::ErrorRegistry& other, const ColumnChoice& choice, bool other_binary) {
        for (ArrowColumnOutput& column : rows.columns)
            blank(column);
        blank(rows.rows);
        flags.clear();
        keys.clear();
        key_start.clear();
        key_size.clear();
        pending.clear();
        index.clear();
        local.clear();
        registry = &other;
        wrappers = choice.wrappers;
        error = choice.error;
        root_cause = choice.root_cause;
        binary = other_binary;
        count = 0;
        raw_written = false;
        roots_written = false;
        null_row.reset();
        reused = true;
        static std::atomic<std::uint64_t> numberings{0};
        numbering = ++numberings;
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            if (choice.filled(column) && layout_of(column) == Layout::Text && column != RawData &&
                !outer_of_root(column)) {
                rows.columns[i].offsets.push_back(0);
            }
        }
    }
};

namespace {

/// The writers of all columns of the memo's rows.
class Writers {
public:
    Writers(DecodeMemo::State& memo, const ColumnChoice& choice)
        : memo_(memo), rows_(memo.rows.rows, false, memo.count), choice_(choice) {
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            const bool waiting = column == RawData ? !memo.raw_written
                                                   : !memo.roots_written && outer_of_root(column);
            if (choice.filled(column) && !waiting) {
                columns_[i].emplace(memo.rows.columns[i], layout_of(column) == Layout::Text,
                                    memo.count);
            }
        }
    }

    ColumnWriter& operator[](ResultColumn column) {
        return *columns_[static_cast<std::size_t>(column)];
    }

    /// A row without a result: null in every column; `error` null or holding `message`.
    void no_result(std::optional<std::string_view> message) {
        const bool shown = message && choice_.error;
        if (shown) {
            rows_.valid();
        } else {
            rows_.null();
        }
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            if (!columns_[i]) continue;
            if (column == Error && shown) {
                (*this)[Error].text_with([&](std::string& data) {
                    data.append("hex decode: ");
                    data.append(*message);
                });
            } else if (column == Confidence) {
                (*this)[column].null_number<double>();
            } else if (column == PanicCode) {
                (*this)[column].null_number<std::uint64_t>();
            } else if (column == Depth) {
                (*this)[column].null_number<std::uint8_t>();
            } else {
                (*this)[column].null();
            }
        }
    }

    /// A decoded row: the ten fields as the result dict holds them, then the root's. With
    /// `raw_is_input`, `input` is already the raw_data text.
    void result(const core::DecodedError& record, const core::DecodedError& root, std::size_t depth,
                std::span<const std::uint8_t> input, bool raw_is_input) {
        if (depth > 0 && !memo_.roots_written) write_roots_so_far();
        if (!raw_is_input && !memo_.raw_written) {
            memo_.write_raw();
            columns_[static_cast<std::size_t>(RawData)].emplace(
                memo_.rows.columns[static_cast<std::size_t>(RawData)], true, memo_.count);
        }
        if (!memo_.raw_written) {
            // raw_data is the input: written only if a later row needs the column.
        } else if (raw_is_input) {
            (*this)[RawData].text(
                std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
        } else {
            (*this)[RawData].text_with(
                [&](std::string& data) { python::append_hex_text(data, record.raw_data); });
        }
        rows_.valid();
        if (record.selector) {
            (*this)[Selector].text_with(
                [&](std::string& data) { python::append_hex_text(data, *record.selector); });
        } else {
            (*this)[Selector].null();
        }
        (*this)[Suggestion].optional_text(record.suggestion);
        (*this)[Confidence].number(static_cast<double>(record.confidence));
        (*this)[Kind].text(core::kind_name(record.kind));
        const python::KindFields fields = python::kind_fields(record.kind);
        (*this)[Message].optional_text(fields.message);
        (*this)[ErrorName].optional_text(fields.error_name);
        (*this)[Inputs].optional_text(fields.inputs);
        if (fields.panic_code) {
            (*this)[PanicCode].number(*fields.panic_code);
        } else {
            (*this)[PanicCode].null_number<std::uint64_t>();
        }
        (*this)[PanicMeaning].optional_text(fields.panic_meaning);
        if (choice_.root_cause) {
            (*this)[Depth].number(static_cast<std::uint8_t>(depth));
            if (memo_.roots_written) {
                // Unnested, the root is the record itself: its fields are worked out once.
                const python::KindFields root_fields =
                    &root == &record ? fields : python::kind_fields(root.kind);
                (*this)[RootKind].text(core::kind_name(root.kind));
                (*this)[RootErrorName].optional_text(root_fields.error_name);
                (*this)[RootMessage].optional_text(root_fields.message);
                if (root.selector) {
                    (*this)[RootSelector].text_with(
                        [&](std::string& data) { python::append_hex_text(data, *root.selector); });
                } else {
                    (*this)[RootSelector].null();
                }
            }
        }
        if (choice_.error) (*this)[Error].null();
    }

    [[nodiscard]] bool fit() const noexcept {
        for (const auto& column : columns_) {
            if (column && !column->fits()) return false;
        }
        return true;
    }

private:
    /// The first nested row: the root columns of the rows before it, which repeat their outer
    /// columns, become columns of their own from here on.
    void write_roots_so_far() {
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            const auto outer = outer_of_root(column);
            if (!outer) continue;
            memo_.rows.columns[i] = memo_.rows.columns[static_cast<std::size_t>(*outer)];
            columns_[i].emplace(memo_.rows.columns[i], true, memo_.count);
        }
        memo_.roots_written = true;
    }

    DecodeMemo::State& memo_;
    ColumnWriter rows_;
    std::array<std::optional<ColumnWriter>, kResultColumns> columns_;
    const ColumnChoice& choice_;
};

/// Bytes past the end of a text buffer that the gather may read or write: it copies whole
/// blocks of kSlack bytes, and the next row overwrites what a block wrote past its row.
constexpr std::size_t kSlack = 32;

bool bit_of(const ArrowColumnOutput& column, std::size_t row) noexcept {
    return (column.validity[row / 8] >> (row % 8)) & 1U;
}

/// Transposes the 8x8 bit matrix whose byte i holds row i: afterwards byte j holds column j.
std::uint64_t transpose_bits(std::uint64_t x) noexcept {
    std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    return x ^ t ^ (t << 28);
}

/// Writes the bitmaps of `to` (at most 8 x Groups columns, sized already) from each distinct
/// row's word of validity bits: eight rows' words turn into eight columns' bytes by a transpose.
template <std::size_t Groups>
void spread_validity(std::span<const std::uint32_t> words, std::span<const std::uint32_t> source,
                     std::span<ArrowColumnOutput* const> to) {
    const std::size_t rows = source.size();
    const std::size_t columns = to.size();
    std::array<std::uint8_t*, 8 * Groups> bits{};
    for (std::size_t j = 0; j < columns; ++j)
        bits[j] = to[j]->validity.data();
    auto store = [&](std::size_t at, const std::array<std::uint64_t, Groups>& lanes) {
        for (std::size_t g = 0; g < Groups; ++g) {
            const std::uint64_t bytes = transpose_bits(lanes[g]);
            for (std::size_t j = 0; j < 8 && 8 * g + j < columns; ++j)
                bits[8 * g + j][at] = static_cast<std::uint8_t>(bytes >> (8 * j));
        }
    };
    auto add = [&](std::array<std::uint64_t, Groups>& lanes, std::uint32_t word, std::size_t k) {
        for (std::size_t g = 0; g < Groups; ++g)
            lanes[g] |= std::uint64_t{(word >> (8 * g)) & 0xFFU} << (8 * k);
    };
    const std::uint32_t* from = source.data();
    std::size_t row = 0;
    for (; row + 8 <= rows; row += 8) {
        std::array<std::uint64_t, Groups> lanes{};
        for (std::size_t k = 0; k < 8; ++k)
            add(lanes, words[from[row + k]], k);
        store(row / 8, lanes);
    }
    if (row < rows) {
        std::array<std::uint64_t, Groups> lanes{};
        for (std::size_t k = 0; row + k < rows; ++k)
            add(lanes, words[from[row + k]], k);
        store(row / 8, lanes);
    }
}

/// The validity bitmaps and null counts of the columns `to`: row r of to[j] is valid when row
/// used[source[r]] of from[j] is, `counts` telling how many rows each of `used` stands for. A
/// column without nulls gets no bitmap.
void gather_validity(std::span<const ArrowColumnOutput* const> from,
                     std::span<ArrowColumnOutput* const> to, std::span<const std::uint32_t> source,
                     std::span<const std::uint32_t> used, std::span<const std::uint32_t> counts) {
    const std::size_t rows = source.size();
    std::vector<std::uint32_t> words(counts.size(), 0);
    std::vector<ArrowColumnOutput*> with_nulls;
    for (std::size_t j = 0; j < from.size(); ++j) {
        const auto bit = static_cast<std::uint32_t>(1U << with_nulls.size());
        std::uint64_t valid_rows = 0;
        for (std::size_t d = 0; d < counts.size(); ++d) {
            const bool valid = bit_of(*from[j], used[d]);
            words[d] |= valid ? bit : 0;
            valid_rows += valid ? counts[d] : 0;
        }
        to[j]->null_count = static_cast<std::int64_t>(rows - valid_rows);
        to[j]->validity.clear();
        if (valid_rows == rows) {
            // The bits just set stand for no column: clear them for the next.
            for (std::uint32_t& word : words)
                word &= ~bit;
            continue;
        }
        to[j]->validity.resize((rows + 7) / 8);
        with_nulls.push_back(to[j]);
    }
    static_assert(kResultColumns + 1 <= 3 * 8, "three groups of eight hold every column");
    switch ((with_nulls.size() + 7) / 8) {
    case 0:
        return;
    case 1:
        return spread_validity<1>(words, source, with_nulls);
    case 2:
        return spread_validity<2>(words, source, with_nulls);
    default:
        return spread_validity<3>(words, source, with_nulls);
    }
}

/// The values of a fixed-width column, row r holding row source[r]'s.
template <std::size_t Width>
void gather_fixed(const ArrowColumnOutput& from, std::span<const std::uint32_t> source,
                  ArrowColumnOutput& to) {
    const std::size_t rows = source.size();
    const char* values = from.data.data();
    to.offsets.clear();
    to.data.resize_and_overwrite(rows * Width, [&](char* out, std::size_t size) {
        for (std::size_t row = 0; row < rows; ++row)
            std::memcpy(out + row * Width, values + std::size_t{source[row]} * Width, Width);
        return size;
    });
}

/// The offsets and text of a text column in one pass, row r holding row source[r]'s; the size
/// comes first from the length of each of `used` times its count. False when the text passes
/// 2 GiB.
bool gather_text(const ArrowColumnOutput& from, std::span<const std::uint32_t> source,
                 std::span<const std::uint32_t> used, std::span<const std::uint32_t> counts,
                 ArrowColumnOutput& to) {
    const std::size_t rows = source.size();
    const std::int32_t* from_offsets = from.offsets.data();
    std::uint64_t total = 0;
    for (std::size_t d = 0; d < counts.size(); ++d) {
        total += std::uint64_t{counts[d]} *
                 static_cast<std::uint32_t>(from_offsets[used[d] + 1] - from_offsets[used[d]]);
    }
    if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return false;
    }
    to.offsets.resize(rows + 1);
    std::int32_t* offsets = to.offsets.data();
    offsets[0] = 0;
    // `from` holds kSlack bytes of capacity past its end (see with_slack).
    const char* text = from.data.data();
    to.data.resize_and_overwrite(total + kSlack, [&](char* out, std::size_t) {
        std::int32_t at = 0;
        for (std::size_t row = 0; row < rows; ++row) {
            const std::uint32_t d = source[row];
            const std::int32_t start = from_offsets[d];
            const std::int32_t size = from_offsets[d + 1] - start;
            const char* in = text + start;
            char* const write = out + at;
            at += size;
            offsets[row + 1] = at;
            // Most values are short: one block of 32 bytes, whatever the size, copies them.
            std::memcpy(write, in, kSlack);
            for (std::size_t done = kSlack; done < static_cast<std::uint32_t>(size); done += kSlack)
                std::memcpy(write + done, in + done, kSlack);
        }
        return total;
    });
    return true;
}

/// Gives every text buffer of `columns` kSlack bytes of capacity past its end, for gather_text.
void with_slack(DecodedColumns& columns) {
    for (ArrowColumnOutput& column : columns.columns)
        column.data.reserve(column.data.size() + kSlack);
}

} // namespace

std::optional<ResultColumn> outer_of_root(ResultColumn column) noexcept {
    switch (column) {
    case RootKind:
        return Kind;
    case RootErrorName:
        return ErrorName;
    case RootMessage:
        return Message;
    case RootSelector:
        return Selector;
    case RawData:
    case Selector:
    case Suggestion:
    case Confidence:
    case Kind:
    case Message:
    case ErrorName:
    case Inputs:
    case PanicCode:
    case PanicMeaning:
    case Depth:
    case Error:
        return std::nullopt;
    }
    return std::nullopt;
}

bool ColumnChoice::filled(ResultColumn column) const noexcept {
    switch (column) {
    case RootKind:
    case RootErrorName:
    case RootMessage:
    case RootSelector:
    case Depth:
        return root_cause;
    case Error:
        return error;
    case RawData:
    case Selector:
    case Suggestion:
    case Confidence:
    case Kind:
    case Message:
    case ErrorName:
    case Inputs:
    case PanicCode:
    case PanicMeaning:
        return true;
    }
    return true;
}

std::size_t DecodedColumns::capacity() const noexcept {
    std::size_t bytes = rows.validity.capacity();
    for (const ArrowColumnOutput& column : columns) {
        bytes += column.validity.capacity() + column.data.capacity() +
                 column.offsets.capacity() * sizeof(std::int32_t);
    }
    return bytes;
}

DecodeMemo::DecodeMemo() = default;
DecodeMemo::~DecodeMemo() = default;
DecodeMemo::DecodeMemo(DecodeMemo&&) noexcept = default;
DecodeMemo& DecodeMemo::operator=(DecodeMemo&&) noexcept = default;

std::size_t DecodeMemo::rows() const noexcept {
    return state_ ? state_->count : 0;
}

std::size_t DecodeMemo::capacity() const noexcept {
    if (!state_) return 0;
    const State& kept = *state_;
    return kept.rows.capacity() + kept.keys.capacity() + kept.flags.capacity() +
           (kept.key_start.capacity() + kept.key_size.capacity()) * sizeof(std::size_t) +
           kept.pending.capacity() * sizeof(std::span<const std::uint8_t>) +
           kept.local.capacity() * sizeof(std::uint32_t) + kept.index.capacity();
}

void DecodeMemo::forget() noexcept {
    // The next decode starts afresh (see State::holds); the buffers stay for it.
    if (state_) state_->registry = nullptr;
}

std::expected<DecodedColumns, ColumnFailure>
decode_arrow_column(const core::ErrorRegistry& registry, const ArrowColumnInput& input,
                    const ColumnChoice& choice, DecodedColumns storage) {
    DecodeMemo memo;
    return decode_arrow_column(registry, input, choice, memo, std::move(storage));
}

std::expected<DecodedColumns, ColumnFailure>
decode_arrow_column(const core::ErrorRegistry& registry, const ArrowColumnInput& input,
                    const ColumnChoice& choice, DecodeMemo& memo, DecodedColumns storage) {
    using State = DecodeMemo::State;
    if (auto checked = check_extent(input); !checked) return std::unexpected(checked.error());
    if (input.length >= std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(ColumnFailure{
            ColumnFailure::Kind::Input, "more than 2^32 rows in one array; decode smaller chunks"});
    }
    if (!memo.state_) memo.state_ = std::make_unique<State>();
    State& kept = *memo.state_;
    if (!kept.holds(registry, choice, input.binary) || !kept.reused ||
        kept.count >= State::kMaxRows || kept.held() > State::kMaxBytes) {
        kept.restart(registry, choice, input.binary);
    }
    // The memo keeps this decode's rows only if it returns them all: on any other way out it
    // starts afresh at the next decode.
    struct Settle {
        State& memo;
        bool keep = false;
        ~Settle() { memo.settle(keep); }
    } settle{kept};
    const std::size_t rows = static_cast<std::size_t>(input.length);
    const std::size_t earlier = kept.count; // rows decoded by earlier calls
    // Each distinct row is decoded once into the memo, unless it holds the row already; then
    // every column is gathered from it in one tight pass per column.
    Writers writers(kept, choice);
    std::vector<std::uint32_t> source(rows); // each row's memo row
    std::vector<std::uint32_t> place(rows);  // each row's place in `used`
    std::vector<std::uint32_t> used;         // the memo rows this decode takes
    std::vector<std::uint32_t> counts;       // rows per entry of `used`
    kept.local.resize(kept.count, State::kAbsent);
    kept.index.reserve(kept.count + rows);
    kept.local.reserve(kept.count + rows);
    kept.flags.reserve(kept.count + rows);
    bool reused = false;
    auto take = [&](std::uint32_t memo_row, std::size_t row) {
        if (kept.local[memo_row] == State::kAbsent) {
            kept.local[memo_row] = static_cast<std::uint32_t>(used.size());
            used.push_back(memo_row);
            counts.push_back(0);
        }
        const std::uint32_t at = kept.local[memo_row];
        source[row] = memo_row;
        place[row] = at;
        ++counts[at];
        reused = reused || memo_row < earlier;
    };
    auto add_row = [&](std::span<const std::uint8_t> key, std::uint8_t flags) {
        kept.pending.push_back(key);
        kept.flags.push_back(flags);
        kept.local.push_back(State::kAbsent);
        return static_cast<std::uint32_t>(kept.count++);
    };
    core::Bytes buffer; // the bytes of one hexadecimal row, reused from row to row
    for (std::size_t row = 0; row < rows; ++row) {
        const std::int64_t index = input.offset + static_cast<std::int64_t>(row);
        if (!input.validity.empty() && !bit_set(input.validity, index)) {
            if (!kept.null_row) {
                writers.no_result(std::nullopt);
                kept.null_row = add_row({}, State::kNull);
            }
            take(*kept.null_row, row);
            continue;
        }
        const auto [first, second] = row_bounds(input, index);
        if (first < 0 || second < first || static_cast<std::uint64_t>(second) > input.data.size()) {
            // The memo starts afresh at the next decode (see Settle), its places with it.
            return std::unexpected(
                ColumnFailure{ColumnFailure::Kind::Input,
                              "row " + std::to_string(row) + ": offsets outside the data"});
        }
        const std::span<const std::uint8_t> value = input.data.subspan(
            static_cast<std::size_t>(first), static_cast<std::size_t>(second - first));
        const std::uint64_t hash = hash_of(value);
        if (const auto found =
                kept.index.find(value, hash, [&](std::uint32_t at) { return kept.key(at); })) {
            take(*found, row);
            continue;
        }
        std::span<const std::uint8_t> bytes = value;
        if (!input.binary) {
            auto parsed = python::parse_revert_hex_into(
                std::string_view(reinterpret_cast<const char*>(value.data()), value.size()),
                buffer);
            if (!parsed) {
                writers.no_result(parsed.error());
                const std::uint32_t added = add_row(value, 0);
                kept.index.add(hash, added);
                take(added, row);
                continue;
            }
            bytes = buffer;
        }
        auto failed = [&](const core::CoreError& error) {
            return std::unexpected(ColumnFailure{ColumnFailure::Kind::Core, error.display()});
        };
        auto classified = evm::classify_revert(registry, bytes, std::nullopt);
        if (!classified) return failed(classified.error());
        // Only text with 32-bit offsets can stand for raw_data (see raw_repeats_input).
        const bool raw_is_input = !input.binary && !input.large_offsets &&
                                  is_raw_text(value, classified->record.raw_data.size());
        std::size_t depth = 0;
        if (!choice.root_cause || choice.wrappers == nullptr ||
            !evm::may_carry_revert(*classified)) {
            writers.result(classified->record, classified->record, 0, value, raw_is_input);
        } else {
            auto chain = evm::unwrap_decoded(registry, *choice.wrappers, *classified);
            if (!chain) return failed(chain.error());
            depth = chain->size() - 1;
            const core::DecodedError& root =
                depth > 0 ? chain->back().decoded.record : classified->record;
            writers.result(classified->record, root, depth, value, raw_is_input);
        }
        const std::uint32_t added = add_row(
            value,
            static_cast<std::uint8_t>(State::kHasResult | (raw_is_input ? State::kRawIsInput : 0) |
                                      (depth > 0 ? State::kNested : 0) |
                                      (classified->record.kind.index() << State::kKindShift)));
        kept.index.add(hash, added);
        take(added, row);
    }
    for (const std::uint32_t memo_row : used)
        kept.local[memo_row] = State::kAbsent;
    // A memo earns its keep when rows repeat: ones of earlier decodes, or within a first one.
    kept.reused = earlier == 0 ? used.size() < rows || rows == 0 : reused;
    const auto too_large = [] {
        return std::unexpected(
            ColumnFailure{ColumnFailure::Kind::Input,
                          "more than 2 GiB of text in one result column; decode smaller chunks"});
    };
    if (!writers.fit()) {
        // Rows kept from earlier decodes may be what passed the limit: try once without them.
        if (earlier == 0) return too_large();
        kept.settle(false);
        return decode_arrow_column(registry, input, choice, memo, std::move(storage));
    }
    // What the result takes from elsewhere: raw_data from the input when every row with a result
    // holds its raw text there, the root columns from the outer ones when nothing is nested.
    bool raw_repeats_input = !input.binary && !input.large_offsets && rows > 0;
    bool nested = false;
    std::array<std::int64_t, std::variant_size_v<core::ErrorKind>> kind_rows{};
    std::int64_t failed_rows = 0;
    std::int64_t null_rows = 0;
    for (std::size_t at = 0; at < used.size(); ++at) {
        const std::uint8_t flags = kept.flags[used[at]];
        raw_repeats_input = raw_repeats_input &&
                            (flags & (State::kHasResult | State::kRawIsInput)) != State::kHasResult;
        nested = nested || (flags & State::kNested) != 0;
        if (flags & State::kHasResult) {
            kind_rows[flags >> State::kKindShift] += counts[at];
        } else if (flags & State::kNull) {
            null_rows += counts[at];
        } else {
            failed_rows += counts[at];
        }
    }
    const bool roots_repeat_outer = choice.root_cause && !nested;
    auto summed = [&](DecodedColumns& result) -> DecodedColumns& {
        result.kind_rows = kind_rows;
        result.failed_rows = failed_rows;
        result.null_rows = null_rows;
        result.nested = nested;
        result.roots_repeat_outer = roots_repeat_outer;
        result.raw_repeats_input = raw_repeats_input;
        result.memo_numbering = kept.numbering;
        return result;
    };
    if (!raw_repeats_input && !kept.raw_written) {
        kept.write_raw();
        if (kept.rows.columns[static_cast<std::size_t>(RawData)].data.size() >
            static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            return too_large();
        }
    }
    auto built = [&](ResultColumn column) {
        if (!choice.filled(column)) return false;
        if (roots_repeat_outer && outer_of_root(column)) return false;
        return !(column == RawData && raw_repeats_input);
    };
    if (earlier == 0 && used.size() == rows) {
        // A fresh memo and no row repeating another: its rows are the result, in order.
        std::swap(kept.rows, storage);
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            if (!built(static_cast<ResultColumn>(i))) blank(storage.columns[i]);
        }
        storage.memo_rows = std::move(source);
        return std::move(summed(storage));
    }
    with_slack(kept.rows);
    DecodedColumns& out = summed(storage);
    std::vector<const ArrowColumnOutput*> from{&kept.rows.rows};
    std::vector<ArrowColumnOutput*> to{&out.rows};
    for (std::size_t i = 0; i < kResultColumns; ++i) {
        const auto column = static_cast<ResultColumn>(i);
        ArrowColumnOutput& into = out.columns[i];
        if (!built(column)) {
            blank(into);
            continue;
        }
        const ArrowColumnOutput& memo_column = kept.rows.columns[i];
        from.push_back(&memo_column);
        to.push_back(&into);
        switch (layout_of(column)) {
        case Layout::Validity:
            break;
        case Layout::Fixed:
            if (width_of(column) == 1) {
                gather_fixed<1>(memo_column, source, into);
            } else {
                gather_fixed<8>(memo_column, source, into);
            }
            break;
        case Layout::Text:
            if (!gather_text(memo_column, source, used, counts, into)) return too_large();
            break;
        }
    }
    gather_validity(from, to, place, used, counts);
    settle.keep = kept.reused && kept.count < State::kMaxRows && kept.held() <= State::kMaxBytes;
    out.memo_rows = std::move(source);
    return std::move(out);
}

} // namespace kestrix::tools
