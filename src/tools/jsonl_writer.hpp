#pragma once
/// JSON Lines and CSV text of a record batch, written straight from its Arrow buffers: one
/// object per row, every column a key, null as `null`; or one CSV line per row, as Arrow's CSV
/// writer writes it. Plain C++; the Python face is jsonl_writer_call.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <expected>
#include <span>
#include <string_view>
#include <utility>

namespace kestrix::tools {

/// How a column's values become JSON.
enum class JsonColumnKind : std::uint8_t {
    Null, ///< every value null; no buffers
    Text, ///< UTF-8 with 32-bit offsets, quoted (escaped as json.dumps does; in CSV '"' doubled)
    LargeText, ///< the same with 64-bit offsets
    Json,      ///< text already rendered (32-bit offsets), written as it is
    LargeJson, ///< the same with 64-bit offsets
    Bool,      ///< bit-packed
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float32, ///< shortest round-trip digits; JSON takes finite values only
    Float64, ///< shortest round-trip digits; JSON takes finite values only
};

inline constexpr int kJsonColumnKinds = static_cast<int>(JsonColumnKind::Float64) + 1;

/// Bytes per value of a fixed-width kind (0 for the others).
[[nodiscard]] std::size_t value_width(JsonColumnKind kind) noexcept;

/// One column as Arrow holds it: `offset` is the array's slice offset (in values).
struct JsonColumn {
    std::string_view name; ///< UTF-8 key, escaped when written
    JsonColumnKind kind = JsonColumnKind::Null;
    std::int64_t offset = 0;
    std::span<const std::uint8_t> validity; ///< empty: no nulls
    std::span<const std::uint8_t> values;   ///< offsets (text), values or bits
    std::span<const std::uint8_t> data;     ///< the text bytes (text kinds)
};

/// Whether the buffers of `column` hold its values [offset, offset + rows) (text: the offsets;
/// each offset is checked against the data when read, by text_range).
[[nodiscard]] bool column_fits(const JsonColumn& column, std::int64_t rows) noexcept;

/// The byte range of text value `index` of a text kind whose buffers fit, or false when its
/// offsets leave the data.
[[nodiscard]] bool text_range(const JsonColumn& column, std::int64_t index, std::size_t& start,
                              std::size_t& size) noexcept;

/// Gives back the memory of a written text (`capacity` bytes from malloc): kept for the next
/// text while few are kept, else freed. Memory written for the first time costs a page fault
/// per 4 KiB, as much as writing the text itself.
void recycle_text(char* data, std::size_t capacity) noexcept;

/// The written text in memory from malloc; the owner gives it back with recycle_text.
class JsonLinesText {
public:
    JsonLinesText() = default;
    JsonLinesText(char* data, std::size_t size, std::size_t capacity) noexcept
        : data_(data), size_(size), capacity_(capacity) {}
    JsonLinesText(JsonLinesText&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    JsonLinesText& operator=(JsonLinesText&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    JsonLinesText(const JsonLinesText&) = delete;
    JsonLinesText& operator=(const JsonLinesText&) = delete;
    ~JsonLinesText() { recycle_text(data_, capacity_); }

    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// Bytes of memory behind data() (what recycle_text takes).
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    /// Hands the memory over (to be given back with recycle_text and capacity()).
    [[nodiscard]] char* release() noexcept {
        size_ = 0;
        capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct JsonLinesFailure {
    enum class Kind : std::uint8_t { Buffers, NotFinite, Memory };
    Kind kind = Kind::Buffers;
    std::size_t column = 0;
    std::string_view text; ///< static text saying what is wrong
};

/// The rows [0, rows) of `columns` as JSON Lines (each line ends in '\n'). Every buffer is
/// checked against the rows it must hold and every offset against the data before use: a
/// malformed column fails, nothing is read out of range.
[[nodiscard]] std::expected<JsonLinesText, JsonLinesFailure>
write_json_lines(std::int64_t rows, std::span<const JsonColumn> columns) noexcept;

/// The rows [0, rows) of `columns` as CSV, byte for byte what Arrow's CSV writer writes with
/// `delimiter` (its other options at their defaults): with `header`, a first line of the quoted
/// names; every text value quoted with '"' doubled inside, null as an empty unquoted field,
/// numbers and booleans as Arrow casts them to text (floats "nan", "inf", "-inf", "-0", "1e+16"),
/// each line ending in '\n'. No columns: no text at all, as Arrow writes it. Checked as
/// write_json_lines checks.
[[nodiscard]] std::expected<JsonLinesText, JsonLinesFailure>
write_csv(std::int64_t rows, std::span<const JsonColumn> columns, char delimiter,
          bool header) noexcept;

} // namespace kestrix::tools
