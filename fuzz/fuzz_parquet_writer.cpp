/// The streaming Parquet writer over random fields, options and batches, and its RLE / bit-packing
/// hybrid against a strict decoder of the target's own.
///
/// Writer: 1-6 fields of every kind, tiny pages, dictionaries and row groups so that every cut
/// happens all the time, then batches of Arrow buffers as Arrow lays them out (slice offsets,
/// validity bitmaps, 32- and 64-bit text offsets, columns that are the same array as an earlier
/// one) or broken on purpose. Sound batches are written; a batch refused by the check (layout,
/// short buffers, column count) adds nothing and leaves the writer working; a broken batch never
/// reads out of range and fails as a value, after which the writer refuses everything as misuse.
/// A finished file starts with "PAR1" and ends with its footer's length and "PAR1"; its footer
/// counts the rows and nulls written and holds each chunk's min and max, and every page, unpacked
/// and decoded apart from the writer, gives back the values written, in order.
///
/// Hybrid: each value sequence, runs and noise mixed, decodes back to itself; a last bit-packed
/// group is padded with zeros only.

#include "byte_source.hpp"
#include "fuzz_checks.hpp"
#include "tools/jsonl_writer.hpp"
#include "tools/parquet_writer.hpp"
#include "tools/rle_hybrid.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using kestrix::fuzz::check;
using kestrix::tools::JsonColumn;
using kestrix::tools::JsonColumnKind;
using kestrix::tools::ParquetFailure;
using kestrix::tools::ParquetField;
using kestrix::tools::ParquetKind;
using kestrix::tools::ParquetMemoRows;
using kestrix::tools::ParquetOptions;
using kestrix::tools::ParquetPieces;
using kestrix::tools::ParquetSpill;
using kestrix::tools::ParquetWriter;

using kestrix::fuzz::put_offsets;
using Source = kestrix::fuzz::ByteSource;

// ---- The RLE / bit-packing hybrid -------------------------------------------------------------

/// Decodes `count` values of `width` bits from exactly `encoded`, as the file format describes
/// the hybrid: a ULEB128 header whose low bit 1 means (header >> 1) groups of eight values
/// bit-packed LSB first, else a run of (header >> 1) copies of one value in ceil(width / 8)
/// little-endian bytes. Strict: no empty run, no value wider than `width`, padding only in a last
/// packed group and only zeros, no byte left over. nullopt when any of that fails.
std::optional<std::vector<std::uint32_t>> decode_hybrid(std::span<const std::uint8_t> encoded,
                                                        int width, std::size_t count) {
    std::vector<std::uint32_t> out;
    std::size_t at = 0;
    const std::uint64_t limit = width == 32 ? 0xFFFFFFFFULL : (std::uint64_t{1} << width) - 1;
    while (at < encoded.size()) {
        if (out.size() >= count) return std::nullopt; // a run after the last value
        std::uint64_t header = 0;
        for (int shift = 0;; shift += 7) {
            if (at >= encoded.size() || shift > 56) return std::nullopt;
            const std::uint8_t b = encoded[at++];
            header |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) break;
        }
        const std::uint64_t length = header >> 1;
        if (length == 0) return std::nullopt;
        if ((header & 1) != 0) {
            const std::uint64_t bytes = length * static_cast<std::uint64_t>(width);
            if (length > (std::uint64_t{1} << 32) || bytes > encoded.size() - at)
                return std::nullopt;
            for (std::uint64_t i = 0; i < length * 8; ++i) {
                std::uint64_t value = 0;
                for (int bit = 0; bit < width; ++bit) {
                    const std::uint64_t position =
                        i * static_cast<std::uint64_t>(width) + static_cast<std::uint64_t>(bit);
                    const std::uint8_t byte = encoded[at + position / 8];
                    value |= static_cast<std::uint64_t>(byte >> (position % 8) & 1) << bit;
                }
                out.push_back(static_cast<std::uint32_t>(value));
            }
            at += bytes;
            if (out.size() > count) {
                // Padding: only in the last run, fewer than eight values, all zero.
                if (at != encoded.size() || out.size() - count >= 8) return std::nullopt;
                for (std::size_t i = count; i < out.size(); ++i)
                    if (out[i] != 0) return std::nullopt;
                out.resize(count);
            }
        } else {
            if (length > count - out.size()) return std::nullopt;
            const std::size_t bytes = (static_cast<std::size_t>(width) + 7) / 8;
            if (bytes > encoded.size() - at) return std::nullopt;
            std::uint64_t value = 0;
            for (std::size_t i = 0; i < bytes; ++i)
                value |= static_cast<std::uint64_t>(encoded[at + i]) << (8 * i);
            at += bytes;
            if (value > limit) return std::nullopt;
            out.insert(out.end(), static_cast<std::size_t>(length),
                       static_cast<std::uint32_t>(value));
        }
    }
    if (out.size() != count) return std::nullopt;
    return out;
}

/// A sequence of runs of one value and stretches of random values, each below 2^width.
std::vector<std::uint32_t> hybrid_values(Source& in, int width) {
    const std::uint32_t mask = width == 32 ? 0xFFFFFFFFU : (std::uint32_t{1} << width) - 1;
    std::vector<std::uint32_t> values;
    const std::size_t stretches = in.byte() % 12;
    for (std::size_t s = 0; s < stretches; ++s) {
        const std::uint8_t how = in.byte();
        const std::size_t length = (how & 1U) != 0 ? in.byte() % 24 : in.u16() % 700;
        if ((how & 2U) != 0) {
            values.insert(values.end(), length, in.u32() & mask);
        } else {
            for (std::size_t i = 0; i < length; ++i)
                values.push_back((how & 4U) != 0 ? in.byte() % 3 & mask : in.u32() & mask);
        }
    }
    return values;
}

void fuzz_hybrid(Source& in) {
    const int width = 1 + in.byte() % 32;
    const std::uint8_t how = in.byte();
    std::vector<std::uint8_t> out;
    if (how % 3 == 0) {
        const std::vector<std::uint32_t> values = hybrid_values(in, width);
        kestrix::tools::rle_hybrid_encode(values.data(), values.size(), width, out);
        const auto decoded = decode_hybrid(out, width, values.size());
        check(decoded.has_value(), "32-bit values encode to a well-formed hybrid");
        check(*decoded == values, "32-bit values decode back to themselves");
        check(!values.empty() || out.empty(), "no values encode to nothing");
    } else if (how % 3 == 1) {
        const std::vector<std::uint32_t> values = hybrid_values(in, 1);
        std::vector<std::uint8_t> levels(values.begin(), values.end());
        kestrix::tools::rle_hybrid_encode(levels.data(), levels.size(), 1, out);
        const auto decoded = decode_hybrid(out, 1, values.size());
        check(decoded.has_value(), "levels encode to a well-formed hybrid");
        check(*decoded == values, "levels decode back to themselves");
    } else {
        const std::uint32_t mask = width == 32 ? 0xFFFFFFFFU : (std::uint32_t{1} << width) - 1;
        const std::uint32_t value = in.u32() & mask;
        const std::size_t count = in.u32() % 100000;
        kestrix::tools::rle_hybrid_run(count, value, width, out);
        const auto decoded = decode_hybrid(out, width, count);
        check(decoded.has_value(), "a run encodes to a well-formed hybrid");
        check(std::ranges::all_of(*decoded, [&](std::uint32_t v) { return v == value; }),
              "a run decodes back to its value");
    }
    const std::uint32_t largest = in.u32() >> (in.byte() % 32);
    const int needed = kestrix::tools::bit_width_of(largest);
    check(needed >= 1 && needed <= 32 && (needed == 32 || largest >> needed == 0) &&
              (needed == 1 || largest >> (needed - 1) != 0),
          "bit_width_of is the least width that holds the value");
}

// ---- The footer and the pages, read with Thrift's compact protocol ---------------------------

/// A strict reader of the compact protocol: any read past the end or malformed header clears ok.
class Thrift {
public:
    Thrift(std::span<const std::uint8_t> bytes, std::size_t at) : bytes_(bytes), at_(at) {}
    [[nodiscard]] bool ok() const noexcept { return ok_; }
    [[nodiscard]] std::size_t at() const noexcept { return at_; }

    std::uint8_t byte() {
        if (at_ >= bytes_.size()) {
            ok_ = false;
            return 0;
        }
        return bytes_[at_++];
    }
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 70 && ok_; shift += 7) {
            const std::uint8_t b = byte();
            value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return value;
        }
        ok_ = false;
        return 0;
    }
    std::vector<std::uint8_t> binary() {
        const std::uint64_t size = varint();
        if (!ok_ || size > bytes_.size() - at_) {
            ok_ = false;
            return {};
        }
        at_ += static_cast<std::size_t>(size);
        return {bytes_.begin() + static_cast<std::ptrdiff_t>(at_ - size),
                bytes_.begin() + static_cast<std::ptrdiff_t>(at_)};
    }
    std::int64_t zigzag() {
        const std::uint64_t value = varint();
        return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
    }
    /// The fields of a struct, each handed to `field(id, type)`, which reads or skips it.
    template <typename Field>
    void fields(Field field) {
        std::int64_t last = 0;
        while (ok_) {
            const std::uint8_t head = byte();
            if (head == 0) return;
            const int type = head & 0x0F;
            last = (head >> 4) != 0 ? last + (head >> 4) : zigzag();
            field(last, type);
        }
    }
    /// A list's size; its element type into `type`.
    std::size_t list(int& type) {
        const std::uint8_t head = byte();
        type = head & 0x0F;
        std::uint64_t size = head >> 4;
        if (size == 15) size = varint();
        if (size > bytes_.size()) ok_ = false;
        return ok_ ? static_cast<std::size_t>(size) : 0;
    }
    void skip(int type, int depth = 0) {
        if (depth > 16) ok_ = false;
        if (!ok_) return;
        switch (type) {
        case 1: // booleans in a struct carry their value in the type
        case 2:
            return;
        case 3:
            byte();
            return;
        case 4:
        case 5:
        case 6:
            zigzag();
            return;
        case 7:
            for (int i = 0; i < 8; ++i)
                byte();
            return;
        case 8: {
            const std::uint64_t size = varint();
            if (size > bytes_.size() - at_)
                ok_ = false;
            else
                at_ += static_cast<std::size_t>(size);
            return;
        }
        case 9:
        case 10: {
            int element = 0;
            const std::size_t size = list(element);
            for (std::size_t i = 0; i < size && ok_; ++i)
                element == 1 || element == 2 ? void(byte()) : skip(element, depth + 1);
            return;
        }
        case 12:
            fields([&](std::int64_t, int inner) { skip(inner, depth + 1); });
            return;
        default: // maps are not written
            ok_ = false;
        }
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_;
    bool ok_ = true;
};

/// Snappy's raw format, strictly: the length, then literals and back-references inside the
/// output; nullopt when anything is off.
std::optional<std::vector<std::uint8_t>> unsnappy(std::span<const std::uint8_t> in) {
    Thrift reader(in, 0);
    const std::uint64_t length = reader.varint();
    if (!reader.ok() || length > (std::uint64_t{1} << 26)) return std::nullopt;
    std::vector<std::uint8_t> out;
    std::size_t at = reader.at();
    while (at < in.size()) {
        const std::uint8_t tag = in[at++];
        std::size_t size = 0;
        std::size_t offset = 0;
        std::size_t extra = 0;
        switch (tag & 3) {
        case 0:
            size = (tag >> 2) + 1U;
            if (size > 60) {
                extra = size - 60;
                if (extra > in.size() - at) return std::nullopt;
                size = 0;
                for (std::size_t i = 0; i < extra; ++i)
                    size |= static_cast<std::size_t>(in[at + i]) << (8 * i);
                ++size;
                at += extra;
            }
            if (size > in.size() - at) return std::nullopt;
            out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(at),
                       in.begin() + static_cast<std::ptrdiff_t>(at + size));
            at += size;
            continue;
        case 1:
            if (at >= in.size()) return std::nullopt;
            size = ((tag >> 2) & 7U) + 4U;
            offset = static_cast<std::size_t>(tag >> 5) << 8 | in[at++];
            break;
        case 2:
        case 3:
            extra = (tag & 3) == 2 ? 2 : 4;
            if (extra > in.size() - at) return std::nullopt;
            size = (tag >> 2) + 1U;
            for (std::size_t i = 0; i < extra; ++i)
                offset |= static_cast<std::size_t>(in[at + i]) << (8 * i);
            at += extra;
            break;
        }
        if (offset == 0 || offset > out.size()) return std::nullopt;
        for (std::size_t i = 0; i < size; ++i)
            out.push_back(out[out.size() - offset]);
    }
    if (out.size() != length) return std::nullopt;
    return out;
}

/// Bytes of a stored fixed-width value (0: bits or byte arrays).
std::size_t stored_width(ParquetKind kind) {
    switch (kind) {
    case ParquetKind::Bool:
    case ParquetKind::Text:
    case ParquetKind::Binary:
        return 0;
    case ParquetKind::Int8:
    case ParquetKind::Int16:
    case ParquetKind::Int32:
    case ParquetKind::UInt8:
    case ParquetKind::UInt16:
    case ParquetKind::UInt32:
    case ParquetKind::Float32:
        return 4;
    case ParquetKind::Int64:
    case ParquetKind::UInt64:
    case ParquetKind::Float64:
        return 8;
    }
    return 0;
}

using Value = std::vector<std::uint8_t>;

/// Reads `count` plain values of `kind` from exactly `body`.
std::optional<std::vector<Value>> plain_values(std::span<const std::uint8_t> body, ParquetKind kind,
                                               std::size_t count) {
    std::vector<Value> values;
    if (kind == ParquetKind::Bool) {
        if (body.size() != (count + 7) / 8) return std::nullopt;
        for (std::size_t i = 0; i < count; ++i)
            values.push_back({static_cast<std::uint8_t>(body[i / 8] >> (i % 8) & 1)});
        return values;
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t size = stored_width(kind);
        if (size == 0) {
            if (body.size() - at < 4) return std::nullopt;
            size = static_cast<std::size_t>(body[at]) |
                   static_cast<std::size_t>(body[at + 1]) << 8 |
                   static_cast<std::size_t>(body[at + 2]) << 16 |
                   static_cast<std::size_t>(body[at + 3]) << 24;
            at += 4;
        }
        if (body.size() - at < size) return std::nullopt;
        values.emplace_back(body.begin() + static_cast<std::ptrdiff_t>(at),
                            body.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    if (at != body.size()) return std::nullopt;
    return values;
}

/// A column's values as the file must hold them, read back page by page.
struct ColumnValues {
    ParquetKind kind = ParquetKind::Int64;
    bool nullable = true;
    bool statistics = true;
    std::vector<Value> expected; ///< every present value written, as stored
    std::size_t next = 0;        ///< the first not read back yet
};

/// Walks the pages of a column chunk [start, end): each header read, each body unpacked, its
/// levels and values decoded and compared with the values written. The values (nulls
/// included) of its data pages, or -1 when the pages do not tile the chunk.
std::int64_t read_pages(std::span<const std::uint8_t> file, std::size_t start, std::size_t end,
                        ColumnValues& column) {
    std::int64_t values = 0;
    std::vector<Value> dictionary;
    std::size_t at = start;
    while (at < end) {
        Thrift page(file.first(end), at);
        std::int64_t type = -1, plain_size = -1, size = -1, count = -1, encoding = -1;
        page.fields([&](std::int64_t id, int field_type) {
            if (id == 5 || id == 7) {
                page.fields([&](std::int64_t inner, int inner_type) {
                    if (inner_type != 5) return page.skip(inner_type);
                    const std::int64_t value = page.zigzag();
                    if (inner == 1) count = value;
                    if (inner == 2) encoding = value;
                });
                return;
            }
            if (field_type != 5) return page.skip(field_type);
            const std::int64_t value = page.zigzag();
            if (id == 1) type = value;
            if (id == 2) plain_size = value;
            if (id == 3) size = value;
        });
        if (!page.ok() || size < 0 || count < 0 ||
            static_cast<std::uint64_t>(size) > end - page.at())
            return -1;
        at = page.at() + static_cast<std::size_t>(size);
        const auto body = unsnappy(file.subspan(page.at(), static_cast<std::size_t>(size)));
        check(body.has_value() && static_cast<std::int64_t>(body->size()) == plain_size,
              "a page body is Snappy of its stated size");
        std::span<const std::uint8_t> rest(*body);
        const auto n = static_cast<std::size_t>(count);
        if (type == 2) {
            check(dictionary.empty() && values == 0, "one dictionary page, first in its chunk");
            const auto entries = plain_values(rest, column.kind, n);
            check(entries.has_value() && !entries->empty(), "a dictionary page holds its entries");
            dictionary = *entries;
            continue;
        }
        check(type == 0, "pages are dictionary or data pages");
        values += count;
        std::size_t present = n;
        if (column.nullable) {
            check(rest.size() >= 4, "a data page holds its levels' length");
            const std::size_t length = static_cast<std::size_t>(rest[0]) | rest[1] << 8 |
                                       rest[2] << 16 | static_cast<std::size_t>(rest[3]) << 24;
            check(length <= rest.size() - 4, "the levels lie inside the page");
            const auto levels = decode_hybrid(rest.subspan(4, length), 1, n);
            check(levels.has_value(), "the levels are a well-formed hybrid");
            present = static_cast<std::size_t>(std::ranges::count(*levels, 1U));
            rest = rest.subspan(4 + length);
        }
        std::vector<Value> read;
        if (encoding == 8) {
            check(!dictionary.empty() && !rest.empty() && rest[0] >= 1 && rest[0] <= 32,
                  "dictionary indices follow a dictionary and their width");
            const auto indices = decode_hybrid(rest.subspan(1), rest[0], present);
            check(indices.has_value(), "the indices are a well-formed hybrid");
            for (const std::uint32_t index : *indices) {
                check(index < dictionary.size(), "an index points into the dictionary");
                read.push_back(dictionary[index]);
            }
        } else {
            check(encoding == 0, "data pages are plain or indexed");
            auto plain = plain_values(rest, column.kind, present);
            check(plain.has_value(), "a plain page holds exactly its values");
            read = std::move(*plain);
        }
        for (const Value& value : read) {
            check(column.next < column.expected.size() && value == column.expected[column.next],
                  "each value reads back as written");
            ++column.next;
        }
    }
    return at == end ? values : -1;
}

/// The value at `index` of a column that fits, as the file stores it.
Value stored_value(const JsonColumn& column, ParquetKind kind, std::size_t index) {
    const auto* values = column.values.data();
    const auto widen = [&](auto narrow) {
        std::memcpy(&narrow, values + index * sizeof narrow, sizeof narrow);
        const auto wide = static_cast<
            std::conditional_t<std::is_signed_v<decltype(narrow)>, std::int32_t, std::uint32_t>>(
            narrow);
        Value out(4);
        std::memcpy(out.data(), &wide, 4);
        return out;
    };
    switch (kind) {
    case ParquetKind::Bool:
        return {static_cast<std::uint8_t>(values[index / 8] >> (index % 8) & 1)};
    case ParquetKind::Int8:
        return widen(std::int8_t{});
    case ParquetKind::Int16:
        return widen(std::int16_t{});
    case ParquetKind::UInt8:
        return widen(std::uint8_t{});
    case ParquetKind::UInt16:
        return widen(std::uint16_t{});
    case ParquetKind::Int32:
    case ParquetKind::UInt32:
    case ParquetKind::Float32:
    case ParquetKind::Int64:
    case ParquetKind::UInt64:
    case ParquetKind::Float64: {
        const std::size_t width = stored_width(kind);
        return Value(values + index * width, values + (index + 1) * width);
    }
    case ParquetKind::Text:
    case ParquetKind::Binary: {
        std::size_t start = 0;
        std::size_t size = 0;
        check(kestrix::tools::text_range(column, static_cast<std::int64_t>(index), start, size),
              "a written text value lies inside its data");
        return Value(column.data.begin() + static_cast<std::ptrdiff_t>(start),
                     column.data.begin() + static_cast<std::ptrdiff_t>(start + size));
    }
    }
    return {};
}

/// What the footer says of a column chunk (-1: not said).
struct ChunkMeta {
    std::int64_t values = -1;
    std::int64_t size = -1;
    std::int64_t data = -1;
    std::int64_t dictionary = -1;
    std::int64_t nulls = -1;
    std::optional<std::vector<std::uint8_t>> min;
    std::optional<std::vector<std::uint8_t>> max;
};

ChunkMeta read_chunk(Thrift& meta) {
    ChunkMeta chunk;
    meta.fields([&](std::int64_t id, int type) {
        if (id != 3 || type != 12) return meta.skip(type);
        meta.fields([&](std::int64_t field, int field_type) {
            if (field_type == 12 && field == 12) { // statistics
                meta.fields([&](std::int64_t statistic, int statistic_type) {
                    if (statistic == 3 && statistic_type == 6)
                        chunk.nulls = meta.zigzag();
                    else if (statistic == 5 && statistic_type == 8)
                        chunk.max = meta.binary();
                    else if (statistic == 6 && statistic_type == 8)
                        chunk.min = meta.binary();
                    else
                        meta.skip(statistic_type);
                });
                return;
            }
            if (field_type != 6) return meta.skip(field_type);
            const std::int64_t value = meta.zigzag();
            if (field == 5) chunk.values = value;
            if (field == 7) chunk.size = value;
            if (field == 9) chunk.data = value;
            if (field == 11) chunk.dictionary = value;
        });
    });
    return chunk;
}

/// Whether `a` orders before `b` as values of `kind` (floats: NaN never).
bool before(ParquetKind kind, const Value& a, const Value& b) {
    const auto as = [](const Value& v, auto type) {
        std::memcpy(&type, v.data(), sizeof type);
        return type;
    };
    switch (kind) {
    case ParquetKind::Bool:
    case ParquetKind::Text:
    case ParquetKind::Binary:
        return a < b;
    case ParquetKind::Int8:
    case ParquetKind::Int16:
    case ParquetKind::Int32:
        return as(a, std::int32_t{}) < as(b, std::int32_t{});
    case ParquetKind::UInt8:
    case ParquetKind::UInt16:
    case ParquetKind::UInt32:
        return as(a, std::uint32_t{}) < as(b, std::uint32_t{});
    case ParquetKind::Int64:
        return as(a, std::int64_t{}) < as(b, std::int64_t{});
    case ParquetKind::UInt64:
        return as(a, std::uint64_t{}) < as(b, std::uint64_t{});
    case ParquetKind::Float32:
        return as(a, float{}) < as(b, float{});
    case ParquetKind::Float64:
        return as(a, double{}) < as(b, double{});
    }
    return false;
}

bool is_nan(ParquetKind kind, const Value& value) {
    if (kind == ParquetKind::Float32) {
        float f;
        std::memcpy(&f, value.data(), sizeof f);
        return std::isnan(f);
    }
    double d;
    std::memcpy(&d, value.data(), sizeof d);
    return std::isnan(d);
}

/// The chunk's min and max: its values from `first` on, NaN left out, a float zero stored as -0
/// for the min and +0 for the max; none without statistics or without a value.
void check_bounds(const ColumnValues& column, std::size_t first, const ChunkMeta& chunk) {
    std::optional<Value> min;
    std::optional<Value> max;
    const bool floats = column.kind == ParquetKind::Float32 || column.kind == ParquetKind::Float64;
    for (std::size_t i = first; i < column.next && column.statistics; ++i) {
        const Value& value = column.expected[i];
        if (floats && is_nan(column.kind, value)) continue;
        if (!min || before(column.kind, value, *min)) min = value;
        if (!max || before(column.kind, *max, value)) max = value;
    }
    if (min && floats) {
        const bool zero_min = !before(column.kind, *min, Value(min->size(), 0)) &&
                              !before(column.kind, Value(min->size(), 0), *min);
        const bool zero_max = !before(column.kind, *max, Value(max->size(), 0)) &&
                              !before(column.kind, Value(max->size(), 0), *max);
        if (zero_min) {
            *min = Value(min->size(), 0);
            min->back() = 0x80;
        }
        if (zero_max) *max = Value(max->size(), 0);
    }
    check(chunk.min == min && chunk.max == max, "a chunk's min and max are its values'");
}

/// Checks the footer against the rows written: its row count, one schema element per field and
/// a root, row groups that add up, each no longer than allowed, each chunk's pages inside the
/// data and holding the group's values.
void check_footer(std::span<const std::uint8_t> file, std::size_t footer, std::size_t fields,
                  std::int64_t rows, std::int64_t group_rows,
                  const std::vector<std::int64_t>& nulls, std::vector<ColumnValues>& columns) {
    std::vector<std::int64_t> counted(fields, 0);
    const std::size_t data_end = file.size() - 8 - footer;
    Thrift meta(file.first(file.size() - 8), data_end);
    std::int64_t total = -1;
    std::int64_t grouped = 0;
    meta.fields([&](std::int64_t id, int type) {
        if (id == 2 && type == 9) {
            int element = 0;
            const std::size_t size = meta.list(element);
            check(size == fields + 1, "one schema element per field and the root");
            for (std::size_t i = 0; i < size && meta.ok(); ++i)
                meta.skip(element);
        } else if (id == 3 && type == 6) {
            total = meta.zigzag();
        } else if (id == 4 && type == 9) {
            int element = 0;
            const std::size_t groups = meta.list(element);
            for (std::size_t g = 0; g < groups && meta.ok(); ++g) {
                std::int64_t group = -1;
                std::vector<std::int64_t> chunk_values;
                meta.fields([&](std::int64_t field, int field_type) {
                    if (field == 3 && field_type == 6) {
                        group = meta.zigzag();
                        return;
                    }
                    if (field != 1 || field_type != 9) return meta.skip(field_type);
                    int chunk_type = 0;
                    const std::size_t chunks = meta.list(chunk_type);
                    check(chunks == fields, "one column chunk per field");
                    for (std::size_t c = 0; c < chunks && meta.ok(); ++c) {
                        const ChunkMeta chunk = read_chunk(meta);
                        const std::int64_t start =
                            chunk.dictionary >= 0 ? chunk.dictionary : chunk.data;
                        check(start >= 4 && chunk.size >= 0 &&
                                  chunk.size <= static_cast<std::int64_t>(data_end) - start,
                              "a column chunk lies inside the data");
                        check(chunk.dictionary < 0 || chunk.dictionary < chunk.data,
                              "a dictionary leads its chunk");
                        const std::size_t first = columns[c].next;
                        check(read_pages(file, static_cast<std::size_t>(start),
                                         static_cast<std::size_t>(start + chunk.size),
                                         columns[c]) == chunk.values,
                              "a chunk's pages tile it and hold its values");
                        chunk_values.push_back(chunk.values);
                        check_bounds(columns[c], first, chunk);
                        check(chunk.nulls >= 0, "every chunk counts its nulls");
                        counted[c] += chunk.nulls;
                    }
                });
                check(group > 0 && group <= group_rows, "a row group holds 1 to its limit of rows");
                for (const std::int64_t values : chunk_values)
                    check(values == group, "a flat chunk holds one value per row");
                grouped += group;
            }
        } else {
            meta.skip(type);
        }
    });
    check(meta.ok() && meta.at() == data_end + footer, "the footer is exactly one Thrift struct");
    check(total == rows && grouped == rows, "the footer counts every row written");
    check(counted == nulls, "the chunks count every null written");
    for (const ColumnValues& column : columns)
        check(column.next == column.expected.size(), "every value written is read back");
}

// ---- The writer -------------------------------------------------------------------------------

/// The Arrow layout of a field's column (text: 64-bit offsets when `large`).
JsonColumnKind layout_of(ParquetKind kind, bool large) {
    switch (kind) {
    case ParquetKind::Bool:
        return JsonColumnKind::Bool;
    case ParquetKind::Int8:
        return JsonColumnKind::Int8;
    case ParquetKind::Int16:
        return JsonColumnKind::Int16;
    case ParquetKind::Int32:
        return JsonColumnKind::Int32;
    case ParquetKind::Int64:
        return JsonColumnKind::Int64;
    case ParquetKind::UInt8:
        return JsonColumnKind::UInt8;
    case ParquetKind::UInt16:
        return JsonColumnKind::UInt16;
    case ParquetKind::UInt32:
        return JsonColumnKind::UInt32;
    case ParquetKind::UInt64:
        return JsonColumnKind::UInt64;
    case ParquetKind::Float32:
        return JsonColumnKind::Float32;
    case ParquetKind::Float64:
        return JsonColumnKind::Float64;
    case ParquetKind::Text:
    case ParquetKind::Binary:
        return large ? JsonColumnKind::LargeText : JsonColumnKind::Text;
    }
    return JsonColumnKind::Null;
}

bool is_text(JsonColumnKind kind) {
    return kind == JsonColumnKind::Text || kind == JsonColumnKind::LargeText;
}

struct Buffers {
    std::vector<std::uint8_t> validity;
    std::vector<std::uint8_t> values;
    std::vector<std::uint8_t> data;
};

/// How a batch is broken, if at all.
struct Breakage {
    bool refused = false;   ///< the check must refuse it before reading a value
    bool may_fail = false;  ///< it may fail while encoding (and the writer then stops)
    bool must_fail = false; ///< it must fail while encoding
};

bool bit_at(const std::vector<std::uint8_t>& bits, std::size_t index) {
    return (bits[index / 8] >> (index % 8) & 1) != 0;
}

/// Builds a column of `rows` rows for `field` into `b` and `column`, noting how it is broken.
void build_column(Source& in, const ParquetField& field, std::size_t rows, Buffers& b,
                  JsonColumn& column, Breakage& broken) {
    const std::uint8_t flags = in.byte();
    const std::uint8_t more = in.byte();
    const std::size_t offset = in.byte() % 9;
    const std::size_t total = offset + rows;
    column.kind = layout_of(field.kind, (flags & 1U) != 0);
    column.offset = static_cast<std::int64_t>(offset);
    const std::size_t slack = (more & 0x80U) != 0 ? in.byte() % 5 : 0;
    if ((flags & 2U) != 0) {
        b.validity = in.bytes((total + 7) / 8 + slack);
        if (!field.nullable) {
            // Every row present, unless one null is put in on purpose.
            std::ranges::fill(b.validity, 0xFF);
            if ((more & 1U) != 0 && rows > 0) {
                const std::size_t at = offset + in.byte() % rows;
                b.validity[at / 8] &= static_cast<std::uint8_t>(~(1U << (at % 8)));
                broken.must_fail = true;
            }
        }
    }
    const auto present = [&](std::size_t index) {
        return b.validity.empty() || bit_at(b.validity, index);
    };
    if (is_text(column.kind)) {
        std::vector<std::int64_t> bounds{in.byte() % 4};
        b.data.assign(static_cast<std::size_t>(bounds[0]), '#');
        for (std::size_t row = 0; row < total; ++row) {
            const std::uint8_t length = in.byte();
            // Mostly a few distinct values, so that dictionaries fill and fall back.
            const auto value = (length & 0x80U) != 0 ? in.bytes(length % 40)
                                                     : std::vector<std::uint8_t>(length % 3, 'a');
            b.data.insert(b.data.end(), value.begin(), value.end());
            bounds.push_back(static_cast<std::int64_t>(b.data.size()));
        }
        b.data.resize(b.data.size() + slack, '~');
        if ((flags & 4U) != 0) { // an offset read by the rows past the data, decreasing or negative
            const std::size_t at = offset + in.byte() % (rows + 1);
            const std::uint8_t how = in.byte() % 3;
            bounds[at] = how == 0   ? static_cast<std::int64_t>(b.data.size()) + 1 + in.byte()
                         : how == 1 ? bounds[at] - 1 - in.byte()
                                    : -1;
            broken.may_fail = true;
            // Past the data or negative: each present row that reads the offset fails.
            if (how != 1 && ((at > offset && present(at - 1)) || (at < total && present(at))))
                broken.must_fail = true;
        }
        if (column.kind == JsonColumnKind::LargeText)
            put_offsets<std::int64_t>(b.values, bounds);
        else
            put_offsets<std::int32_t>(b.values, bounds);
    } else if (column.kind == JsonColumnKind::Bool) {
        b.values = in.bytes((total + 7) / 8);
    } else {
        const std::size_t width = kestrix::tools::value_width(column.kind);
        b.values.resize(total * width);
        // Values from a small set now and then, so that dictionaries stay in use.
        const std::uint8_t spread = (more & 2U) != 0 ? 0 : in.byte();
        for (std::size_t at = 0; at < total * width; at += width) {
            if (spread == 0) {
                const auto value = in.bytes(width);
                std::memcpy(b.values.data() + at, value.data(), width);
            } else {
                b.values[at] = static_cast<std::uint8_t>(in.byte() % spread);
            }
        }
    }
    if (column.kind != JsonColumnKind::Bool && !is_text(column.kind))
        b.values.resize(b.values.size() + slack);
    if ((flags & 8U) != 0) { // a buffer one byte shorter than the rows need
        const bool bits = !b.validity.empty() && (more & 4U) != 0;
        std::size_t needed = (total + 7) / 8;
        if (!bits && is_text(column.kind))
            needed = (total + 1) * (column.kind == JsonColumnKind::LargeText ? 8 : 4);
        else if (!bits && column.kind != JsonColumnKind::Bool)
            needed = total * kestrix::tools::value_width(column.kind);
        // An empty bitmap means no nulls: a bitmap is short only when some of it is left.
        if (needed > (bits ? 1U : 0U)) {
            (bits ? b.validity : b.values).resize(needed - 1);
            broken.refused = true;
        }
    }
    if ((flags & 0x10U) != 0 && (more & 8U) != 0) { // a layout the field does not take
        const auto other =
            static_cast<JsonColumnKind>(in.byte() % kestrix::tools::kJsonColumnKinds);
        if (other != layout_of(field.kind, false) && other != layout_of(field.kind, true)) {
            column.kind = other;
            broken.refused = true;
        }
    }
    column.validity = b.validity;
    column.values = b.values;
    column.data = b.data;
}

void check_misuse(const std::expected<void, ParquetFailure>& result, const ParquetPieces& ready,
                  std::size_t before) {
    check(!result && result.error().kind == ParquetFailure::Kind::Misuse,
          "a refused call fails as misuse");
    check(ready.size() == before, "a refused call adds nothing");
}

/// Appends what a write spilled to the spill file, as the caller does.
void append_spill(std::vector<std::uint8_t>& file, ParquetSpill& spill) {
    for (const auto& bytes : spill) {
        check(bytes != nullptr, "a spilled piece has bytes");
        file.insert(file.end(), bytes->begin(), bytes->end());
    }
    spill.clear();
}

void fuzz_writer(Source& in) {
    const std::size_t count = 1 + in.byte() % 6;
    std::vector<ParquetField> fields(count);
    for (ParquetField& field : fields) {
        field.kind = static_cast<ParquetKind>(in.byte() % kestrix::tools::kParquetKinds);
        const std::uint8_t flags = in.byte();
        field.nullable = (flags & 1U) != 0;
        field.statistics = (flags & 2U) != 0;
        const auto name = in.bytes(flags >> 5);
        field.name.assign(name.begin(), name.end());
    }
    ParquetOptions options;
    options.row_group_rows = 1 + in.byte() % 64;
    options.page_rows = 1 + in.byte() % 40;
    options.page_bytes = 16 + in.u16() % 4081;
    options.dictionary_bytes = 16 + in.u16() % 4081;
    const std::uint8_t option_flags = in.byte();
    options.threads = 1 + option_flags % 3;
    if ((option_flags & 4U) != 0) options.row_group_bytes = 64 + in.u16() % 8192;
    if ((option_flags & 0x20U) != 0) options.spill_bytes = 1 + in.u16() % 2048;
    // Memo rows as the column decode gives them (rows whose followed columns hold the same
    // values share one), or in the hostile mode any numbers at all, which may put other values
    // of the column in the file but never read outside its buffers.
    const std::uint8_t memo_mode = (option_flags >> 6) & 3U; // 0 none, 1 and 2 sound, 3 hostile
    const std::uint8_t follow_mask = memo_mode != 0 ? in.byte() : 0;
    std::uint64_t numbering = 1;
    std::map<std::vector<std::uint8_t>, std::uint32_t> memo_ids;
    if ((option_flags & 8U) != 0) {
        options.created_by = "fuzz";
        options.metadata.emplace_back("key", std::string(in.byte() % 50, 'v'));
    }
    if ((option_flags & 0x10U) != 0) {
        ParquetOptions bad = options;
        bad.page_rows = 0;
        const auto refused = ParquetWriter::open(fields, bad);
        check(!refused && refused.error().kind == ParquetFailure::Kind::Misuse,
              "a page of no rows is refused");
        const auto empty = ParquetWriter::open({}, options);
        check(!empty && empty.error().kind == ParquetFailure::Kind::Misuse,
              "a file of no columns is refused");
    }
    auto opened = ParquetWriter::open(fields, options);
    check(opened.has_value(), "sound fields and options open a writer");
    ParquetWriter& writer = *opened;

    ParquetPieces ready;
    ParquetSpill spill;
    std::vector<std::uint8_t> spill_file;
    bool stopped = false; // an earlier write failed while encoding
    std::int64_t written_rows = 0;
    std::vector<std::int64_t> nulls(count, 0);
    std::vector<ColumnValues> values(count);
    for (std::size_t c = 0; c < count; ++c) {
        values[c].kind = fields[c].kind;
        values[c].nullable = fields[c].nullable;
        values[c].statistics = fields[c].statistics;
    }
    const std::size_t batches = 1 + in.byte() % 5;
    for (std::size_t batch = 0; batch < batches; ++batch) {
        const std::size_t rows = in.byte() % 201;
        const std::uint8_t batch_flags = in.byte();
        std::size_t columns_given = count;
        if (batch_flags % 16 == 0)
            columns_given = (batch_flags & 0x10U) != 0 ? count + 1 : count - 1;
        std::vector<Buffers> buffers(columns_given);
        std::vector<JsonColumn> columns(columns_given);
        Breakage broken;
        broken.refused = columns_given != count;
        for (std::size_t c = 0; c < columns_given; ++c) {
            const ParquetField& field = fields[std::min(c, count - 1)];
            // Now and then the very array of an earlier column of the same type.
            const std::uint8_t alias = in.byte();
            if ((alias & 3U) == 0 && c > 0 && c < count) {
                const std::size_t earlier = alias / 4 % c;
                if (fields[earlier].kind == field.kind &&
                    (field.nullable || !fields[earlier].nullable)) {
                    columns[c] = columns[earlier];
                    continue;
                }
            }
            build_column(in, field, rows, buffers[c], columns[c], broken);
        }
        ParquetMemoRows memo;
        std::vector<std::uint8_t> memo_bytes;
        const bool sound = !broken.refused && !broken.must_fail && !broken.may_fail;
        if (memo_mode != 0 && sound) {
            if (in.byte() % 8 == 0) {
                ++numbering;
                memo_ids.clear();
            }
            memo.numbering = numbering;
            memo.follows.assign(count, false);
            for (std::size_t c = 0; c < count && c < 8; ++c)
                memo.follows[c] =
                    (follow_mask >> c & 1U) != 0 &&
                    (fields[c].kind == ParquetKind::Text || fields[c].kind == ParquetKind::Binary);
            for (std::size_t row = 0; row < rows; ++row) {
                std::vector<std::uint8_t> key;
                for (std::size_t c = 0; c < count; ++c) {
                    if (!memo.follows[c]) continue;
                    const JsonColumn& column = columns[c];
                    const std::size_t at = static_cast<std::size_t>(column.offset) + row;
                    const bool present =
                        column.validity.empty() || (column.validity[at / 8] >> (at % 8) & 1) != 0;
                    const Value value =
                        present ? stored_value(column, fields[c].kind, at) : Value{};
                    const auto size = static_cast<std::uint32_t>(value.size()) + (present ? 1 : 0);
                    key.insert(key.end(), reinterpret_cast<const std::uint8_t*>(&size),
                               reinterpret_cast<const std::uint8_t*>(&size) + 4);
                    key.insert(key.end(), value.begin(), value.end());
                }
                std::uint32_t id =
                    memo_ids.emplace(std::move(key), static_cast<std::uint32_t>(memo_ids.size()))
                        .first->second;
                if (memo_mode == 3) id = in.byte() % 4 == 0 ? in.u16() << 8 : in.byte() % 8;
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(&id);
                memo_bytes.insert(memo_bytes.end(), bytes, bytes + 4);
            }
            if (memo_mode == 3 && in.byte() % 4 == 0) memo_bytes.resize(memo_bytes.size() / 2);
            memo.rows = memo_bytes;
        }
        const std::size_t before = ready.size();
        const auto written = writer.write(static_cast<std::int64_t>(rows), columns, ready, spill,
                                          memo.numbering != 0 ? &memo : nullptr);
        check(written.has_value() || spill.empty(), "a failed or refused call spills nothing");
        check(options.spill_bytes > 0 || spill.empty(), "nothing is spilled without a budget");
        append_spill(spill_file, spill);
        if (stopped) {
            check_misuse(written, ready, before);
        } else if (broken.refused) {
            check(!written && written.error().kind == ParquetFailure::Kind::Buffers,
                  "a batch that does not fit the fields is refused");
            check(ready.size() == before, "a refused batch adds nothing");
        } else if (broken.must_fail || broken.may_fail) {
            check(written.has_value() || written.error().kind == ParquetFailure::Kind::Buffers,
                  "a broken batch fails on its buffers");
            check(!broken.must_fail || !written.has_value(), "a broken batch is not written");
            stopped = !written.has_value();
        } else {
            check(written.has_value(), "a sound batch is written");
        }
        if (written) {
            written_rows += static_cast<std::int64_t>(rows);
            for (std::size_t c = 0; c < count; ++c) {
                const JsonColumn& column = columns[c];
                for (std::size_t row = 0; row < rows && !column.validity.empty(); ++row) {
                    const std::size_t at = static_cast<std::size_t>(column.offset) + row;
                    nulls[c] += (column.validity[at / 8] >> (at % 8) & 1) == 0 ? 1 : 0;
                }
                for (std::size_t row = 0; row < rows; ++row) {
                    const std::size_t at = static_cast<std::size_t>(column.offset) + row;
                    if (column.validity.empty() || (column.validity[at / 8] >> (at % 8) & 1) != 0)
                        values[c].expected.push_back(stored_value(column, fields[c].kind, at));
                }
            }
        }
    }

    std::size_t before = ready.size();
    const auto finished = writer.finish(ready);
    if (stopped) {
        check_misuse(finished, ready, before);
        return;
    }
    check(finished.has_value(), "a writer that took every batch finishes");
    std::vector<std::uint8_t> file;
    for (const auto& piece : ready) {
        check(piece.size() > 0, "no piece is empty");
        if (piece.bytes) {
            file.insert(file.end(), piece.bytes->begin(), piece.bytes->end());
            continue;
        }
        check(piece.spill_offset >= 0 &&
                  piece.spill_offset + piece.spill_size <= std::ssize(spill_file),
              "a spilled range lies in the spill file");
        file.insert(file.end(), spill_file.begin() + piece.spill_offset,
                    spill_file.begin() + piece.spill_offset + piece.spill_size);
    }
    check(file.size() >= 12, "a file holds its magic twice and a footer length");
    if (memo_mode == 3) return; // hostile memo rows may have put other values of a column there
    check(std::memcmp(file.data(), "PAR1", 4) == 0, "a file starts with PAR1");
    check(std::memcmp(file.data() + file.size() - 4, "PAR1", 4) == 0, "a file ends with PAR1");
    std::uint32_t footer = 0;
    for (int i = 0; i < 4; ++i)
        footer |= static_cast<std::uint32_t>(file[file.size() - 8 + static_cast<std::size_t>(i)])
                  << (8 * i);
    check(footer > 0 && footer <= file.size() - 12, "the footer fits inside the file");
    check_footer(file, footer, count, written_rows, options.row_group_rows, nulls, values);

    before = ready.size();
    check_misuse(writer.finish(ready), ready, before);
    check_misuse(writer.write(0, {}, ready, spill), ready, before);
    check(spill.empty(), "a refused call spills nothing");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Source in(data, size);
    if (in.byte() % 4 == 0)
        fuzz_hybrid(in);
    else
        fuzz_writer(in);
    return 0;
}
