#include "tools/jsonl_writer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if __has_include(<unistd.h>)
#include <unistd.h>
#endif

namespace kestrix::tools {

namespace {

/// Rows and offsets beyond this are refused: it keeps every size computed below far from
/// overflowing (no batch comes near it).
constexpr std::int64_t kMaxIndex = std::int64_t{1} << 40;

/// Room needed after a key for the longest value of a fixed-width kind (or `null`).
constexpr std::size_t kFloatRoom = 32;

/// Bytes of memory in the machine (the largest size_t when unknown).
std::size_t physical_memory() noexcept {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0 &&
        static_cast<std::size_t>(pages) <=
            std::numeric_limits<std::size_t>::max() / static_cast<std::size_t>(page))
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
#endif
    return std::numeric_limits<std::size_t>::max();
}

/// Texts given back, kept for the next ones (a spin lock: held for a few loads and stores).
/// Trivially destructible: Python may give a text back after static destructors have run.
class Recycled {
public:
    /// A kept buffer of at least `wanted` bytes (the smallest), or {nullptr, 0}.
    [[nodiscard]] std::pair<char*, std::size_t> take(std::size_t wanted) noexcept {
        lock();
        Slot* best = nullptr;
        for (Slot& slot : slots_)
            if (slot.data != nullptr && slot.capacity >= wanted &&
                (best == nullptr || slot.capacity < best->capacity))
                best = &slot;
        std::pair<char*, std::size_t> taken{nullptr, 0};
        if (best != nullptr) taken = {std::exchange(best->data, nullptr), best->capacity};
        unlock();
        return taken;
    }

    /// Keeps `data` in place of a smaller kept buffer (or an empty slot); frees what is not kept.
    void give(char* data, std::size_t capacity) noexcept {
        if (data == nullptr) return;
        if (capacity > kLargest) {
            std::free(data);
            return;
        }
        lock();
        Slot* smallest = &slots_[0];
        for (Slot& slot : slots_)
            if (slot.data == nullptr ||
                (smallest->data != nullptr && slot.capacity < smallest->capacity))
                smallest = &slot;
        char* freed = data;
        if (smallest->data == nullptr || smallest->capacity < capacity) {
            freed = std::exchange(smallest->data, data);
            smallest->capacity = capacity;
        }
        unlock();
        std::free(freed);
    }

private:
    /// Texts larger than this are freed: the kept memory stays bounded (4 x 64 MiB).
    static constexpr std::size_t kLargest = std::size_t{64} << 20;
    struct Slot {
        char* data = nullptr;
        std::size_t capacity = 0;
    };

    void lock() noexcept {
        while (busy_.test_and_set(std::memory_order_acquire))
            busy_.wait(true, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        busy_.clear(std::memory_order_release);
        busy_.notify_one();
    }

    std::atomic_flag busy_;
    std::array<Slot, 4> slots_{};
};

constinit Recycled recycled;
/// Smaller outputs (keys, headers, short batches) take fresh memory: it is cheap and in cache.
constexpr std::size_t kRecycledSmallest = std::size_t{64} << 10;

/// A growing output in memory from malloc (so that the text can be handed to Python as it is).
class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { recycled.give(data_, capacity_); }

    /// Room for `more` bytes past the end; false when memory runs out.
    [[nodiscard]] bool reserve(std::size_t more) noexcept {
        if (capacity_ - size_ >= more) [[likely]]
            return true;
        return grow(more);
    }
    [[nodiscard]] const char* begin() const noexcept { return data_; }
    [[nodiscard]] char* end() noexcept { return data_ + size_; }
    void advance(std::size_t count) noexcept { size_ += count; }
    void put(const void* bytes, std::size_t count) noexcept {
        if (count != 0) std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }
    void put(char c) noexcept { data_[size_++] = c; }

    /// The text, its spare capacity given back when that is much.
    [[nodiscard]] JsonLinesText finish() noexcept {
        if (capacity_ - size_ > size_ / 4 + 4096 && size_ != 0) {
            if (void* smaller = std::realloc(data_, size_)) {
                data_ = static_cast<char*>(smaller);
                capacity_ = size_;
            }
        }
        return {std::exchange(data_, nullptr), std::exchange(size_, 0),
                std::exchange(capacity_, 0)};
    }

private:
    bool grow(std::size_t more) noexcept {
        // A text larger than the machine's memory is refused rather than left to the OOM killer.
        static const std::size_t limit = physical_memory();
        if (more > limit || size_ + more > limit) return false;
        const std::size_t wanted =
            std::min(std::max(capacity_ + capacity_ / 2, size_ + more), limit);
        if (data_ == nullptr && wanted >= kRecycledSmallest) {
            // Memory already written once, when a text of this size was given back.
            if (const auto [kept, capacity] = recycled.take(wanted); kept != nullptr) {
                data_ = kept;
                capacity_ = capacity;
                return true;
            }
        }
        void* bigger = std::realloc(data_, wanted);
        if (bigger == nullptr) return false;
        data_ = static_cast<char*>(bigger);
        capacity_ = wanted;
        return true;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

/// The two text formats: escapes and number forms differ, the column model does not.
enum class Format : std::uint8_t { JsonLines, Csv };

/// Bytes a JSON string cannot hold as they are: control characters, '"' and '\'.
constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> special{};
    for (int c = 0; c < 0x20; ++c)
        special[static_cast<std::size_t>(c)] = true;
    special['"'] = special['\\'] = true;
    return special;
}();

#if !defined(__SSE2__)
/// Nonzero when any of the eight bytes of `word` is special (exact for presence).
template <Format format>
[[nodiscard]] constexpr std::uint64_t special_bytes(std::uint64_t word) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t high = 0x8080808080808080ULL;
    const std::uint64_t quote = word ^ (ones * '"');
    if constexpr (format == Format::Csv) return (quote - ones) & ~quote & high;
    const std::uint64_t slash = word ^ (ones * '\\');
    return ((word - ones * 0x20) & ~word & high) | ((quote - ones) & ~quote & high) |
           ((slash - ones) & ~slash & high);
}
#endif

/// The escape json.dumps writes for a special byte; returns its length.
std::size_t escape_of(std::uint8_t c, char* out) noexcept {
    static constexpr char hex[] = "0123456789abcdef";
    char shorthand = 0;
    switch (c) {
    case '"':
        shorthand = '"';
        break;
    case '\\':
        shorthand = '\\';
        break;
    case '\b':
        shorthand = 'b';
        break;
    case '\t':
        shorthand = 't';
        break;
    case '\n':
        shorthand = 'n';
        break;
    case '\f':
        shorthand = 'f';
        break;
    case '\r':
        shorthand = 'r';
        break;
    }
    out[0] = '\\';
    if (shorthand != 0) {
        out[1] = shorthand;
        return 2;
    }
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = hex[c >> 4];
    out[5] = hex[c & 15];
    return 6;
}

/// Whether `c` is escaped in a quoted value of `format` (in CSV only '"' is, doubled).
template <Format format>
[[nodiscard]] bool is_special(std::uint8_t c) noexcept {
    if constexpr (format == Format::Csv)
        return c == '"';
    else
        return kSpecial[c];
}

template <Format format>
std::size_t escape(std::uint8_t c, char* out) noexcept {
    if constexpr (format == Format::Csv) {
        out[0] = out[1] = '"';
        return 2;
    } else {
        return escape_of(c, out);
    }
}

/// Bytes of output room per byte of a quoted value.
template <Format format>
constexpr std::size_t kEscapeGrowth = format == Format::Csv ? 2 : 6;

/// `text` quoted and escaped; the output has room for kEscapeGrowth bytes per input byte plus
/// the quotes.
template <Format format>
void put_string(Output& out, const std::uint8_t* text, std::size_t size) noexcept {
    char* o = out.end();
    *o++ = '"';
    std::size_t at = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time are copied as they are, then the copy stops at the first special
    // byte (the room reserved covers the bytes stored past it).
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i slash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1f);
    while (at + 16 <= size) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), chunk);
        __m128i special = _mm_cmpeq_epi8(chunk, quote);
        if constexpr (format == Format::JsonLines)
            special = _mm_or_si128(_mm_or_si128(special, _mm_cmpeq_epi8(chunk, slash)),
                                   _mm_cmpeq_epi8(_mm_max_epu8(chunk, control), control));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
        if (mask == 0) {
            at += 16;
            o += 16;
            continue;
        }
        const auto plain = static_cast<std::size_t>(std::countr_zero(mask));
        o += plain;
        at += plain;
        o += escape<format>(text[at++], o);
    }
#else
    while (at + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, text + at, 8);
        std::memcpy(o, &word, 8);
        if (special_bytes<format>(word) == 0) {
            at += 8;
            o += 8;
            continue;
        }
        while (!is_special<format>(text[at])) {
            ++at;
            ++o;
        }
        o += escape<format>(text[at++], o);
    }
#endif
    for (; at < size; ++at) {
        if (is_special<format>(text[at]))
            o += escape<format>(text[at], o);
        else
            *o++ = static_cast<char>(text[at]);
    }
    *o++ = '"';
    out.advance(static_cast<std::size_t>(o - out.end()));
}

/// Arrow's text form of a finite float (the shortest digits that read back as the same value,
/// in positional notation for decimal exponents -6..9, else d.ddde±x), in JSON with ".0" added
/// to a whole number so that a JSON reader keeps it a float. Returns the length written.
template <Format format, typename Float>
std::size_t put_float(Float value, char* out) noexcept {
    char scientific[48];
    const auto written = std::to_chars(scientific, scientific + sizeof scientific, value,
                                       std::chars_format::scientific);
    const char* at = scientific;
    const char* const end = written.ptr;
    char* o = out;
    if (*at == '-') {
        *o++ = '-';
        ++at;
    }
    char digits[24];
    int count = 0;
    for (; at != end && *at != 'e'; ++at)
        if (*at != '.' && count < 24) digits[count++] = *at;
    int exponent = 0;
    if (at != end) {
        ++at;
        const bool negative = at != end && *at == '-';
        if (at != end && (*at == '-' || *at == '+')) ++at;
        std::from_chars(at, end, exponent);
        if (negative) exponent = -exponent;
    }
    if (exponent >= -6 && exponent < 10) {
        if (exponent < 0) {
            *o++ = '0';
            *o++ = '.';
            for (int i = 0; i < -exponent - 1; ++i)
                *o++ = '0';
            std::memcpy(o, digits, static_cast<std::size_t>(count));
            o += count;
        } else if (exponent + 1 >= count) {
            std::memcpy(o, digits, static_cast<std::size_t>(count));
            o += count;
            for (int i = count; i < exponent + 1; ++i)
                *o++ = '0';
            if constexpr (format == Format::JsonLines) {
                *o++ = '.';
                *o++ = '0';
            }
        } else {
            std::memcpy(o, digits, static_cast<std::size_t>(exponent + 1));
            o += exponent + 1;
            *o++ = '.';
            std::memcpy(o, digits + exponent + 1, static_cast<std::size_t>(count - exponent - 1));
            o += count - exponent - 1;
        }
    } else {
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, static_cast<std::size_t>(count - 1));
            o += count - 1;
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        o = std::to_chars(o, o + 8, exponent < 0 ? -exponent : exponent).ptr;
    }
    return static_cast<std::size_t>(o - out);
}

template <typename Value>
[[nodiscard]] Value read_at(std::span<const std::uint8_t> bytes, std::int64_t index) noexcept {
    Value value;
    std::memcpy(&value, bytes.data() + static_cast<std::size_t>(index) * sizeof(Value),
                sizeof(Value));
    return value;
}

template <typename Integer>
void put_integer(Output& out, std::span<const std::uint8_t> values, std::int64_t index) noexcept {
    char* at = out.end();
    const auto written = std::to_chars(at, at + 20, read_at<Integer>(values, index));
    out.advance(static_cast<std::size_t>(written.ptr - at));
}

[[nodiscard]] bool bit_at(std::span<const std::uint8_t> bits, std::int64_t index) noexcept {
    return (bits[static_cast<std::size_t>(index >> 3)] >> (index & 7)) & 1;
}

/// Room for a value of this kind, or `null`; text and JSON reserve their own on top.
[[nodiscard]] std::size_t room_of(JsonColumnKind kind) noexcept {
    switch (kind) {
    case JsonColumnKind::Null:
    case JsonColumnKind::Text:
    case JsonColumnKind::LargeText:
    case JsonColumnKind::Json:
    case JsonColumnKind::LargeJson:
        return 4;
    case JsonColumnKind::Bool:
        return 5;
    case JsonColumnKind::Int8:
    case JsonColumnKind::Int16:
    case JsonColumnKind::Int32:
    case JsonColumnKind::Int64:
    case JsonColumnKind::UInt8:
    case JsonColumnKind::UInt16:
    case JsonColumnKind::UInt32:
    case JsonColumnKind::UInt64:
        return 20;
    case JsonColumnKind::Float32:
    case JsonColumnKind::Float64:
        return kFloatRoom;
    }
    return kFloatRoom;
}

[[nodiscard]] bool large_offsets(JsonColumnKind kind) noexcept {
    return kind == JsonColumnKind::LargeText || kind == JsonColumnKind::LargeJson;
}

[[nodiscard]] bool has_offsets(JsonColumnKind kind) noexcept {
    return kind == JsonColumnKind::Text || kind == JsonColumnKind::LargeText ||
           kind == JsonColumnKind::Json || kind == JsonColumnKind::LargeJson;
}

/// Whether the buffers of `column` hold `rows` values from its offset.
using Failure = JsonLinesFailure;

[[nodiscard]] std::unexpected<Failure> fail(Failure::Kind kind, std::size_t column,
                                            std::string_view text) noexcept {
    return std::unexpected(Failure{kind, column, text});
}

/// The failure when `rows` or a column is malformed: every later read stays within the buffers.
[[nodiscard]] std::expected<void, Failure>
check_columns(std::int64_t rows, std::span<const JsonColumn> columns) noexcept {
    if (rows < 0 || rows > kMaxIndex) return fail(Failure::Kind::Buffers, 0, "bad row count");
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (static_cast<int>(columns[i].kind) >= kJsonColumnKinds)
            return fail(Failure::Kind::Buffers, i, "unknown column kind");
        if (!column_fits(columns[i], rows))
            return fail(Failure::Kind::Buffers, i, "buffers too short for the rows");
    }
    return {};
}

/// Reserves a first guess at the size: `per_row` bytes a row plus the bytes of the text values
/// (a text that cannot fit in memory is refused before any is written).
[[nodiscard]] bool reserve_guess(Output& out, std::int64_t rows,
                                 std::span<const JsonColumn> columns, std::size_t per_row,
                                 std::size_t row_room) noexcept {
    if (row_room > static_cast<std::size_t>(kMaxIndex) ||
        per_row > std::numeric_limits<std::size_t>::max() / 8 / static_cast<std::size_t>(rows))
        return false;
    std::size_t guess = per_row * static_cast<std::size_t>(rows);
    for (const JsonColumn& column : columns) {
        if (!has_offsets(column.kind)) continue;
        std::size_t first = 0;
        std::size_t first_size = 0;
        std::size_t last = 0;
        std::size_t last_size = 0;
        if (text_range(column, column.offset, first, first_size) &&
            text_range(column, column.offset + rows - 1, last, last_size) && first <= last)
            guess += last + last_size - first;
    }
    return out.reserve(guess + row_room);
}

[[nodiscard]] bool is_null(const JsonColumn& column, std::int64_t index) noexcept {
    return column.kind == JsonColumnKind::Null ||
           (!column.validity.empty() && !bit_at(column.validity, index));
}

template <Format format, typename Float>
[[nodiscard]] std::expected<void, Failure> put_float_value(Output& out, const JsonColumn& column,
                                                           std::int64_t index) noexcept {
    const auto value = read_at<Float>(column.values, index);
    if (std::isfinite(value)) {
        out.advance(put_float<format>(value, out.end()));
        return {};
    }
    if constexpr (format == Format::JsonLines) {
        return fail(Failure::Kind::NotFinite, 0, "a float is not finite");
    } else {
        if (std::isnan(value))
            out.put("nan", 3);
        else if (value < 0)
            out.put("-inf", 4);
        else
            out.put("inf", 3);
        return {};
    }
}

/// Writes value `index` (not null) of `column`; `row_room` bytes stay reserved past it.
template <Format format>
[[nodiscard]] std::expected<void, Failure> put_value(Output& out, const JsonColumn& column,
                                                     std::int64_t index,
                                                     std::size_t row_room) noexcept {
    switch (column.kind) {
    case JsonColumnKind::Null:
        break;
    case JsonColumnKind::Text:
    case JsonColumnKind::LargeText:
    case JsonColumnKind::Json:
    case JsonColumnKind::LargeJson: {
        std::size_t start = 0;
        std::size_t size = 0;
        if (!text_range(column, index, start, size))
            return fail(Failure::Kind::Buffers, 0, "an offset points outside the data");
        const bool quoted =
            column.kind == JsonColumnKind::Text || column.kind == JsonColumnKind::LargeText;
        if (!out.reserve((quoted ? size * kEscapeGrowth<format> + 2 : size) + row_room))
            return fail(Failure::Kind::Memory, 0, "out of memory");
        if (quoted)
            put_string<format>(out, column.data.data() + start, size);
        else
            out.put(column.data.data() + start, size);
        break;
    }
    case JsonColumnKind::Bool:
        if (bit_at(column.values, index))
            out.put("true", 4);
        else
            out.put("false", 5);
        break;
    case JsonColumnKind::Int8:
        put_integer<std::int8_t>(out, column.values, index);
        break;
    case JsonColumnKind::Int16:
        put_integer<std::int16_t>(out, column.values, index);
        break;
    case JsonColumnKind::Int32:
        put_integer<std::int32_t>(out, column.values, index);
        break;
    case JsonColumnKind::Int64:
        put_integer<std::int64_t>(out, column.values, index);
        break;
    case JsonColumnKind::UInt8:
        put_integer<std::uint8_t>(out, column.values, index);
        break;
    case JsonColumnKind::UInt16:
        put_integer<std::uint16_t>(out, column.values, index);
        break;
    case JsonColumnKind::UInt32:
        put_integer<std::uint32_t>(out, column.values, index);
        break;
    case JsonColumnKind::UInt64:
        put_integer<std::uint64_t>(out, column.values, index);
        break;
    case JsonColumnKind::Float32:
        return put_float_value<format, float>(out, column, index);
    case JsonColumnKind::Float64:
        return put_float_value<format, double>(out, column, index);
    }
    return {};
}

/// `failure` of column `column`.
[[nodiscard]] std::unexpected<Failure> in_column(Failure failure, std::size_t column) noexcept {
    failure.column = column;
    return std::unexpected(failure);
}

} // namespace

bool column_fits(const JsonColumn& column, std::int64_t rows) noexcept {
    if (column.offset < 0 || column.offset > kMaxIndex) return false;
    const auto end = static_cast<std::size_t>(column.offset + rows);
    if (!column.validity.empty() && column.validity.size() < (end + 7) / 8) return false;
    const JsonColumnKind kind = column.kind;
    if (kind == JsonColumnKind::Null) return true;
    if (kind == JsonColumnKind::Bool) return column.values.size() >= (end + 7) / 8;
    if (has_offsets(kind)) return column.values.size() / (large_offsets(kind) ? 8 : 4) >= end + 1;
    return column.values.size() / value_width(kind) >= end;
}

/// The byte range of text value `index`, or false when its offsets leave the data.
bool text_range(const JsonColumn& column, std::int64_t index, std::size_t& start,
                std::size_t& size) noexcept {
    std::int64_t first = 0;
    std::int64_t last = 0;
    if (large_offsets(column.kind)) {
        first = read_at<std::int64_t>(column.values, index);
        last = read_at<std::int64_t>(column.values, index + 1);
    } else {
        first = read_at<std::int32_t>(column.values, index);
        last = read_at<std::int32_t>(column.values, index + 1);
    }
    if (first < 0 || last < first || static_cast<std::uint64_t>(last) > column.data.size())
        return false;
    start = static_cast<std::size_t>(first);
    size = static_cast<std::size_t>(last - first);
    return true;
}

void recycle_text(char* data, std::size_t capacity) noexcept {
    recycled.give(data, capacity);
}

std::expected<JsonLinesText, JsonLinesFailure>
write_json_lines(std::int64_t rows, std::span<const JsonColumn> columns) noexcept {
    if (auto checked = check_columns(rows, columns); !checked)
        return std::unexpected(checked.error());
    Output out;
    if (rows == 0) return out.finish();

    // The keys, escaped once: key i is keys[starts[i], starts[i + 1]).
    std::unique_ptr<std::size_t[]> starts(new (std::nothrow) std::size_t[columns.size() + 1]);
    if (!starts) return fail(Failure::Kind::Memory, 0, "out of memory");
    Output keys;
    starts[0] = 0;
    std::size_t row_room = 3; // "{" "}\n" (or "{}\n")
    std::size_t estimate = 3;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::string_view name = columns[i].name;
        if (name.size() > kMaxIndex || !keys.reserve(name.size() * 6 + 4))
            return fail(Failure::Kind::Memory, i, "out of memory");
        const char* before = keys.end();
        keys.put(i == 0 ? '{' : ',');
        put_string<Format::JsonLines>(keys, reinterpret_cast<const std::uint8_t*>(name.data()),
                                      name.size());
        keys.put(':');
        const auto length = static_cast<std::size_t>(keys.end() - before);
        starts[i + 1] = starts[i] + length;
        row_room += length + room_of(columns[i].kind);
        estimate += length + (has_offsets(columns[i].kind) ? 2 : room_of(columns[i].kind) / 2);
    }
    const char* key_text = keys.begin();
    if (!reserve_guess(out, rows, columns, estimate, row_room))
        return fail(Failure::Kind::Memory, 0, "out of memory");

    for (std::int64_t row = 0; row < rows; ++row) {
        if (!out.reserve(row_room)) return fail(Failure::Kind::Memory, 0, "out of memory");
        if (columns.empty()) out.put('{');
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const JsonColumn& column = columns[i];
            out.put(key_text + starts[i], starts[i + 1] - starts[i]);
            const std::int64_t index = column.offset + row;
            if (is_null(column, index)) {
                out.put("null", 4);
                continue;
            }
            if (auto put = put_value<Format::JsonLines>(out, column, index, row_room); !put)
                return in_column(put.error(), i);
        }
        out.put("}\n", 2);
    }
    return out.finish();
}

std::expected<JsonLinesText, JsonLinesFailure> write_csv(std::int64_t rows,
                                                         std::span<const JsonColumn> columns,
                                                         char delimiter, bool header) noexcept {
    if (auto checked = check_columns(rows, columns); !checked)
        return std::unexpected(checked.error());
    Output out;
    if (columns.empty()) return out.finish();

    std::size_t row_room = 1; // the line end
    std::size_t estimate = 1;
    for (const JsonColumn& column : columns) {
        row_room += 1 + room_of(column.kind);
        estimate += 1 + (has_offsets(column.kind) ? 2 : room_of(column.kind) / 2);
    }
    if (header) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const std::string_view name = columns[i].name;
            if (name.size() > kMaxIndex || !out.reserve(name.size() * 2 + 4))
                return fail(Failure::Kind::Memory, i, "out of memory");
            if (i != 0) out.put(delimiter);
            put_string<Format::Csv>(out, reinterpret_cast<const std::uint8_t*>(name.data()),
                                    name.size());
        }
        out.put('\n');
    }
    if (rows == 0) return out.finish();
    if (!reserve_guess(out, rows, columns, estimate, row_room))
        return fail(Failure::Kind::Memory, 0, "out of memory");

    for (std::int64_t row = 0; row < rows; ++row) {
        if (!out.reserve(row_room)) return fail(Failure::Kind::Memory, 0, "out of memory");
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const JsonColumn& column = columns[i];
            if (i != 0) out.put(delimiter);
            const std::int64_t index = column.offset + row;
            if (is_null(column, index)) continue; // null: an empty field, unquoted
            if (auto put = put_value<Format::Csv>(out, column, index, row_room); !put)
                return in_column(put.error(), i);
        }
        out.put('\n');
    }
    return out.finish();
}

std::size_t value_width(JsonColumnKind kind) noexcept {
    switch (kind) {
    case JsonColumnKind::Int8:
    case JsonColumnKind::UInt8:
        return 1;
    case JsonColumnKind::Int16:
    case JsonColumnKind::UInt16:
        return 2;
    case JsonColumnKind::Int32:
    case JsonColumnKind::UInt32:
    case JsonColumnKind::Float32:
        return 4;
    case JsonColumnKind::Int64:
    case JsonColumnKind::UInt64:
    case JsonColumnKind::Float64:
        return 8;
    case JsonColumnKind::Null:
    case JsonColumnKind::Text:
    case JsonColumnKind::LargeText:
    case JsonColumnKind::Json:
    case JsonColumnKind::LargeJson:
    case JsonColumnKind::Bool:
        return 0;
    }
    return 0;
}

} // namespace kestrix::tools
