/// The streaming Parquet writer over random fields, options and batches, and its RLE / bit-packing
/// hybrid against a strict decoder of the target's own.
///
/// Writer: 1-6 fields of every kind, tiny pages, dictionaries and row groups so that every cut
/// happens all the time, then batches of Arrow buffers as Arrow lays them out (slice offsets,
/// validity bitmaps, 32- and 64-bit text offsets, columns that are the same array as an earlier
/// one) or broken on purpose. Sound batches are written; a batch refused by the check (layout,
/// short buffers, column count) adds nothing and leaves the writer working; a broken batch never
/// reads out of range and fails as a value, after which the writer refuses everything as misuse.
/// A finished file starts with "PAR1" and ends with its footer's length and "PAR1".
///
/// Hybrid: each value sequence, runs and noise mixed, decodes back to itself; a last bit-packed
/// group is padded with zeros only.

#include "fuzz_checks.hpp"
#include "tools/jsonl_writer.hpp"
#include "tools/parquet_writer.hpp"
#include "tools/rle_hybrid.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

using kestrix::fuzz::check;
using kestrix::tools::JsonColumn;
using kestrix::tools::JsonColumnKind;
using kestrix::tools::ParquetFailure;
using kestrix::tools::ParquetField;
using kestrix::tools::ParquetKind;
using kestrix::tools::ParquetOptions;
using kestrix::tools::ParquetPieces;
using kestrix::tools::ParquetWriter;

/// Reads the fuzzer's bytes one at a time; zeros once they run out.
class Source {
public:
    Source(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() noexcept { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() noexcept {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t u32() noexcept {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        std::vector<std::uint8_t> out(count);
        for (auto& b : out)
            b = byte();
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

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

/// Walks the pages of a column chunk [start, end): each header read, each body stepped over;
/// the values of its data pages, or -1 when the pages do not tile the chunk.
std::int64_t page_values(std::span<const std::uint8_t> file, std::size_t start, std::size_t end) {
    std::int64_t values = 0;
    std::size_t at = start;
    while (at < end) {
        Thrift page(file.first(end), at);
        std::int64_t size = -1;
        page.fields([&](std::int64_t id, int type) {
            if (id == 3 && type == 5) {
                size = page.zigzag();
            } else if (id == 5 && type == 12) {
                page.fields([&](std::int64_t inner, int inner_type) {
                    if (inner == 1 && inner_type == 5)
                        values += page.zigzag();
                    else
                        page.skip(inner_type);
                });
            } else {
                page.skip(type);
            }
        });
        if (!page.ok() || size < 0 || static_cast<std::uint64_t>(size) > end - page.at()) return -1;
        at = page.at() + static_cast<std::size_t>(size);
    }
    return at == end ? values : -1;
}

/// What the footer says of a column chunk (-1: not said).
struct ChunkMeta {
    std::int64_t values = -1;
    std::int64_t size = -1;
    std::int64_t data = -1;
    std::int64_t dictionary = -1;
    std::int64_t nulls = -1;
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

/// Checks the footer against the rows written: its row count, one schema element per field and
/// a root, row groups that add up, each no longer than allowed, each chunk's pages inside the
/// data and holding the group's values.
void check_footer(std::span<const std::uint8_t> file, std::size_t footer, std::size_t fields,
                  std::int64_t rows, std::int64_t group_rows,
                  const std::vector<std::int64_t>& nulls) {
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
                        check(page_values(file, static_cast<std::size_t>(start),
                                          static_cast<std::size_t>(start + chunk.size)) ==
                                  chunk.values,
                              "a chunk's pages tile it and hold its values");
                        chunk_values.push_back(chunk.values);
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

template <typename Offset>
void put_offsets(std::vector<std::uint8_t>& out, const auto& bounds) {
    for (const std::int64_t bound : bounds) {
        const auto value = static_cast<Offset>(bound);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
        out.insert(out.end(), bytes, bytes + sizeof value);
    }
}

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
    bool stopped = false; // an earlier write failed while encoding
    std::int64_t written_rows = 0;
    std::vector<std::int64_t> nulls(count, 0);
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
        const std::size_t before = ready.size();
        const auto written = writer.write(static_cast<std::int64_t>(rows), columns, ready);
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
        check(piece != nullptr && !piece->empty(), "no piece is empty");
        file.insert(file.end(), piece->begin(), piece->end());
    }
    check(file.size() >= 12, "a file holds its magic twice and a footer length");
    check(std::memcmp(file.data(), "PAR1", 4) == 0, "a file starts with PAR1");
    check(std::memcmp(file.data() + file.size() - 4, "PAR1", 4) == 0, "a file ends with PAR1");
    std::uint32_t footer = 0;
    for (int i = 0; i < 4; ++i)
        footer |= static_cast<std::uint32_t>(file[file.size() - 8 + static_cast<std::size_t>(i)])
                  << (8 * i);
    check(footer > 0 && footer <= file.size() - 12, "the footer fits inside the file");
    check_footer(file, footer, count, written_rows, options.row_group_rows, nulls);

    before = ready.size();
    check_misuse(writer.finish(ready), ready, before);
    check_misuse(writer.write(0, {}, ready), ready, before);
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
