#include "tools/arrow_decode.hpp"

#include "evm/pipeline.hpp"
#include "python/hex_input.hpp"
#include "python/result_fields.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

namespace kestrix::tools {

namespace {

static_assert(std::endian::native == std::endian::little, "Arrow buffers are little-endian");

using enum ResultColumn;

/// Rows after which the output columns reserve for the whole column at the rate seen so far.
constexpr std::int64_t kSampleRows = 1024;

/// Appends rows to one output column; every row is appended exactly once.
class ColumnWriter {
public:
    /// Starts the column afresh; memory it already holds (a recycled column) is kept.
    ColumnWriter(ArrowColumnOutput& column, std::int64_t rows, bool text)
        : column_(column), text_(text) {
        column_.validity.assign(static_cast<std::size_t>((rows + 7) / 8), 0);
        column_.null_count = 0;
        column_.data.clear();
        column_.offsets.clear();
        if (text) {
            column_.offsets.reserve(static_cast<std::size_t>(rows) + 1);
            column_.offsets.push_back(0);
        }
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

    /// Reserves room for `rows` rows at the size per row seen in the first `seen` rows, and a
    /// little more, so the data grows by few copies.
    void reserve_like(std::size_t seen, std::size_t rows) {
        const std::size_t bytes = column_.data.size();
        column_.data.reserve(bytes / seen * rows + bytes / seen * rows / 8);
    }

    /// Whether every text offset fits in 32 bits.
    [[nodiscard]] bool fits() const noexcept {
        return column_.data.size() <=
               static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    }

private:
    void end_row(bool valid) {
        if (valid) column_.validity[row_ / 8] |= static_cast<std::uint8_t>(1U << (row_ % 8));
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

/// The writers of all columns of one decode.
class Writers {
public:
    Writers(DecodedColumns& out, std::int64_t rows, bool error_column)
        : rows_(out.rows, rows, false), error_column_(error_column) {
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            columns_[i].emplace(out.columns[i], error_column || column != Error ? rows : 0,
                                column != Confidence && column != PanicCode);
        }
    }

    ColumnWriter& operator[](ResultColumn column) {
        return *columns_[static_cast<std::size_t>(column)];
    }

    /// A row without a result: null in every column; `error` null or holding `message`.
    void no_result(std::optional<std::string_view> message) {
        const bool shown = message && error_column_;
        if (shown) {
            rows_.valid();
        } else {
            rows_.null();
        }
        for (std::size_t i = 0; i < kResultColumns; ++i) {
            const auto column = static_cast<ResultColumn>(i);
            if (column == Error && !error_column_) continue;
            if (column == Error && shown) {
                (*this)[Error].text_with([&](std::string& data) {
                    data.append("hex decode: ");
                    data.append(*message);
                });
            } else if (column == Confidence) {
                (*this)[column].null_number<double>();
            } else if (column == PanicCode) {
                (*this)[column].null_number<std::uint64_t>();
            } else {
                (*this)[column].null();
            }
        }
    }

    /// A decoded row: the ten fields as the result dict holds them.
    void result(const core::DecodedError& record) {
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
        if (error_column_) (*this)[Error].null();
    }

    /// Once a sample of rows is written: every column reserves for all rows at the sample's rate.
    void reserve_like(std::size_t seen, std::size_t rows) {
        for (auto& column : columns_)
            column->reserve_like(seen, rows);
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
    bool error_column_;
};

} // namespace

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
                    bool error_column, DecodedColumns storage) {
    if (auto checked = check_extent(input); !checked) return std::unexpected(checked.error());
    const std::int64_t end = input.offset + input.length;
    DecodedColumns out = std::move(storage);
    Writers writers(out, input.length, error_column);
    // raw_data is the input again as "0x" and lowercase hex: its size is known up front, and
    // reserving it spares the copies of a growing buffer.
    const std::size_t rows = static_cast<std::size_t>(input.length);
    std::size_t text_bytes = 0;
    if (rows > 0) {
        const std::int64_t first = row_bounds(input, input.offset).first;
        const std::int64_t last = row_bounds(input, end - 1).second;
        if (first >= 0 && last >= first && static_cast<std::uint64_t>(last) <= input.data.size()) {
            text_bytes = static_cast<std::size_t>(last - first);
        }
    }
    out.columns[static_cast<std::size_t>(RawData)].data.reserve(
        (input.binary ? 2 * text_bytes : text_bytes) + 2 * rows);
    out.columns[static_cast<std::size_t>(Kind)].data.reserve(12 * rows);
    core::Bytes buffer; // the bytes of one hexadecimal row, reused from row to row
    for (std::int64_t row = 0; row < input.length; ++row) {
        const std::int64_t index = input.offset + row;
        if (!input.validity.empty() && !bit_set(input.validity, index)) {
            writers.no_result(std::nullopt);
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
        auto record = evm::decode_revert(registry, bytes, std::nullopt);
        if (!record)
            return std::unexpected(
                ColumnFailure{ColumnFailure::Kind::Core, record.error().display()});
        writers.result(*record);
        if (row + 1 == kSampleRows && input.length > 2 * kSampleRows) {
            writers.reserve_like(static_cast<std::size_t>(kSampleRows),
                                 static_cast<std::size_t>(input.length));
        }
    }
    if (!writers.fit()) {
        return std::unexpected(
            ColumnFailure{ColumnFailure::Kind::Input,
                          "more than 2 GiB of text in one result column; decode smaller chunks"});
    }
    return out;
}

} // namespace kestrix::tools
