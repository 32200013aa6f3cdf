#include "tools/arrow_decode.hpp"

#include "evm/pipeline.hpp"
#include "python/hex_input.hpp"
#include "python/result_fields.hpp"

#include <algorithm>
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
    /// Starts the column afresh.
    ColumnWriter(ArrowColumnOutput& column, bool text) : column_(column), text_(text) {
        column_.validity.clear();
        column_.null_count = 0;
        column_.data.clear();
        column_.offsets.clear();
        if (text) column_.offsets.push_back(0);
    }

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

    /// Row `row` of the text column `other`, as it is there.
    void copy_text(const ArrowColumnOutput& other, std::size_t row) {
        if (((other.validity[row / 8] >> (row % 8)) & 1U) == 0) return null();
        const auto start = static_cast<std::size_t>(other.offsets[row]);
        text(std::string_view(other.data)
                 .substr(start, static_cast<std::size_t>(other.offsets[row + 1]) - start));
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
    std::size_t row_ = 0;
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

/// Rows already decoded, found by the exact bytes of their input. Bulk revert data repeats the
/// same few reverts over and over; a repeated row copies the output of its first occurrence, which
/// is the same by construction (a row's output depends on its bytes alone).
class RepeatIndex {
public:
    explicit RepeatIndex(std::size_t rows) {
        std::size_t slots = 16;
        while (slots < 2 * rows && slots < kMaxSlots)
            slots *= 2;
        slots_.assign(slots, Slot{});
    }

    /// The distinct row of an earlier input equal to `value`; otherwise files `value` as distinct
    /// row `row` (while there is room) and gives nullopt.
    [[nodiscard]] std::optional<std::size_t> find_or_add(std::span<const std::uint8_t> value,
                                                         std::size_t row) noexcept {
        const std::uint64_t hash = hash_of(value);
        const std::size_t mask = slots_.size() - 1;
        // A bounded probe: crafted collisions cost a few probes, never a search of the table.
        for (std::size_t probe = 0; probe < kMaxProbes; ++probe) {
            Slot& slot = slots_[(hash + probe) & mask];
            if (slot.row == 0) {
                if (filed_ < slots_.size() / 2) {
                    slot = Slot{hash, value.data(), value.size(), row + 1};
                    ++filed_;
                }
                return std::nullopt;
            }
            if (slot.hash == hash && slot.size == value.size() &&
                (value.empty() || std::memcmp(slot.data, value.data(), value.size()) == 0)) {
                return slot.row - 1;
            }
        }
        return std::nullopt;
    }

private:
    static constexpr std::size_t kMaxSlots = std::size_t{1} << 16;
    static constexpr std::size_t kMaxProbes = 8;

    struct Slot {
        std::uint64_t hash = 0;
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
        /// Output row + 1; 0 marks an empty slot.
        std::size_t row = 0;
    };

    /// The length and a few words of the value (its start, middle and end), mixed independently:
    /// a hash of a fixed cost whatever the length. Values that differ elsewhere only share a
    /// slot chain; the comparison of the bytes tells them apart.
    static std::uint64_t hash_of(std::span<const std::uint8_t> value) noexcept {
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

/// The writers of all columns of one decode.
class Writers {
public:
    /// With `raw_from_input`, raw_data is not written while every row's input text is its raw
    /// text (see DecodedColumns::raw_repeats_input).
    Writers(DecodedColumns& out, const ColumnChoice& choice, bool raw_from_input)
        : out_(out), rows_(out.rows, false), choice_(choice), raw_from_input_(raw_from_input) {
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            columns_[i].emplace(out.columns[i],
                                layout_of(static_cast<ResultColumn>(i)) == Layout::Text);
        }
    }

    ColumnWriter& operator[](ResultColumn column) {
        return *columns_[static_cast<std::size_t>(column)];
    }

    /// Whether raw_data was left unwritten because it repeats the input.
    [[nodiscard]] bool raw_from_input() const noexcept { return raw_from_input_; }

    /// Whether a row was nested: until then the root text columns, which would repeat the
    /// outer ones, are not written.
    [[nodiscard]] bool nested() const noexcept { return nested_; }

    /// A row without a result: null in every column; `error` null or holding `message`.
    void no_result(std::optional<std::string_view> message) {
        if (raw_from_input_) inputs_.emplace_back();
        const bool shown = message && choice_.error;
        if (shown) {
            rows_.valid();
        } else {
            rows_.null();
        }
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            if (!choice_.filled(column) || (column == RawData && raw_from_input_) ||
                (!nested_ && outer_of_root(column))) {
                continue;
            }
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

    /// A decoded row: the ten fields as the result dict holds them. `input` is the row's text.
    void result(const core::DecodedError& record, const core::DecodedError& root, std::size_t depth,
                std::span<const std::uint8_t> input) {
        if (raw_from_input_ && !is_raw_text(input, record.raw_data.size())) write_raw_so_far();
        if (choice_.root_cause && depth > 0 && !nested_) write_roots_so_far();
        if (raw_from_input_) {
            inputs_.push_back(input);
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
        if (choice_.root_cause && !nested_) (*this)[Depth].number(static_cast<std::uint8_t>(0));
        if (choice_.root_cause && nested_) {
            (*this)[RootKind].text(core::kind_name(root.kind));
            const python::KindFields root_fields =
                &root == &record ? fields : python::kind_fields(root.kind);
            (*this)[RootErrorName].optional_text(root_fields.error_name);
            (*this)[RootMessage].optional_text(root_fields.message);
            if (root.selector) {
                (*this)[RootSelector].text_with(
                    [&](std::string& data) { python::append_hex_text(data, *root.selector); });
            } else {
                (*this)[RootSelector].null();
            }
            (*this)[Depth].number(static_cast<std::uint8_t>(depth));
        }
        if (choice_.error) (*this)[Error].null();
    }

    [[nodiscard]] bool fit() const noexcept {
        for (const auto& column : columns_) {
            if (!column->fits()) return false;
        }
        return true;
    }

private:
    /// The first nested row: the root columns of the rows before it, which repeat their outer
    /// columns, become columns of their own from here on.
    void write_roots_so_far() {
        const std::size_t written = out_.columns[static_cast<std::size_t>(Kind)].offsets.size() - 1;
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            const auto outer = outer_of_root(column);
            if (!outer) continue;
            for (std::size_t row = 0; row < written; ++row)
                (*this)[column].copy_text(out_.columns[static_cast<std::size_t>(*outer)], row);
        }
        nested_ = true;
    }

    /// The first row whose input is not its raw text: raw_data of the rows before it, which is
    /// their input text, becomes a column of its own from here on.
    void write_raw_so_far() {
        for (const std::span<const std::uint8_t> input : inputs_) {
            // A row without a result has no input kept.
            if (input.data() == nullptr) {
                (*this)[RawData].null();
            } else {
                (*this)[RawData].text(
                    std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
            }
        }
        inputs_ = {};
        raw_from_input_ = false;
    }

    DecodedColumns& out_;
    ColumnWriter rows_;
    std::array<std::optional<ColumnWriter>, kResultColumns> columns_;
    const ColumnChoice& choice_;
    bool raw_from_input_;
    bool nested_ = false;
    /// While raw_from_input_: the input text of each row written, empty without a result.
    std::vector<std::span<const std::uint8_t>> inputs_;
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
/// source[r] of from[j] is. A column without nulls gets no bitmap.
void gather_validity(std::span<const ArrowColumnOutput* const> from,
                     std::span<ArrowColumnOutput* const> to, std::span<const std::uint32_t> source,
                     std::span<const std::uint32_t> counts) {
    const std::size_t rows = source.size();
    std::vector<std::uint32_t> words(counts.size(), 0);
    std::vector<ArrowColumnOutput*> with_nulls;
    for (std::size_t j = 0; j < from.size(); ++j) {
        const auto bit = static_cast<std::uint32_t>(1U << with_nulls.size());
        std::uint64_t valid_rows = 0;
        for (std::size_t d = 0; d < counts.size(); ++d) {
            const bool valid = bit_of(*from[j], d);
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
/// comes first from each distinct row's length times its count. False when the text passes
/// 2 GiB.
bool gather_text(const ArrowColumnOutput& from, std::span<const std::uint32_t> source,
                 std::span<const std::uint32_t> counts, ArrowColumnOutput& to) {
    const std::size_t rows = source.size();
    const std::int32_t* from_offsets = from.offsets.data();
    std::uint64_t total = 0;
    for (std::size_t d = 0; d < counts.size(); ++d) {
        total += std::uint64_t{counts[d]} *
                 static_cast<std::uint32_t>(from_offsets[d + 1] - from_offsets[d]);
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

/// Whether `column` is built in the result: asked for, and not one the result takes from
/// elsewhere.
bool built(const DecodedColumns& out, const ColumnChoice& choice, ResultColumn column) noexcept {
    if (!choice.filled(column)) return false;
    if (out.roots_repeat_outer && outer_of_root(column)) return false;
    return !(column == RawData && out.raw_repeats_input);
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

std::expected<DecodedColumns, ColumnFailure>
decode_arrow_column(const core::ErrorRegistry& registry, const ArrowColumnInput& input,
                    const ColumnChoice& choice, DecodedColumns storage, DecodedColumns* scratch) {
    if (auto checked = check_extent(input); !checked) return std::unexpected(checked.error());
    if (input.length >= std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(ColumnFailure{
            ColumnFailure::Kind::Input, "more than 2^32 rows in one array; decode smaller chunks"});
    }
    const auto rows = static_cast<std::size_t>(input.length);
    // Each distinct row is decoded once into `distinct`; then every column is gathered from it
    // in one tight pass per column, unless every row is distinct: then `distinct` is the result.
    DecodedColumns own_scratch;
    DecodedColumns& distinct = scratch != nullptr ? *scratch : own_scratch;
    distinct.roots_repeat_outer = false;
    distinct.raw_repeats_input = false;
    Writers writers(distinct, choice, !input.binary && !input.large_offsets && rows > 0);
    std::vector<std::uint32_t> source(rows);
    std::vector<std::uint32_t> counts; // rows per distinct row
    counts.reserve(std::min<std::size_t>(rows, 1 << 16));
    RepeatIndex repeats(rows);
    std::optional<std::uint32_t> null_row; // the distinct row of null input rows
    core::Bytes buffer; // the bytes of one hexadecimal row, reused from row to row
    for (std::size_t row = 0; row < rows; ++row) {
        const std::int64_t index = input.offset + static_cast<std::int64_t>(row);
        if (!input.validity.empty() && !bit_set(input.validity, index)) {
            if (!null_row) {
                null_row = static_cast<std::uint32_t>(counts.size());
                counts.push_back(0);
                writers.no_result(std::nullopt);
            }
            source[row] = *null_row;
            ++counts[*null_row];
            continue;
        }
        const auto [first, second] = row_bounds(input, index);
        if (first < 0 || second < first || static_cast<std::uint64_t>(second) > input.data.size()) {
            return std::unexpected(
                ColumnFailure{ColumnFailure::Kind::Input,
                              "row " + std::to_string(row) + ": offsets outside the data"});
        }
        const std::span<const std::uint8_t> value = input.data.subspan(
            static_cast<std::size_t>(first), static_cast<std::size_t>(second - first));
        if (const auto earlier = repeats.find_or_add(value, counts.size())) {
            source[row] = static_cast<std::uint32_t>(*earlier);
            ++counts[*earlier];
            continue;
        }
        source[row] = static_cast<std::uint32_t>(counts.size());
        counts.push_back(1);
        std::span<const std::uint8_t> bytes = value;
        if (!input.binary) {
            auto parsed = python::parse_revert_hex_into(
                std::string_view(reinterpret_cast<const char*>(value.data()), value.size()),
                buffer);
            if (!parsed) {
                writers.no_result(parsed.error());
                continue;
            }
            bytes = buffer;
        }
        auto classified = evm::classify_revert(registry, bytes, std::nullopt);
        if (!classified)
            return std::unexpected(
                ColumnFailure{ColumnFailure::Kind::Core, classified.error().display()});
        if (!choice.root_cause || choice.wrappers == nullptr ||
            !evm::may_carry_revert(*classified)) {
            writers.result(classified->record, classified->record, 0, value);
            continue;
        }
        auto chain = evm::unwrap_decoded(registry, *choice.wrappers, *classified);
        if (!chain)
            return std::unexpected(
                ColumnFailure{ColumnFailure::Kind::Core, chain.error().display()});
        // Unnested, the root is the record itself: its fields are worked out once.
        const core::DecodedError& root =
            chain->size() > 1 ? chain->back().decoded.record : classified->record;
        writers.result(classified->record, root, chain->size() - 1, value);
    }
    const auto too_large = [] {
        return std::unexpected(
            ColumnFailure{ColumnFailure::Kind::Input,
                          "more than 2 GiB of text in one result column; decode smaller chunks"});
    };
    if (!writers.fit()) return too_large();
    distinct.roots_repeat_outer = choice.root_cause && !writers.nested();
    distinct.raw_repeats_input = writers.raw_from_input();
    if (counts.size() == rows) {
        // No row repeats another: the distinct rows are the rows, in order.
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            if (!built(distinct, choice, static_cast<ResultColumn>(i))) {
                distinct.columns[i].validity.clear();
                distinct.columns[i].offsets.clear();
                distinct.columns[i].data.clear();
                distinct.columns[i].null_count = 0;
            }
        }
        std::swap(distinct, storage);
        return storage;
    }
    with_slack(distinct);
    DecodedColumns& out = storage;
    out.roots_repeat_outer = distinct.roots_repeat_outer;
    out.raw_repeats_input = distinct.raw_repeats_input;
    std::vector<const ArrowColumnOutput*> from{&distinct.rows};
    std::vector<ArrowColumnOutput*> to{&out.rows};
    for (std::size_t i = 0; i < kResultColumns; ++i) {
        const auto column = static_cast<ResultColumn>(i);
        ArrowColumnOutput& into = out.columns[i];
        if (!built(out, choice, column)) {
            // A column not asked for, or taken from elsewhere, is left empty.
            into.validity.clear();
            into.offsets.clear();
            into.data.clear();
            into.null_count = 0;
            continue;
        }
        from.push_back(&distinct.columns[i]);
        to.push_back(&into);
        switch (layout_of(column)) {
        case Layout::Validity:
            break;
        case Layout::Fixed:
            if (width_of(column) == 1) {
                gather_fixed<1>(distinct.columns[i], source, into);
            } else {
                gather_fixed<8>(distinct.columns[i], source, into);
            }
            break;
        case Layout::Text:
            if (!gather_text(distinct.columns[i], source, counts, into)) return too_large();
            break;
        }
    }
    gather_validity(from, to, source, counts);
    return std::move(out);
}

} // namespace kestrix::tools
