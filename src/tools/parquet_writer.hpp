#pragma once
/// A streaming Parquet writer over Arrow buffers: record batches are encoded as they come
/// (dictionary pages with a plain fallback, RLE definition levels, Snappy pages, one column per
/// thread), so a row group of a million rows costs the memory of its encoded pages, not of its
/// Arrow arrays; past a budget the finished pages go to the caller's spill file until the row
/// group is written, so memory stays level however large the group. Flat columns only; the Python
/// layer writes other files with Arrow's writer. Plain C++; the Python face is parquet_writer_call.

#include "tools/jsonl_writer.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrix::tools {

/// A column's type in the file. Text and Binary are stored alike (byte arrays, the former
/// marked UTF-8); integers narrower than 32 bits are stored as 32-bit ones, marked with their
/// width; the batch's column tells the Arrow layout (32- or 64-bit offsets).
enum class ParquetKind : std::uint8_t {
    Bool,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float32,
    Float64,
    Text,
    Binary,
};

inline constexpr int kParquetKinds = static_cast<int>(ParquetKind::Binary) + 1;

struct ParquetField {
    std::string name;
    ParquetKind kind = ParquetKind::Int64;
    bool nullable = true;
    bool statistics = true; ///< min and max (the null count is always written)
};

struct ParquetOptions {
    std::int64_t row_group_rows = std::int64_t{1} << 20;
    /// A row group also ends at the first batch boundary past this many encoded bytes.
    std::size_t row_group_bytes = std::size_t{128} << 20;
    std::size_t page_bytes = std::size_t{1} << 20;
    std::int64_t page_rows = 20000;
    /// A column chunk's dictionary past this size gives way to plain pages.
    std::size_t dictionary_bytes = std::size_t{1} << 20;
    /// Finished pages held for the row group past this many bytes are spilled (0: never).
    std::size_t spill_bytes = 0;
    unsigned threads = 1;
    std::string created_by;
    std::vector<std::pair<std::string, std::string>> metadata; ///< the footer's key-value pairs
};

struct ParquetFailure {
    enum class Kind : std::uint8_t { Buffers, Memory, Misuse };
    Kind kind = Kind::Buffers;
    std::size_t column = 0;
    std::string_view text; ///< static text saying what is wrong
};

using ParquetBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

/// A piece of the file: its bytes, or (no bytes) `spill_size` bytes the caller appended to its
/// spill file at `spill_offset`, to be copied in. A piece may be handed out twice (a column
/// that repeats another shares its pages).
struct ParquetPiece {
    ParquetBytes bytes;
    std::int64_t spill_offset = 0;
    std::int64_t spill_size = 0;

    [[nodiscard]] std::int64_t size() const noexcept {
        return bytes ? static_cast<std::int64_t>(bytes->size()) : spill_size;
    }
};

/// Pieces of the file, in order, each to be written after the ones before it.
using ParquetPieces = std::vector<ParquetPiece>;
/// Bytes to append to the spill file, in order: the file's pieces name them by their offsets
/// there, counted from the first byte ever spilled.
using ParquetSpill = std::vector<ParquetBytes>;

/// Rows of a batch that repeat rows of a memo (see DecodedColumns::memo_rows): for the columns
/// it names, rows with the same memo row under one numbering hold the same value, which the
/// writer then looks up once per row group instead of once per row.
struct ParquetMemoRows {
    std::uint64_t numbering = 0;
    /// Row r's memo row: four bytes (native order) at 4 * r.
    std::span<const std::uint8_t> rows;
    /// Per column of the batch: whether its values follow the memo row.
    std::vector<bool> follows;
};

class ParquetWriterState;

/// Writes one Parquet file as pieces of bytes: the caller appends every piece it is given, in
/// order. Not to be used from two threads at once (the calls say so rather than race).
class ParquetWriter {
public:
    [[nodiscard]] static std::expected<ParquetWriter, ParquetFailure>
    open(std::vector<ParquetField> fields, ParquetOptions options) noexcept;

    ParquetWriter(ParquetWriter&&) noexcept;
    ParquetWriter& operator=(ParquetWriter&&) noexcept;
    ~ParquetWriter();

    /// Encodes rows [0, rows) of `columns` (one per field, in order; checked against the rows
    /// they must hold before anything is read; `memo`, when given, against them too: a memo
    /// row that does not match its value gives a file that holds another of the column's values
    /// there, never a read outside the buffers). Row groups finished on the way are added to
    /// `ready` (the file's header first), pages spilled to `spill`; the caller appends `spill`
    /// to its spill file before it writes `ready`.
    [[nodiscard]] std::expected<void, ParquetFailure>
    write(std::int64_t rows, std::span<const JsonColumn> columns, ParquetPieces& ready,
          ParquetSpill& spill, const ParquetMemoRows* memo = nullptr) noexcept;

    /// Adds the last row group and the footer to `ready`; the writer takes nothing after.
    [[nodiscard]] std::expected<void, ParquetFailure> finish(ParquetPieces& ready) noexcept;

private:
    explicit ParquetWriter(std::unique_ptr<ParquetWriterState> state) noexcept;
    std::unique_ptr<ParquetWriterState> state_;
};

} // namespace kestrix::tools
