/// The JSON Lines and CSV writer over random Arrow buffers: every column kind, random keys,
/// validity bitmaps and slice offsets, buffers as Arrow lays them out and buffers broken on
/// purpose. Sound columns must be written, one JSON object per row (RFC 8259, checked apart from
/// the writer) whenever the text is UTF-8, and every float must read back as itself; broken ones
/// may fail but never read out of range. The CSV text of the same columns fails exactly when the
/// JSON Lines text does and holds one line per row (line ends inside quotes apart).

#include "byte_source.hpp"
#include "fuzz_checks.hpp"
#include "tools/jsonl_writer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kestrix::fuzz::check;
using kestrix::tools::JsonColumn;
using kestrix::tools::JsonColumnKind;

using kestrix::fuzz::put_offsets;
using Source = kestrix::fuzz::ByteSource;

struct Buffers {
    std::string name;
    std::vector<std::uint8_t> validity;
    std::vector<std::uint8_t> values;
    std::vector<std::uint8_t> data;
};

/// Reads back every float of a one-column, no-null float batch: the line is {"key":VALUE}.
template <typename Float>
void check_floats(std::string_view text, const Buffers& column, std::size_t offset) {
    std::size_t row = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        const std::size_t colon = line.rfind(':');
        const std::string_view value = line.substr(colon + 1, line.size() - colon - 2);
        Float read{};
        const auto parsed = std::from_chars(value.data(), value.data() + value.size(), read);
        check(parsed.ec == std::errc{} && parsed.ptr == value.data() + value.size(),
              "a float is a number");
        Float wanted;
        std::memcpy(&wanted, column.values.data() + (offset + row) * sizeof(Float), sizeof(Float));
        check(std::bit_cast<std::array<std::uint8_t, sizeof(Float)>>(read) ==
                  std::bit_cast<std::array<std::uint8_t, sizeof(Float)>>(wanted),
              "a float reads back as itself");
        check(value.find_first_of(".e") != std::string_view::npos, "a float stays a float");
        text.remove_prefix(end + 1);
        ++row;
    }
}

constexpr std::array<std::string_view, 6> kJson = {
    "1", "[1,{\"a\":null}]", "\"x\\n\"", "null", "{}", "-0.5e3"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Source in(data, size);
    const std::size_t rows = in.byte() % 48;
    const std::size_t count = in.byte() % 5;
    std::vector<Buffers> buffers(count);
    std::vector<JsonColumn> columns(count);
    bool sound = true;
    bool utf8 = true;
    bool nulls = false;
    for (std::size_t c = 0; c < count; ++c) {
        Buffers& b = buffers[c];
        JsonColumn& column = columns[c];
        column.kind = static_cast<JsonColumnKind>(in.byte() % kestrix::tools::kJsonColumnKinds);
        const std::size_t offset = in.byte() % 9;
        const std::size_t total = offset + rows;
        const std::uint8_t flags = in.byte();
        const auto name = in.bytes(in.byte() % 6);
        b.name.assign(name.begin(), name.end());
        utf8 = utf8 && kestrix::fuzz::is_valid_utf8(b.name);
        if (flags & 1U) {
            b.validity = in.bytes((total + 7) / 8);
            nulls = true;
        }
        const JsonColumnKind kind = column.kind;
        const bool text = kind == JsonColumnKind::Text || kind == JsonColumnKind::LargeText;
        const bool json = kind == JsonColumnKind::Json || kind == JsonColumnKind::LargeJson;
        if (text || json) {
            std::vector<std::int64_t> bounds{in.byte() % 4};
            b.data.assign(static_cast<std::size_t>(bounds[0]), '#');
            for (std::size_t row = 0; row < total; ++row) {
                if (text) {
                    // Each value must be UTF-8 on its own (a split character is not).
                    const auto value = in.bytes(in.byte() % 24);
                    utf8 = utf8 && kestrix::fuzz::is_valid_utf8(std::string_view(
                                       reinterpret_cast<const char*>(value.data()), value.size()));
                    b.data.insert(b.data.end(), value.begin(), value.end());
                } else {
                    const std::string_view value = kJson[in.byte() % kJson.size()];
                    b.data.insert(b.data.end(), value.begin(), value.end());
                }
                bounds.push_back(static_cast<std::int64_t>(b.data.size()));
            }
            if (flags & 2U) { // broken: one offset past the data, decreasing or negative
                const std::size_t at = in.byte() % bounds.size();
                const std::uint8_t how = in.byte() % 3;
                bounds[at] = how == 0   ? static_cast<std::int64_t>(b.data.size()) + 1 + in.byte()
                             : how == 1 ? bounds[at] - 1 - in.byte()
                                        : -1;
                sound = false;
            }
            if (kind == JsonColumnKind::LargeText || kind == JsonColumnKind::LargeJson)
                put_offsets<std::int64_t>(b.values, bounds);
            else
                put_offsets<std::int32_t>(b.values, bounds);
        } else if (kind == JsonColumnKind::Bool) {
            b.values = in.bytes((total + 7) / 8);
        } else if (kind != JsonColumnKind::Null) {
            b.values = in.bytes(total * kestrix::tools::value_width(kind));
            // Floats that are not finite are refused: keep them out of the sound batches.
            for (std::size_t at = 0; at < total; ++at) {
                std::uint8_t* slot = b.values.data() + at * kestrix::tools::value_width(kind);
                if (kind == JsonColumnKind::Float64) {
                    double value;
                    std::memcpy(&value, slot, sizeof value);
                    if (!std::isfinite(value)) std::memset(slot, 0, sizeof value);
                } else if (kind == JsonColumnKind::Float32) {
                    float value;
                    std::memcpy(&value, slot, sizeof value);
                    if (!std::isfinite(value)) std::memset(slot, 0, sizeof value);
                }
            }
        }
        if ((flags & 4U) && rows > 0) { // broken: a buffer one byte short
            auto& shortened = !b.validity.empty() && (flags & 8U) ? b.validity : b.values;
            if (!shortened.empty() && kind != JsonColumnKind::Null) {
                shortened.pop_back();
                sound = false;
            }
        }
        column.name = b.name;
        column.offset = static_cast<std::int64_t>(offset);
        column.validity = b.validity;
        column.values = b.values;
        column.data = b.data;
    }

    const bool header = (in.byte() & 1U) != 0;
    const char delimiter = (in.byte() & 1U) != 0 ? '\t' : ',';
    const auto csv =
        kestrix::tools::write_csv(static_cast<std::int64_t>(rows), columns, delimiter, header);
    const auto written = kestrix::tools::write_json_lines(static_cast<std::int64_t>(rows), columns);
    check(csv.has_value() == written.has_value(), "CSV fails exactly when JSON Lines does");
    // Text already rendered is written as it is: its quotes and line ends are its own.
    const bool rendered = std::ranges::any_of(columns, [](const JsonColumn& column) {
        return column.kind == JsonColumnKind::Json || column.kind == JsonColumnKind::LargeJson;
    });
    if (csv && !rendered) {
        std::size_t csv_lines = 0;
        bool quoted = false;
        for (const char c : std::string_view(csv->data(), csv->size())) {
            if (c == '"') quoted = !quoted;
            if (c == '\n' && !quoted) ++csv_lines;
        }
        check(!quoted, "every quote is closed");
        check(csv_lines == (count == 0 ? 0 : rows + (header ? 1 : 0)), "one CSV line per row");
    }
    if (!written) {
        check(!sound, "sound columns are written");
        return 0;
    }
    const std::string_view text(written->data(), written->size());
    std::size_t lines = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        check(end != std::string_view::npos, "every line ends in a newline");
        if (sound && utf8)
            check(kestrix::fuzz::is_json(text.substr(at, end - at)), "each line is JSON");
        at = end + 1;
        ++lines;
    }
    check(lines == rows, "one line per row");
    if (sound && count == 1 && !nulls) {
        if (columns[0].kind == JsonColumnKind::Float64)
            check_floats<double>(text, buffers[0], static_cast<std::size_t>(columns[0].offset));
        if (columns[0].kind == JsonColumnKind::Float32)
            check_floats<float>(text, buffers[0], static_cast<std::size_t>(columns[0].offset));
    }
    return 0;
}
