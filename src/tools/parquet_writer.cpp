#include "tools/parquet_writer.hpp"

#include "core/function_ref.hpp"
#include "tools/rle_hybrid.hpp"
#include "tools/snappy_compress.hpp"
#include "tools/thrift_compact.hpp"
#include "tools/value_dictionary.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <type_traits>

namespace kestrix::tools {

namespace {

// Numbers of the file format's enumerations.
constexpr int kBoolean = 0;
constexpr int kInt32 = 1;
constexpr int kInt64 = 2;
constexpr int kFloat = 4;
constexpr int kDouble = 5;
constexpr int kByteArray = 6;

constexpr int kPlain = 0;
constexpr int kRle = 3;
constexpr int kRleDictionary = 8;

constexpr int kDataPage = 0;
constexpr int kDictionaryPage = 2;

constexpr int kSnappy = 1;

constexpr int kRequired = 0;
constexpr int kOptional = 1;

/// Min and max values longer than this are left out of the statistics, as Arrow's writer does.
constexpr std::size_t kMaxStatisticsBytes = 4096;
/// Values encoded between checks of the page and dictionary limits.
constexpr std::int64_t kCheckEvery = 1024;
/// A page's sizes are 32-bit in its header: pages are cut well before.
constexpr std::size_t kMaxPageBytes = std::size_t{1} << 30;

using Failure = ParquetFailure;

[[nodiscard]] std::unexpected<Failure> fail(Failure::Kind kind, std::size_t column,
                                            std::string_view text) noexcept {
    return std::unexpected(Failure{kind, column, text});
}

[[nodiscard]] int physical_of(ParquetKind kind) noexcept {
    switch (kind) {
    case ParquetKind::Bool:
        return kBoolean;
    case ParquetKind::Int8:
    case ParquetKind::Int16:
    case ParquetKind::Int32:
    case ParquetKind::UInt8:
    case ParquetKind::UInt16:
    case ParquetKind::UInt32:
        return kInt32;
    case ParquetKind::Int64:
    case ParquetKind::UInt64:
        return kInt64;
    case ParquetKind::Float32:
        return kFloat;
    case ParquetKind::Float64:
        return kDouble;
    case ParquetKind::Text:
    case ParquetKind::Binary:
        return kByteArray;
    }
    return kByteArray;
}

/// Bytes of a stored fixed-width value (0: bits or byte arrays).
[[nodiscard]] std::size_t stored_width(ParquetKind kind) noexcept {
    switch (physical_of(kind)) {
    case kInt32:
    case kFloat:
        return 4;
    case kInt64:
    case kDouble:
        return 8;
    default:
        return 0;
    }
}

/// The Arrow layout a batch's column must have for a field of `kind`.
[[nodiscard]] bool layout_matches(ParquetKind kind, JsonColumnKind layout) noexcept {
    switch (kind) {
    case ParquetKind::Bool:
        return layout == JsonColumnKind::Bool;
    case ParquetKind::Int8:
        return layout == JsonColumnKind::Int8;
    case ParquetKind::Int16:
        return layout == JsonColumnKind::Int16;
    case ParquetKind::Int32:
        return layout == JsonColumnKind::Int32;
    case ParquetKind::Int64:
        return layout == JsonColumnKind::Int64;
    case ParquetKind::UInt8:
        return layout == JsonColumnKind::UInt8;
    case ParquetKind::UInt16:
        return layout == JsonColumnKind::UInt16;
    case ParquetKind::UInt32:
        return layout == JsonColumnKind::UInt32;
    case ParquetKind::UInt64:
        return layout == JsonColumnKind::UInt64;
    case ParquetKind::Float32:
        return layout == JsonColumnKind::Float32;
    case ParquetKind::Float64:
        return layout == JsonColumnKind::Float64;
    case ParquetKind::Text:
    case ParquetKind::Binary:
        return layout == JsonColumnKind::Text || layout == JsonColumnKind::LargeText;
    }
    return false;
}

[[nodiscard]] bool is_unsigned(ParquetKind kind) noexcept {
    return kind == ParquetKind::UInt8 || kind == ParquetKind::UInt16 ||
           kind == ParquetKind::UInt32 || kind == ParquetKind::UInt64;
}

[[nodiscard]] bool bit_at(std::span<const std::uint8_t> bits, std::int64_t index) noexcept {
    return (bits[static_cast<std::size_t>(index >> 3)] >> (index & 7) & 1) != 0;
}

template <typename Value>
[[nodiscard]] Value load(const std::uint8_t* at) noexcept {
    Value value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

/// 64x64 -> 128-bit multiply folded to 64 bits: the mixing step of the hash below.
[[nodiscard]] std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
    __extension__ typedef unsigned __int128 Wide;
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t kSeed0 = 0xa0761d6478bd642fULL;
constexpr std::uint64_t kSeed1 = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t kSeed2 = 0x8ebc6af09c88c6e3ULL;

/// A fast hash of a byte string for the dictionary (no attacker gains more than slow probing:
/// the table compares whole values).
[[nodiscard, gnu::always_inline]] inline std::uint64_t hash_bytes(const std::uint8_t* data,
                                                                  std::size_t size) noexcept {
    std::uint64_t state = kSeed0 ^ size;
    std::size_t left = size;
    if (left > 32) {
        // Two lanes over long values: each multiply waits on its own lane's last one only.
        std::uint64_t lane = kSeed2 ^ size;
        do {
            state = fold(load<std::uint64_t>(data) ^ kSeed1, load<std::uint64_t>(data + 8) ^ state);
            lane = fold(load<std::uint64_t>(data + 16) ^ kSeed2,
                        load<std::uint64_t>(data + 24) ^ lane);
            data += 32;
            left -= 32;
        } while (left > 32);
        state ^= lane;
    }
    while (left > 16) {
        state = fold(load<std::uint64_t>(data) ^ kSeed1, load<std::uint64_t>(data + 8) ^ state);
        data += 16;
        left -= 16;
    }
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (left >= 8) {
        a = load<std::uint64_t>(data);
        b = load<std::uint64_t>(data + left - 8);
    } else if (left >= 4) {
        a = load<std::uint32_t>(data);
        b = load<std::uint32_t>(data + left - 4);
    } else if (left > 0) {
        a = std::uint64_t{data[0]} << 16 | std::uint64_t{data[left / 2]} << 8 | data[left - 1];
    }
    return fold(a ^ kSeed1, fold(b ^ kSeed2, state));
}

[[nodiscard]] std::uint64_t hash_word(std::uint64_t value) noexcept {
    return fold(value ^ kSeed1, kSeed2);
}

/// Min and max of a column chunk, kept in the order the column's type sorts by.
class Bounds {
public:
    explicit Bounds(ParquetKind kind) : kind_(kind) {}

    /// Takes a value as stored (widened integers, float bits, bytes).
    void take(const std::uint8_t* data, std::size_t size) {
        if (kind_ == ParquetKind::Float32 || kind_ == ParquetKind::Float64) {
            const double value =
                kind_ == ParquetKind::Float32 ? load<float>(data) : load<double>(data);
            if (std::isnan(value)) return;
        }
        if (!seen_) {
            min_.assign(data, data + size);
            max_.assign(data, data + size);
            seen_ = true;
            return;
        }
        if (less(data, size, min_)) min_.assign(data, data + size);
        if (less(max_.data(), max_.size(), std::span<const std::uint8_t>(data, size)))
            max_.assign(data, data + size);
    }

    [[nodiscard]] bool seen() const noexcept { return seen_; }
    /// The bounds as the statistics store them (a float zero as -0 below and +0 above).
    [[nodiscard]] std::vector<std::uint8_t> min() const { return signed_zero(min_, true); }
    [[nodiscard]] std::vector<std::uint8_t> max() const { return signed_zero(max_, false); }

    void clear() noexcept {
        seen_ = false;
        min_.clear();
        max_.clear();
    }

private:
    [[nodiscard]] bool less(const std::uint8_t* data, std::size_t size,
                            std::span<const std::uint8_t> other) const noexcept {
        switch (kind_) {
        case ParquetKind::Bool:
            return data[0] < other[0];
        case ParquetKind::Int8:
        case ParquetKind::Int16:
        case ParquetKind::Int32:
            return load<std::int32_t>(data) < load<std::int32_t>(other.data());
        case ParquetKind::UInt8:
        case ParquetKind::UInt16:
        case ParquetKind::UInt32:
            return load<std::uint32_t>(data) < load<std::uint32_t>(other.data());
        case ParquetKind::Int64:
            return load<std::int64_t>(data) < load<std::int64_t>(other.data());
        case ParquetKind::UInt64:
            return load<std::uint64_t>(data) < load<std::uint64_t>(other.data());
        case ParquetKind::Float32:
            return load<float>(data) < load<float>(other.data());
        case ParquetKind::Float64:
            return load<double>(data) < load<double>(other.data());
        case ParquetKind::Text:
        case ParquetKind::Binary: {
            const std::size_t common = std::min(size, other.size());
            const int order = common == 0 ? 0 : std::memcmp(data, other.data(), common);
            return order < 0 || (order == 0 && size < other.size());
        }
        }
        return false;
    }

    [[nodiscard]] std::vector<std::uint8_t> signed_zero(const std::vector<std::uint8_t>& value,
                                                        bool negative) const {
        std::vector<std::uint8_t> out = value;
        if (kind_ == ParquetKind::Float32 && load<float>(value.data()) == 0.0F) {
            const float zero = negative ? -0.0F : 0.0F;
            std::memcpy(out.data(), &zero, sizeof zero);
        } else if (kind_ == ParquetKind::Float64 && load<double>(value.data()) == 0.0) {
            const double zero = negative ? -0.0 : 0.0;
            std::memcpy(out.data(), &zero, sizeof zero);
        }
        return out;
    }

    ParquetKind kind_;
    bool seen_ = false;
    std::vector<std::uint8_t> min_;
    std::vector<std::uint8_t> max_;
};

/// What the footer says of a written column chunk.
struct ChunkSummary {
    std::int64_t values = 0;
    std::int64_t nulls = 0;
    std::int64_t uncompressed = 0;    ///< page headers and bodies before compression
    std::int64_t compressed = 0;      ///< as written
    std::int64_t dictionary_page = 0; ///< bytes of the dictionary page (0: none)
    int dictionary_pages = 0;
    int indexed_pages = 0;
    int plain_pages = 0;
    std::optional<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> bounds;
};

/// A finished column chunk: its summary and its bytes (dictionary page, then data pages).
struct FinishedChunk {
    ChunkSummary summary;
    ParquetPieces pieces;
};

/// Bytes gathered in blocks of a quarter mebibyte or more: no block is ever copied to grow, and the
/// finished blocks are what the file is written from.
class BlockList {
public:
    /// Room for `size` more bytes at the end of the last block.
    std::vector<std::uint8_t>& room_for(std::size_t size) {
        if (blocks_.empty() || blocks_.back()->size() + size > blocks_.back()->capacity()) {
            auto block = std::make_shared<std::vector<std::uint8_t>>();
            block->reserve(std::max(kBlockBytes, size));
            blocks_.push_back(std::move(block));
        }
        return *blocks_.back();
    }
    [[nodiscard]] std::size_t size() const noexcept {
        std::size_t total = 0;
        for (const auto& block : blocks_)
            total += block->size();
        return total;
    }
    /// An independent copy (the blocks of a column that stops repeating another).
    [[nodiscard]] BlockList copy() const {
        BlockList copied;
        for (const auto& block : blocks_) {
            auto own = std::make_shared<std::vector<std::uint8_t>>();
            own->reserve(block->capacity());
            own->assign(block->begin(), block->end());
            copied.blocks_.push_back(std::move(own));
        }
        return copied;
    }
    /// Hands the blocks out as pieces of the file.
    void move_into(ParquetPieces& pieces) {
        for (auto& block : blocks_)
            pieces.push_back({.bytes = std::move(block)});
        blocks_.clear();
    }
    /// Hands the blocks out to be spilled; their bytes.
    std::size_t move_into(ParquetSpill& spill) {
        std::size_t bytes = 0;
        for (auto& block : blocks_) {
            bytes += block->size();
            spill.push_back(std::move(block));
        }
        blocks_.clear();
        return bytes;
    }

private:
    static constexpr std::size_t kBlockBytes = std::size_t{256} << 10;
    std::vector<std::shared_ptr<std::vector<std::uint8_t>>> blocks_;
};

/// Encodes one column's values into the pages of the current column chunk.
class ColumnChunkWriter {
public:
    ColumnChunkWriter(const ParquetField& field, const ParquetOptions& options)
        : field_(field), options_(options), width_(stored_width(field.kind)),
          dictionary_(width_, options.dictionary_bytes), bounds_(field.kind),
          use_dictionary_(field.kind != ParquetKind::Bool), indexing_(use_dictionary_) {}

    /// Encodes values [begin, begin + count) of the batch column (its offset added). `memo`
    /// (rows of the batch, `memo_limit` above the largest) when the column's values follow them.
    [[nodiscard]] std::expected<void, std::string_view>
    append(const JsonColumn& column, std::int64_t begin, std::int64_t count,
           const ParquetMemoRows* memo = nullptr, std::uint32_t memo_limit = 0) {
        memo_entries_ = nullptr;
        if (memo != nullptr && indexing_ && width_ == 0) {
            memo_entries_ = memo_slot(memo->numbering, memo_limit).data();
            memo_rows_ = memo->rows.data();
            memo_base_ = column.offset;
        }
        std::int64_t done = 0;
        while (done < count) {
            const std::int64_t room = options_.page_rows - page_values_;
            std::int64_t step = std::min({count - done, kCheckEvery, room});
            const std::int64_t first = column.offset + begin + done;
            // Long values: fewer at a time, so that no page or dictionary passes its limit by
            // more than a page's worth.
            while (step > 1 && text_bytes(column, first, step) > options_.page_bytes)
                step /= 2;
            if (step == 1 && text_bytes(column, first, 1) > kMaxPageBytes)
                return std::unexpected("a value too large for a Parquet page (over 1 GiB)");
            if (auto added = append_some(column, first, step); !added) return added;
            done += step;
            check_limits();
        }
        return {};
    }

    /// Bytes of the text values [first, first + count) by their offsets (0 for other kinds;
    /// each offset is checked again when its value is read).
    [[nodiscard]] static std::uint64_t text_bytes(const JsonColumn& column, std::int64_t first,
                                                  std::int64_t count) noexcept {
        std::int64_t start = 0;
        std::int64_t end = 0;
        if (column.kind == JsonColumnKind::Text) {
            start = load<std::int32_t>(column.values.data() + first * 4);
            end = load<std::int32_t>(column.values.data() + (first + count) * 4);
        } else if (column.kind == JsonColumnKind::LargeText) {
            start = load<std::int64_t>(column.values.data() + first * 8);
            end = load<std::int64_t>(column.values.data() + (first + count) * 8);
        }
        return end > start ? static_cast<std::uint64_t>(end - start) : 0;
    }

    /// Takes over the chunk written so far by `other`, a column of the same kind whose values
    /// this one has repeated until now.
    void copy_chunk_from(const ColumnChunkWriter& other) {
        dictionary_ = other.dictionary_;
        bounds_ = other.bounds_;
        indexing_ = other.indexing_;
        page_values_ = other.page_values_;
        page_nulls_ = other.page_nulls_;
        levels_ = other.levels_;
        indices_ = other.indices_;
        plain_ = other.plain_;
        bits_ = other.bits_;
        forget_memo_rows();
        pages_ = other.pages_.copy();
        spilled_ = other.spilled_;
        spilled_bytes_ = other.spilled_bytes_;
        summary_ = other.summary_;
    }

    /// Encoded bytes of the chunk so far (pages, spilled or not, and the dictionary).
    [[nodiscard]] std::size_t chunk_bytes() const noexcept {
        return pages_.size() + spilled_bytes_ + dictionary_.plain().size() + plain_.size() +
               indices_.size();
    }

    /// Bytes of finished pages held in memory.
    [[nodiscard]] std::size_t page_bytes() const noexcept { return pages_.size(); }

    /// Moves the finished pages to `spill`, which the caller appends to its spill file at
    /// `offset`; the chunk keeps where they went.
    void spill(ParquetSpill& spill, std::int64_t& offset) {
        const std::size_t before = spill.size();
        const auto size = static_cast<std::int64_t>(pages_.move_into(spill));
        if (size == 0) {
            spill.resize(before);
            return;
        }
        if (!spilled_.empty() &&
            spilled_.back().spill_offset + spilled_.back().spill_size == offset)
            spilled_.back().spill_size += size; // right after this chunk's last spill
        else
            spilled_.push_back({.bytes = nullptr, .spill_offset = offset, .spill_size = size});
        spilled_bytes_ += static_cast<std::size_t>(size);
        offset += size;
    }

    /// Ends the chunk: its pages and summary; the writer starts a new chunk.
    [[nodiscard]] FinishedChunk finish() {
        flush_page();
        FinishedChunk chunk;
        auto dictionary = std::make_shared<std::vector<std::uint8_t>>();
        if (summary_.indexed_pages > 0) {
            page_body_.assign(dictionary_.plain().begin(), dictionary_.plain().end());
            const auto entries = static_cast<std::int32_t>(dictionary_.count());
            const std::size_t header = put_page(
                kDictionaryPage,
                [&](ThriftWriter& thrift) {
                    thrift.begin_struct(7);
                    thrift.field_i32(1, entries);
                    thrift.field_i32(2, kPlain);
                    thrift.end_struct();
                },
                [&](std::size_t) -> std::vector<std::uint8_t>& { return *dictionary; });
            summary_.dictionary_page = static_cast<std::int64_t>(dictionary->size());
            summary_.dictionary_pages = 1;
            summary_.uncompressed += static_cast<std::int64_t>(header + page_body_.size());
            summary_.compressed += static_cast<std::int64_t>(dictionary->size());
            chunk.pieces.push_back({.bytes = std::move(dictionary)});
            // The page buffers grew to the dictionary's size, up to a megabyte a column, which
            // the next row group's data pages do not need: given back rather than kept.
            std::vector<std::uint8_t>().swap(page_body_);
            std::vector<std::uint8_t>().swap(compressed_);
        }
        if (field_.statistics && bounds_.seen()) {
            auto min = bounds_.min();
            auto max = bounds_.max();
            if (min.size() <= kMaxStatisticsBytes && max.size() <= kMaxStatisticsBytes)
                summary_.bounds.emplace(std::move(min), std::move(max));
        }
        chunk.summary = std::move(summary_);
        chunk.pieces.insert(chunk.pieces.end(), spilled_.begin(), spilled_.end());
        pages_.move_into(chunk.pieces);
        spilled_.clear();
        spilled_bytes_ = 0;
        summary_ = {};
        dictionary_.clear();
        forget_memo_rows();
        bounds_.clear();
        indexing_ = use_dictionary_;
        return chunk;
    }

private:
    /// Encodes values [first, first + count) of the column: levels, then each present value.
    [[nodiscard]] std::expected<void, std::string_view>
    append_some(const JsonColumn& column, std::int64_t first, std::int64_t count) {
        switch (field_.kind) {
        case ParquetKind::Bool:
            return append_values(column, first, count, [&](std::int64_t index, Word& value) {
                value = bit_at(column.values, index) ? 1 : 0;
                return true;
            });
        case ParquetKind::Int8:
            return append_fixed<std::int8_t, std::int32_t>(column, first, count);
        case ParquetKind::Int16:
            return append_fixed<std::int16_t, std::int32_t>(column, first, count);
        case ParquetKind::Int32:
            return append_fixed<std::int32_t, std::int32_t>(column, first, count);
        case ParquetKind::UInt8:
            return append_fixed<std::uint8_t, std::uint32_t>(column, first, count);
        case ParquetKind::UInt16:
            return append_fixed<std::uint16_t, std::uint32_t>(column, first, count);
        case ParquetKind::UInt32:
        case ParquetKind::Float32:
            return append_fixed<std::uint32_t, std::uint32_t>(column, first, count);
        case ParquetKind::Int64:
        case ParquetKind::UInt64:
        case ParquetKind::Float64:
            return append_fixed<std::uint64_t, std::uint64_t>(column, first, count);
        case ParquetKind::Text:
        case ParquetKind::Binary:
            if (column.kind == JsonColumnKind::LargeText)
                return append_bytes<std::int64_t>(column, first, count);
            return append_bytes<std::int32_t>(column, first, count);
        }
        return {};
    }

    /// A fixed-width value as stored: integers widened to the stored width, float bits.
    using Word = std::uint64_t;

    template <typename Narrow, typename Stored>
    [[nodiscard]] std::expected<void, std::string_view>
    append_fixed(const JsonColumn& column, std::int64_t first, std::int64_t count) {
        const std::uint8_t* values = column.values.data();
        return append_values(column, first, count, [&](std::int64_t index, Word& value) {
            const Stored stored =
                load<Narrow>(values + static_cast<std::size_t>(index) * sizeof(Narrow));
            value = static_cast<std::make_unsigned_t<Stored>>(stored);
            return true;
        });
    }

    template <typename Offset>
    [[nodiscard]] std::expected<void, std::string_view>
    append_bytes(const JsonColumn& column, std::int64_t first, std::int64_t count) {
        const std::uint8_t* offsets = column.values.data();
        const std::uint8_t* text = column.data.data();
        const auto limit = static_cast<std::uint64_t>(column.data.size());
        return append_values(column, first, count, [&](std::int64_t index, Bytes& value) {
            const Offset start =
                load<Offset>(offsets + static_cast<std::size_t>(index) * sizeof(Offset));
            const Offset end =
                load<Offset>(offsets + static_cast<std::size_t>(index + 1) * sizeof(Offset));
            if (start < 0 || end < start || static_cast<std::uint64_t>(end) > limit) return false;
            value = {text + start, static_cast<std::size_t>(end - start)};
            return true;
        });
    }

    using Bytes = std::span<const std::uint8_t>;

    /// The loop over values, `read` giving each present value (false: offsets out of range).
    template <typename Read>
    [[nodiscard]] std::expected<void, std::string_view>
    append_values(const JsonColumn& column, std::int64_t first, std::int64_t count, Read read) {
        using Value =
            std::conditional_t<std::is_invocable_v<Read, std::int64_t, Word&>, Word, Bytes>;
        const auto n = static_cast<std::size_t>(count);
        const bool validity = !column.validity.empty();
        std::uint8_t* levels = nullptr;
        if (field_.nullable) {
            levels_.resize(levels_.size() + n);
            levels = levels_.data() + levels_.size() - n;
        }
        const std::size_t before = indices_.size();
        if (indexing_) indices_.resize(before + n);
        std::uint32_t* indices = indices_.data() + before;
        std::size_t indexed = 0;
        std::int64_t nulls = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto index = first + static_cast<std::int64_t>(i);
            const bool present = !validity || bit_at(column.validity, index);
            if (levels != nullptr) levels[i] = present ? 1 : 0;
            if (!present) {
                ++nulls;
                continue;
            }
            if constexpr (std::is_same_v<Value, Bytes>) {
                // A value whose memo row came before in this row group: its entry, unread.
                if (memo_entries_ != nullptr && indexing_) {
                    if (const std::uint32_t known = memo_entries_[memo_row(index)]; known != 0) {
                        indices[indexed++] = known - 1;
                        continue;
                    }
                }
            }
            Value value{};
            if (!read(index, value)) return std::unexpected("an offset points outside the data");
            if constexpr (std::is_same_v<Value, Word>) {
                if (field_.kind == ParquetKind::Bool) {
                    bits_.push_back(static_cast<std::uint8_t>(value));
                    if (field_.statistics) bounds_.take(bits_.data() + bits_.size() - 1, 1);
                    continue;
                }
                std::uint8_t stored[8];
                std::memcpy(stored, &value, sizeof stored);
                if (indexing_) {
                    const auto [entry, fresh] =
                        dictionary_.insert(stored, width_, hash_word(value));
                    indices[indexed++] = entry;
                    if (fresh && field_.statistics) bounds_.take(stored, width_);
                } else {
                    plain_.insert(plain_.end(), stored, stored + width_);
                    if (field_.statistics) bounds_.take(stored, width_);
                }
            } else {
                if (indexing_) {
                    const auto [entry, fresh] = dictionary_.insert(
                        value.data(), value.size(), hash_bytes(value.data(), value.size()));
                    indices[indexed++] = entry;
                    if (fresh && field_.statistics) bounds_.take(value.data(), value.size());
                    if (memo_entries_ != nullptr) memo_entries_[memo_row(index)] = entry + 1;
                } else {
                    put_u32(plain_, static_cast<std::uint32_t>(value.size()));
                    plain_.insert(plain_.end(), value.begin(), value.end());
                    if (field_.statistics) bounds_.take(value.data(), value.size());
                }
            }
        }
        if (nulls > 0 && !field_.nullable)
            return std::unexpected("a null in a column that takes none");
        if (indexing_) indices_.resize(before + indexed);
        page_values_ += count;
        summary_.values += count;
        summary_.nulls += nulls;
        page_nulls_ += nulls;
        return {};
    }

    /// Cuts the page at its row or byte limit; leaves the dictionary once it is too large.
    void check_limits() {
        if (indexing_ && dictionary_.plain().size() > options_.dictionary_bytes) {
            flush_page();
            indexing_ = false;
            dictionary_.drop_index();
            return;
        }
        const std::size_t bytes =
            indexing_ ? indices_.size() *
                            static_cast<std::size_t>(
                                bit_width_of(static_cast<std::uint32_t>(dictionary_.count()))) /
                            8
                      : plain_.size() + bits_.size() / 8;
        if (page_values_ >= options_.page_rows ||
            bytes + levels_.size() / 8 >= std::min(options_.page_bytes, kMaxPageBytes))
            flush_page();
    }

    /// Compresses page_body_ (every page is Snappy) and appends the page, header and body, to
    /// `out`; the header's size.
    std::size_t put_page(int type, core::FunctionRef<void(ThriftWriter&)> specific,
                         core::FunctionRef<std::vector<std::uint8_t>&(std::size_t)> out) {
        compressed_.resize(snappy_max_compressed_size(page_body_.size()));
        const std::size_t body_size = snappy_compress(page_body_, compressed_.data());
        const std::uint8_t* body = compressed_.data();
        header_.clear();
        ThriftWriter thrift(header_);
        thrift.field_i32(1, type);
        thrift.field_i32(2, static_cast<std::int32_t>(page_body_.size()));
        thrift.field_i32(3, static_cast<std::int32_t>(body_size));
        specific(thrift);
        thrift.end();
        std::vector<std::uint8_t>& target = out(header_.size() + body_size);
        target.insert(target.end(), header_.begin(), header_.end());
        target.insert(target.end(), body, body + body_size);
        return header_.size();
    }

    void flush_page() {
        if (page_values_ == 0) return;
        page_body_.clear();
        if (field_.nullable) {
            page_body_.resize(4);
            if (page_nulls_ == 0 || page_nulls_ == page_values_) {
                // One run: the usual page of a column without nulls, or of nulls only.
                rle_hybrid_run(levels_.size(), page_nulls_ == 0 ? 1 : 0, 1, page_body_);
            } else {
                rle_hybrid_encode(levels_.data(), levels_.size(), 1, page_body_);
            }
            const auto length = static_cast<std::uint32_t>(page_body_.size() - 4);
            std::memcpy(page_body_.data(), &length, 4);
        }
        int encoding = kPlain;
        if (indexing_ && !indices_.empty()) {
            encoding = kRleDictionary;
            const int width = bit_width_of(static_cast<std::uint32_t>(dictionary_.count() - 1));
            page_body_.push_back(static_cast<std::uint8_t>(width));
            rle_hybrid_encode(indices_.data(), indices_.size(), width, page_body_);
        } else if (field_.kind == ParquetKind::Bool) {
            const std::size_t start = page_body_.size();
            page_body_.resize(start + (bits_.size() + 7) / 8, 0);
            for (std::size_t i = 0; i < bits_.size(); ++i)
                page_body_[start + i / 8] |= static_cast<std::uint8_t>(bits_[i] << (i % 8));
        } else {
            page_body_.insert(page_body_.end(), plain_.begin(), plain_.end());
        }
        const auto values = static_cast<std::int32_t>(page_values_);
        std::size_t written = 0;
        const std::size_t header = put_page(
            kDataPage,
            [&](ThriftWriter& thrift) {
                thrift.begin_struct(5);
                thrift.field_i32(1, values);
                thrift.field_i32(2, encoding);
                thrift.field_i32(3, kRle);
                thrift.field_i32(4, kRle);
                thrift.end_struct();
            },
            [&](std::size_t size) -> std::vector<std::uint8_t>& {
                written = size;
                return pages_.room_for(size);
            });
        summary_.uncompressed += static_cast<std::int64_t>(header + page_body_.size());
        summary_.compressed += static_cast<std::int64_t>(written);
        ++(encoding == kRleDictionary ? summary_.indexed_pages : summary_.plain_pages);
        page_values_ = 0;
        page_nulls_ = 0;
        levels_.clear();
        indices_.clear();
        plain_.clear();
        bits_.clear();
    }

    const ParquetField& field_;
    const ParquetOptions& options_;
    std::size_t width_;
    ValueDictionary dictionary_;
    Bounds bounds_;
    bool use_dictionary_; ///< booleans are always plain
    bool indexing_;       ///< values go to the dictionary (until it grows too large)

    // The page being gathered.
    std::int64_t page_values_ = 0;
    std::int64_t page_nulls_ = 0;
    std::vector<std::uint8_t> levels_; ///< 1 present, 0 null (nullable columns only)
    std::vector<std::uint32_t> indices_;
    std::vector<std::uint8_t> plain_;
    std::vector<std::uint8_t> bits_; ///< boolean values, one a byte

    std::vector<std::uint8_t> page_body_;
    std::vector<std::uint8_t> compressed_;
    std::vector<std::uint8_t> header_;
    /// Per numbering of a memo's rows (a few: each decoding thread has its memo), each memo
    /// row's dictionary entry + 1 in this chunk (0: not met yet).
    struct MemoSlot {
        std::uint64_t numbering = 0;
        std::vector<std::uint32_t> entries;
    };
    std::array<MemoSlot, 4> memo_slots_;
    std::size_t memo_next_ = 0;
    std::uint32_t* memo_entries_ = nullptr; ///< the slot of the batch being appended
    const std::uint8_t* memo_rows_ = nullptr;
    std::int64_t memo_base_ = 0; ///< the Arrow index of the batch's first row

    /// The memo row of the value at Arrow index `index`.
    [[nodiscard]] std::uint32_t memo_row(std::int64_t index) const noexcept {
        return load<std::uint32_t>(memo_rows_ + static_cast<std::size_t>(index - memo_base_) * 4);
    }

    std::vector<std::uint32_t>& memo_slot(std::uint64_t numbering, std::uint32_t limit) {
        auto found = std::ranges::find(memo_slots_, numbering, &MemoSlot::numbering);
        if (found == memo_slots_.end()) {
            found = memo_slots_.begin() +
                    static_cast<std::ptrdiff_t>(memo_next_++ % memo_slots_.size());
            found->numbering = numbering;
            found->entries.assign(limit, 0);
        } else if (found->entries.size() < limit) {
            found->entries.resize(limit, 0);
        }
        return found->entries;
    }

    /// The entries belong to the chunk's dictionary: a new one starts without them.
    void forget_memo_rows() noexcept {
        for (MemoSlot& slot : memo_slots_)
            slot.numbering = 0;
    }

    BlockList pages_;                   ///< the chunk's finished data pages held in memory
    std::vector<ParquetPiece> spilled_; ///< and before them, those spilled
    std::size_t spilled_bytes_ = 0;
    ChunkSummary summary_;
};

/// Runs the columns of a batch on a few threads: the calling one and `threads - 1` others.
class ColumnPool {
public:
    explicit ColumnPool(unsigned threads) {
        for (unsigned i = 1; i < threads; ++i) {
            try {
                workers_.emplace_back([this] { work_loop(); });
            } catch (...) {
                break; // fewer threads: the same output
            }
        }
    }
    ColumnPool(const ColumnPool&) = delete;
    ColumnPool& operator=(const ColumnPool&) = delete;
    ~ColumnPool() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_)
            worker.join();
    }

    /// Calls task(i) for every i in [0, count); returns when all calls have returned.
    void run(std::size_t count, core::FunctionRef<void(std::size_t)> task) noexcept {
        if (workers_.empty() || count < 2) {
            for (std::size_t i = 0; i < count; ++i)
                task(i);
            return;
        }
        {
            const std::lock_guard lock(mutex_);
            task_.emplace(task);
            count_ = count;
            next_.store(0);
            busy_ = workers_.size();
            ++generation_;
        }
        wake_.notify_all();
        take_tasks(task, count);
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return busy_ == 0; });
        task_.reset();
    }

private:
    void take_tasks(core::FunctionRef<void(std::size_t)> task, std::size_t count) noexcept {
        for (std::size_t i = next_.fetch_add(1); i < count; i = next_.fetch_add(1))
            task(i);
    }

    void work_loop() noexcept {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
            if (stop_) return;
            seen = generation_;
            const core::FunctionRef<void(std::size_t)> task = *task_;
            const std::size_t count = count_;
            lock.unlock();
            take_tasks(task, count);
            lock.lock();
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::optional<core::FunctionRef<void(std::size_t)>> task_;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_{0};
    std::size_t busy_ = 0;
    std::uint64_t generation_ = 0;
    bool stop_ = false;
};

/// Where a written column chunk sits in the file.
struct PlacedChunk {
    ChunkSummary summary;
    std::int64_t start = 0; ///< file offset of its first page
};

struct RowGroupSummary {
    std::int64_t rows = 0;
    std::int64_t start = 0;
    std::vector<PlacedChunk> chunks;
};

} // namespace

class ParquetWriterState {
public:
    ParquetWriterState(std::vector<ParquetField> fields, ParquetOptions options)
        : fields_(std::move(fields)), options_(std::move(options)),
          pool_(std::max(1U, options_.threads)) {
        columns_.reserve(fields_.size());
        for (const ParquetField& field : fields_)
            columns_.emplace_back(field, options_);
    }

    /// Whether a batch fits the fields (checked before any of it is encoded).
    std::expected<void, Failure> check(std::int64_t rows,
                                       std::span<const JsonColumn> columns) const noexcept {
        if (columns.size() != fields_.size())
            return fail(Failure::Kind::Buffers, columns.size(), "one column a field is needed");
        if (rows < 0 || rows > (std::int64_t{1} << 40))
            return fail(Failure::Kind::Buffers, 0, "bad row count");
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (!layout_matches(fields_[i].kind, columns[i].kind))
                return fail(Failure::Kind::Buffers, i, "the column's layout is not its field's");
            if (!column_fits(columns[i], rows))
                return fail(Failure::Kind::Buffers, i, "buffers too short for the rows");
        }
        return {};
    }

    std::expected<void, Failure> write(std::int64_t rows, std::span<const JsonColumn> columns,
                                       ParquetPieces& ready, ParquetSpill& spill,
                                       const ParquetMemoRows* memo) {
        start_file(ready);
        // Memo rows that could not be of this batch are left unused.
        std::uint32_t memo_limit = 0;
        if (memo != nullptr && (memo->numbering == 0 || memo->follows.size() != columns.size() ||
                                memo->rows.size() / 4 < static_cast<std::size_t>(rows)))
            memo = nullptr;
        for (std::int64_t row = 0; memo != nullptr && row < rows; ++row) {
            const auto at =
                load<std::uint32_t>(memo->rows.data() + static_cast<std::size_t>(row) * 4);
            if (at >= kMaxMemoRows) memo = nullptr;
            memo_limit = std::max(memo_limit, at + 1);
        }
        std::int64_t done = 0;
        while (done < rows) {
            const std::int64_t step = std::min(rows - done, options_.row_group_rows - group_rows_);
            if (auto appended = append(columns, done, step, memo, memo_limit); !appended)
                return appended;
            group_rows_ += step;
            done += step;
            if (group_rows_ >= options_.row_group_rows) end_row_group(ready);
        }
        std::size_t group_bytes = 0;
        std::size_t page_bytes = 0;
        for (const ColumnChunkWriter& column : columns_) {
            group_bytes += column.chunk_bytes();
            page_bytes += column.page_bytes();
        }
        if (group_bytes >= options_.row_group_bytes)
            end_row_group(ready);
        else if (options_.spill_bytes > 0 && page_bytes > options_.spill_bytes)
            for (ColumnChunkWriter& column : columns_)
                column.spill(spill, spilled_);
        return {};
    }

    void finish(ParquetPieces& ready) {
        start_file(ready);
        end_row_group(ready);
        std::vector<std::uint8_t> footer;
        footer_into(footer);
        const auto length = static_cast<std::uint32_t>(footer.size());
        put_u32(footer, length);
        footer.insert(footer.end(), {'P', 'A', 'R', '1'});
        ready.push_back(
            {.bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(footer))});
    }

    std::atomic<bool> busy{false};
    bool broken = false;
    bool finished = false;

private:
    void start_file(ParquetPieces& ready) {
        if (offset_ != 0) return;
        ready.push_back({.bytes = std::make_shared<const std::vector<std::uint8_t>>(
                             std::vector<std::uint8_t>{'P', 'A', 'R', '1'})});
        offset_ = 4;
    }

    /// Whether column `i` may repeat the chunk of column `j`: the same type, and statistics
    /// wherever `i` needs them.
    [[nodiscard]] bool can_repeat(std::size_t i, std::size_t j) const noexcept {
        return fields_[i].kind == fields_[j].kind && fields_[i].nullable == fields_[j].nullable &&
               (fields_[j].statistics || !fields_[i].statistics);
    }

    /// Columns that are the very same Arrow array as an earlier one (the decoded raw data and
    /// its input, the root cause of rows without nesting and the outer error) are encoded once
    /// for as long as they stay the same; one that stops repeating takes over a copy of the
    /// chunk so far.
    void match_repeats(std::span<const JsonColumn> columns) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (group_rows_ == 0) {
                repeats_[i] = kNone;
                for (std::size_t j = 0; j < i; ++j)
                    if (repeats_[j] == kNone && can_repeat(i, j) &&
                        same_array(columns[i], columns[j])) {
                        repeats_[i] = j;
                        break;
                    }
            } else if (repeats_[i] != kNone && !same_array(columns[i], columns[repeats_[i]])) {
                columns_[i].copy_chunk_from(columns_[repeats_[i]]);
                repeats_[i] = kNone;
            }
        }
    }

    [[nodiscard]] static bool same_array(const JsonColumn& a, const JsonColumn& b) noexcept {
        const auto same = [](std::span<const std::uint8_t> x, std::span<const std::uint8_t> y) {
            return x.data() == y.data() && x.size() == y.size();
        };
        return a.kind == b.kind && a.offset == b.offset && same(a.validity, b.validity) &&
               same(a.values, b.values) && same(a.data, b.data);
    }

    std::expected<void, Failure> append(std::span<const JsonColumn> columns, std::int64_t begin,
                                        std::int64_t count, const ParquetMemoRows* memo,
                                        std::uint32_t memo_limit) {
        match_repeats(columns);
        std::vector<std::size_t> encoded;
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (repeats_[i] == kNone) encoded.push_back(i);
        std::vector<std::optional<Failure>> failures(columns.size());
        pool_.run(encoded.size(), [&](std::size_t task) {
            const std::size_t i = encoded[task];
            try {
                const bool follows = memo != nullptr && memo->follows[i];
                if (auto added = columns_[i].append(columns[i], begin, count,
                                                    follows ? memo : nullptr, memo_limit);
                    !added)
                    failures[i] = Failure{Failure::Kind::Buffers, i, added.error()};
            } catch (const std::bad_alloc&) {
                failures[i] = Failure{Failure::Kind::Memory, i, "out of memory"};
            }
        });
        for (const std::optional<Failure>& failure : failures)
            if (failure) return std::unexpected(*failure);
        return {};
    }

    void end_row_group(ParquetPieces& ready) {
        if (group_rows_ == 0) return;
        std::vector<FinishedChunk> finished(columns_.size());
        std::vector<char> memory_failed(columns_.size(), 0);
        std::vector<std::size_t> encoded;
        for (std::size_t i = 0; i < columns_.size(); ++i)
            if (repeats_[i] == kNone) encoded.push_back(i);
        pool_.run(encoded.size(), [&](std::size_t task) {
            try {
                finished[encoded[task]] = columns_[encoded[task]].finish();
            } catch (const std::bad_alloc&) {
                memory_failed[encoded[task]] = 1;
            }
        });
        if (std::ranges::find(memory_failed, 1) != memory_failed.end()) throw std::bad_alloc();
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            if (repeats_[i] == kNone) continue;
            finished[i] = finished[repeats_[i]];
            if (!fields_[i].statistics) finished[i].summary.bounds.reset();
            repeats_[i] = kNone;
        }
        RowGroupSummary group;
        group.rows = group_rows_;
        group.start = offset_;
        for (FinishedChunk& chunk : finished) {
            group.chunks.push_back({std::move(chunk.summary), offset_});
            for (ParquetPiece& piece : chunk.pieces) {
                offset_ += piece.size();
                if (piece.size() > 0) ready.push_back(std::move(piece));
            }
        }
        groups_.push_back(std::move(group));
        group_rows_ = 0;
    }

    void schema_into(ThriftWriter& thrift) const {
        thrift.begin_list(2, ThriftType::Struct, fields_.size() + 1);
        thrift.begin_element();
        thrift.field_string(4, "schema");
        thrift.field_i32(5, static_cast<std::int32_t>(fields_.size()));
        thrift.end_struct();
        for (const ParquetField& field : fields_) {
            thrift.begin_element();
            thrift.field_i32(1, physical_of(field.kind));
            thrift.field_i32(3, field.nullable ? kOptional : kRequired);
            thrift.field_string(4, field.name);
            integer_type_into(thrift, field.kind);
            thrift.end_struct();
        }
    }

    /// The converted type (6) and logical type (10) of a column that has them.
    static void integer_type_into(ThriftWriter& thrift, ParquetKind kind) {
        int converted = -1;
        int bits = 0;
        switch (kind) {
        case ParquetKind::Text:
            thrift.field_i32(6, 0); // UTF8
            thrift.begin_struct(10);
            thrift.begin_struct(1); // STRING
            thrift.end_struct();
            thrift.end_struct();
            return;
        case ParquetKind::Int8:
            converted = 15, bits = 8;
            break;
        case ParquetKind::Int16:
            converted = 16, bits = 16;
            break;
        case ParquetKind::UInt8:
            converted = 11, bits = 8;
            break;
        case ParquetKind::UInt16:
            converted = 12, bits = 16;
            break;
        case ParquetKind::UInt32:
            converted = 13, bits = 32;
            break;
        case ParquetKind::UInt64:
            converted = 14, bits = 64;
            break;
        case ParquetKind::Bool:
        case ParquetKind::Int32:
        case ParquetKind::Int64:
        case ParquetKind::Float32:
        case ParquetKind::Float64:
        case ParquetKind::Binary:
            return;
        }
        thrift.field_i32(6, converted);
        thrift.begin_struct(10);
        thrift.begin_struct(10); // INTEGER
        thrift.field_byte(1, static_cast<std::int8_t>(bits));
        thrift.field_bool(2, !is_unsigned(kind));
        thrift.end_struct();
        thrift.end_struct();
    }

    void chunk_into(ThriftWriter& thrift, const ParquetField& field,
                    const PlacedChunk& chunk) const {
        const ChunkSummary& summary = chunk.summary;
        thrift.begin_element();
        thrift.field_i64(2, 0);
        thrift.begin_struct(3);
        thrift.field_i32(1, physical_of(field.kind));
        std::vector<int> encodings;
        if (summary.dictionary_pages > 0 || summary.plain_pages > 0) encodings.push_back(kPlain);
        encodings.push_back(kRle);
        if (summary.indexed_pages > 0) encodings.push_back(kRleDictionary);
        thrift.begin_list(2, ThriftType::I32, encodings.size());
        for (int encoding : encodings)
            thrift.element_i32(encoding);
        thrift.begin_list(3, ThriftType::Binary, 1);
        thrift.element_string(field.name);
        thrift.field_i32(4, kSnappy);
        thrift.field_i64(5, summary.values);
        thrift.field_i64(6, summary.uncompressed);
        thrift.field_i64(7, summary.compressed);
        thrift.field_i64(9, chunk.start + summary.dictionary_page);
        if (summary.dictionary_page > 0) thrift.field_i64(11, chunk.start);
        thrift.begin_struct(12);
        thrift.field_i64(3, summary.nulls);
        if (summary.bounds) {
            thrift.field_binary(5, summary.bounds->second);
            thrift.field_binary(6, summary.bounds->first);
        }
        thrift.end_struct();
        std::vector<std::array<int, 3>> counts;
        if (summary.dictionary_pages > 0)
            counts.push_back({kDictionaryPage, kPlain, summary.dictionary_pages});
        if (summary.indexed_pages > 0)
            counts.push_back({kDataPage, kRleDictionary, summary.indexed_pages});
        if (summary.plain_pages > 0) counts.push_back({kDataPage, kPlain, summary.plain_pages});
        thrift.begin_list(13, ThriftType::Struct, counts.size());
        for (const auto& [type, encoding, count] : counts) {
            thrift.begin_element();
            thrift.field_i32(1, type);
            thrift.field_i32(2, encoding);
            thrift.field_i32(3, count);
            thrift.end_struct();
        }
        thrift.end_struct(); // ColumnMetaData
        thrift.end_struct(); // ColumnChunk
    }

    void footer_into(std::vector<std::uint8_t>& out) const {
        ThriftWriter thrift(out);
        thrift.field_i32(1, 2);
        schema_into(thrift);
        std::int64_t rows = 0;
        for (const RowGroupSummary& group : groups_)
            rows += group.rows;
        thrift.field_i64(3, rows);
        thrift.begin_list(4, ThriftType::Struct, groups_.size());
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            const RowGroupSummary& group = groups_[g];
            thrift.begin_element();
            thrift.begin_list(1, ThriftType::Struct, group.chunks.size());
            std::int64_t uncompressed = 0;
            std::int64_t compressed = 0;
            for (std::size_t c = 0; c < group.chunks.size(); ++c) {
                chunk_into(thrift, fields_[c], group.chunks[c]);
                uncompressed += group.chunks[c].summary.uncompressed;
                compressed += group.chunks[c].summary.compressed;
            }
            thrift.field_i64(2, uncompressed);
            thrift.field_i64(3, group.rows);
            thrift.field_i64(5, group.start);
            thrift.field_i64(6, compressed);
            if (g <= 0x7fff) thrift.field_i16(7, static_cast<std::int16_t>(g));
            thrift.end_struct();
        }
        if (!options_.metadata.empty()) {
            thrift.begin_list(5, ThriftType::Struct, options_.metadata.size());
            for (const auto& [key, value] : options_.metadata) {
                thrift.begin_element();
                thrift.field_string(1, key);
                thrift.field_string(2, value);
                thrift.end_struct();
            }
        }
        if (!options_.created_by.empty()) thrift.field_string(6, options_.created_by);
        thrift.begin_list(7, ThriftType::Struct, fields_.size());
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            thrift.begin_element();
            thrift.begin_struct(1); // TYPE_ORDER
            thrift.end_struct();
            thrift.end_struct();
        }
        thrift.end();
    }

    std::vector<ParquetField> fields_;
    ParquetOptions options_;
    std::vector<ColumnChunkWriter> columns_;
    ColumnPool pool_;
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    /// Memo rows past this are not looked up (a memo holds far fewer).
    static constexpr std::uint32_t kMaxMemoRows = std::uint32_t{1} << 20;
    /// The earlier column each one repeats in the current row group (kNone: encoded itself).
    std::vector<std::size_t> repeats_ = std::vector<std::size_t>(fields_.size(), kNone);
    std::int64_t offset_ = 0;  ///< bytes handed out so far
    std::int64_t spilled_ = 0; ///< bytes spilled so far
    std::int64_t group_rows_ = 0;
    std::vector<RowGroupSummary> groups_;
};

namespace {

/// Claims the writer for one call; refuses a second caller and a broken or finished writer.
class Claim {
public:
    explicit Claim(ParquetWriterState* state) noexcept : state_(state) {
        if (state_ == nullptr || state_->busy.exchange(true)) {
            state_ = nullptr;
            failure_ = Failure{Failure::Kind::Misuse, 0, "the writer is in use on another thread"};
        } else if (state_->finished) {
            failure_ = Failure{Failure::Kind::Misuse, 0, "the file is already finished"};
        } else if (state_->broken) {
            failure_ = Failure{Failure::Kind::Misuse, 0, "an earlier write failed"};
        }
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() {
        if (state_ != nullptr) state_->busy.store(false);
    }
    [[nodiscard]] const std::optional<Failure>& failure() const noexcept { return failure_; }

private:
    ParquetWriterState* state_;
    std::optional<Failure> failure_;
};

} // namespace

std::expected<ParquetWriter, ParquetFailure> ParquetWriter::open(std::vector<ParquetField> fields,
                                                                 ParquetOptions options) noexcept {
    if (fields.empty()) return fail(Failure::Kind::Misuse, 0, "a file needs a column");
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (static_cast<int>(fields[i].kind) >= kParquetKinds)
            return fail(Failure::Kind::Misuse, i, "unknown column kind");
    if (options.row_group_rows < 1 || options.page_rows < 1 ||
        options.page_rows > std::numeric_limits<std::int32_t>::max())
        return fail(Failure::Kind::Misuse, 0, "row group and page sizes must be positive");
    try {
        return ParquetWriter(
            std::make_unique<ParquetWriterState>(std::move(fields), std::move(options)));
    } catch (const std::bad_alloc&) {
        return fail(Failure::Kind::Memory, 0, "out of memory");
    }
}

ParquetWriter::ParquetWriter(std::unique_ptr<ParquetWriterState> state) noexcept
    : state_(std::move(state)) {}
ParquetWriter::ParquetWriter(ParquetWriter&&) noexcept = default;
ParquetWriter& ParquetWriter::operator=(ParquetWriter&&) noexcept = default;
ParquetWriter::~ParquetWriter() = default;

std::expected<void, ParquetFailure> ParquetWriter::write(std::int64_t rows,
                                                         std::span<const JsonColumn> columns,
                                                         ParquetPieces& ready, ParquetSpill& spill,
                                                         const ParquetMemoRows* memo) noexcept {
    const Claim claim(state_.get());
    if (claim.failure()) return std::unexpected(*claim.failure());
    if (auto checked = state_->check(rows, columns); !checked) return checked;
    try {
        // A column that fails half way leaves the row group unusable.
        auto written = state_->write(rows, columns, ready, spill, memo);
        if (!written) state_->broken = true;
        return written;
    } catch (const std::bad_alloc&) {
        state_->broken = true;
        return fail(Failure::Kind::Memory, 0, "out of memory");
    }
}

std::expected<void, ParquetFailure> ParquetWriter::finish(ParquetPieces& ready) noexcept {
    const Claim claim(state_.get());
    if (claim.failure()) return std::unexpected(*claim.failure());
    try {
        state_->finish(ready);
        state_->finished = true;
        return {};
    } catch (const std::bad_alloc&) {
        state_->broken = true;
        return fail(Failure::Kind::Memory, 0, "out of memory");
    }
}

} // namespace kestrix::tools
