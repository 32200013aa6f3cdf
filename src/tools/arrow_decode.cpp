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

/// The distinct row that null input rows take: null in every column.
constexpr std::uint32_t kNullRow = 0;

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
        auto word_at = [&](std::size_t at) {
            std::uint64_t word = 0;
            std::memcpy(&word, value.data() + at, std::min<std::size_t>(8, size - at));
            return word;
        };
        std::uint64_t hash = size * kMultiplier;
        if (size <= 16) {
            hash ^= (word_at(0) * kMultiplier) ^ std::rotl(word_at(size > 8 ? 8 : size), 31);
        } else {
            const std::size_t middle = size / 2 - 4;
            hash ^= (word_at(0) ^ std::rotl(word_at(8), 17)) * kMultiplier;
            hash ^= word_at(middle) * (kMultiplier + 2);
            hash ^= (word_at(size - 16) ^ std::rotl(word_at(size - 8), 41)) * (kMultiplier + 4);
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

/// The writers of all columns of one decode.
class Writers {
public:
    Writers(DecodedColumns& out, const ColumnChoice& choice)
        : rows_(out.rows, false), choice_(choice) {
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            columns_[i].emplace(out.columns[i],
                                layout_of(static_cast<ResultColumn>(i)) == Layout::Text);
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
            if (!choice_.filled(column)) continue;
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

    /// A decoded row: the ten fields as the result dict holds them.
    void result(const core::DecodedError& record, const core::DecodedError& root,
                std::size_t depth) {
        rows_.valid();
        (*this)[RawData].text_with(
            [&](std::string& data) { python::append_hex_text(data, record.raw_data); });
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
    ColumnWriter rows_;
    std::array<std::optional<ColumnWriter>, kResultColumns> columns_;
    const ColumnChoice& choice_;
};

/// Bytes past the end of a text buffer that the gather may read or write: it copies whole
/// blocks of 16 bytes, and the next row overwrites what a block wrote past its row.
constexpr std::size_t kSlack = 16;

/// The validity of every row of `to`, one byte at a time: row r is valid when row source[r] of
/// `from` is.
void gather_validity(const ArrowColumnOutput& from, std::span<const std::uint32_t> source,
                     ArrowColumnOutput& to) {
    const std::size_t rows = source.size();
    to.validity.resize((rows + 7) / 8);
    std::uint8_t* bits = to.validity.data();
    const std::uint8_t* from_bits = from.validity.data();
    std::size_t valid_rows = 0;
    for (std::size_t row = 0; row < rows; row += 8) {
        const std::size_t end = std::min(rows, row + 8);
        unsigned byte = 0;
        for (std::size_t at = row; at < end; ++at) {
            const std::uint32_t from_row = source[at];
            const unsigned bit = (from_bits[from_row / 8] >> (from_row % 8)) & 1U;
            byte |= bit << (at - row);
            valid_rows += bit;
        }
        bits[row / 8] = static_cast<std::uint8_t>(byte);
    }
    to.null_count = static_cast<std::int64_t>(rows - valid_rows);
}

/// Builds `to` with one row per entry of `source`: row r holds what row source[r] of `from`
/// holds. False when the text passes 2 GiB.
bool gather(const ArrowColumnOutput& from, std::span<const std::uint32_t> source, Layout layout,
            std::size_t width, ArrowColumnOutput& to) {
    const std::size_t rows = source.size();
    to.offsets.clear();
    to.data.clear();
    gather_validity(from, source, to);
    switch (layout) {
    case Layout::Validity:
        return true;
    case Layout::Fixed: {
        const char* values = from.data.data();
        to.data.resize_and_overwrite(rows * width, [&](char* out, std::size_t size) {
            for (std::size_t row = 0; row < rows; ++row) {
                std::memcpy(out + row * width, values + std::size_t{source[row]} * width, width);
            }
            return size;
        });
        return true;
    }
    case Layout::Text: {
        to.offsets.resize(rows + 1);
        const std::int32_t* from_offsets = from.offsets.data();
        std::int32_t* offsets = to.offsets.data();
        std::uint64_t total = 0;
        for (std::size_t row = 0; row < rows; ++row) {
            const std::uint32_t at = source[row];
            total += static_cast<std::uint32_t>(from_offsets[at + 1] - from_offsets[at]);
            offsets[row + 1] = static_cast<std::int32_t>(total);
        }
        if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
            return false;
        }
        // `from` holds kSlack bytes of capacity past its end (see with_slack).
        const char* text = from.data.data();
        to.data.resize_and_overwrite(total + kSlack, [&](char* out, std::size_t) {
            for (std::size_t row = 0; row < rows; ++row) {
                const char* in = text + from_offsets[source[row]];
                char* at = out + offsets[row];
                char* const end = out + offsets[row + 1];
                for (; at < end; at += 16, in += 16)
                    std::memcpy(at, in, 16);
            }
            return total;
        });
        return true;
    }
    }
    return true;
}

/// Gives every text buffer of `columns` kSlack bytes of capacity past its end, for gather.
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

std::expected<DecodedColumns, ColumnFailure>
decode_arrow_column(const core::ErrorRegistry& registry, const ArrowColumnInput& input,
                    const ColumnChoice& choice, DecodedColumns storage) {
    if (auto checked = check_extent(input); !checked) return std::unexpected(checked.error());
    if (input.length >= std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(ColumnFailure{
            ColumnFailure::Kind::Input, "more than 2^32 rows in one array; decode smaller chunks"});
    }
    const auto rows = static_cast<std::size_t>(input.length);
    // Each distinct row is decoded once into `distinct`; then every column is gathered from it
    // in one tight pass per column.
    DecodedColumns distinct;
    Writers writers(distinct, choice);
    std::vector<std::uint32_t> source(rows);
    RepeatIndex repeats(rows);
    writers.no_result(std::nullopt); // kNullRow
    std::uint32_t next = kNullRow + 1;
    bool nested = false; // whether any row carries a revert
    core::Bytes buffer;  // the bytes of one hexadecimal row, reused from row to row
    for (std::size_t row = 0; row < rows; ++row) {
        const std::int64_t index = input.offset + static_cast<std::int64_t>(row);
        if (!input.validity.empty() && !bit_set(input.validity, index)) {
            source[row] = kNullRow;
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
        if (const auto earlier = repeats.find_or_add(value, next)) {
            source[row] = static_cast<std::uint32_t>(*earlier);
            continue;
        }
        source[row] = next++;
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
            writers.result(classified->record, classified->record, 0);
            continue;
        }
        auto chain = evm::unwrap_decoded(registry, *choice.wrappers, *classified);
        if (!chain)
            return std::unexpected(
                ColumnFailure{ColumnFailure::Kind::Core, chain.error().display()});
        writers.result(classified->record, chain->back().decoded.record, chain->size() - 1);
        nested = nested || chain->size() > 1;
    }
    const auto too_large = [] {
        return std::unexpected(
            ColumnFailure{ColumnFailure::Kind::Input,
                          "more than 2 GiB of text in one result column; decode smaller chunks"});
    };
    if (!writers.fit()) return too_large();
    with_slack(distinct);
    DecodedColumns out = std::move(storage);
    out.roots_repeat_outer = choice.root_cause && !nested;
    gather(distinct.rows, source, Layout::Validity, 0, out.rows);
    for (std::size_t i = 0; i < kResultColumns; ++i) {
        const auto column = static_cast<ResultColumn>(i);
        if (out.roots_repeat_outer && outer_of_root(column)) {
            out.columns[i] = ArrowColumnOutput{};
            continue;
        }
        // A column not asked for is left empty.
        const auto rows_of = choice.filled(column) ? std::span<const std::uint32_t>(source)
                                                   : std::span<const std::uint32_t>();
        if (!gather(distinct.columns[i], rows_of, layout_of(column), width_of(column),
                    out.columns[i])) {
            return too_large();
        }
    }
    return out;
}

} // namespace kestrix::tools
