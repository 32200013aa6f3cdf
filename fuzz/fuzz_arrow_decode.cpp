/// The column decode over random Arrow buffers: rows of random bytes, hexadecimal text (either
/// case, with or without "0x", sometimes broken) and repeats of earlier rows, a random validity
/// bitmap, slices, 32- and 64-bit offsets, rows wrapped in Wrap(bytes) for the root-cause
/// columns. Within the buffers' contract every column must hold what decoding (and unwrapping)
/// each row on its own gives; offsets broken on purpose must fail cleanly.

#include "byte_source.hpp"
#include "core/selector.hpp"
#include "evm/pipeline.hpp"
#include "evm/unwrap.hpp"
#include "fuzz_checks.hpp"
#include "python/hex_input.hpp"
#include "python/result_fields.hpp"
#include "tools/arrow_decode.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kestrix::fuzz::check;
using kestrix::tools::ArrowColumnOutput;
using kestrix::tools::ResultColumn;

using Source = kestrix::fuzz::ByteSource;

/// A column without nulls may have no bitmap.
bool valid_at(const ArrowColumnOutput& column, std::size_t row) {
    return column.validity.empty() || ((column.validity[row / 8] >> (row % 8)) & 1U);
}

std::optional<std::string_view> text_at(const ArrowColumnOutput& column, std::size_t row) {
    if (!valid_at(column, row)) return std::nullopt;
    const auto start = static_cast<std::size_t>(column.offsets[row]);
    return std::string_view(column.data)
        .substr(start, static_cast<std::size_t>(column.offsets[row + 1]) - start);
}

template <class Number>
std::optional<Number> number_at(const ArrowColumnOutput& column, std::size_t row) {
    if (!valid_at(column, row)) return std::nullopt;
    Number value;
    std::memcpy(&value, column.data.data() + row * sizeof(Number), sizeof(Number));
    return value;
}

template <class Text>
std::optional<std::string_view> view(const std::optional<Text>& value) {
    if (!value) return std::nullopt;
    return std::string_view(*value);
}

namespace core = kestrix::core;
namespace evm = kestrix::evm;

/// The built-ins and Wrap(bytes), which carries a revert in its one `bytes` argument.
const core::ErrorRegistry& wrapping_registry() {
    static const core::RegistryHandle handle = [] {
        core::ErrorSignature wrap{"Wrap", "Wrap(bytes)", {{"inner", "bytes", {}}}, "fuzz", {}};
        wrap.selector = core::selector_of(wrap.signature);
        wrap.forms = core::InputForms::Lossless;
        auto own = std::make_shared<core::IndexedErrorRegistry>(core::HintRule::OwnEntry);
        own->register_entry(std::move(wrap));
        return core::RegistryHandle(std::make_shared<core::ChainErrorRegistry>(
            core::BuiltinErrorRegistry::build(), std::move(own)));
    }();
    return *handle;
}

/// `inner` as the argument of Wrap(bytes).
std::vector<std::uint8_t> wrapped(const std::vector<std::uint8_t>& inner) {
    const auto selector = core::selector_of("Wrap(bytes)");
    std::vector<std::uint8_t> out(selector.begin(), selector.end());
    out.resize(4 + 64 + (inner.size() + 31) / 32 * 32, 0);
    out[4 + 31] = 0x20;
    for (std::size_t at = 0; at < 8; ++at)
        out[4 + 63 - at] = static_cast<std::uint8_t>(std::uint64_t{inner.size()} >> (8 * at));
    std::copy(inner.begin(), inner.end(), out.begin() + 68);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto builtins = kestrix::core::BuiltinErrorRegistry::build();
    static const evm::WrapperRules no_rules;
    Source in(data, size);
    const std::uint8_t flags = in.byte();
    const bool large = flags & 1U, binary = flags & 2U, with_validity = flags & 4U;
    const bool error_column = flags & 8U, root_cause = flags & 16U, broken = flags & 32U;
    // Rows wrapped in Wrap(bytes), once or more, unwrapped for the root-cause columns.
    const bool nest = flags & 64U;
    const core::ErrorRegistry* registry = nest ? &wrapping_registry() : builtins.get();
    const std::size_t length = in.byte() % 64;
    const std::size_t offset = in.byte() % 9;
    const std::size_t total = offset + length;

    // The rows' values, one after another; offsets from a start that is not always 0.
    std::string values(in.byte() % 4, '#');
    std::vector<std::int64_t> bounds{static_cast<std::int64_t>(values.size())};
    for (std::size_t row = 0; row < total; ++row) {
        const std::uint8_t mode = in.byte();
        std::string value;
        if (row > 0 && mode % 4 == 0) { // a repeat of an earlier row
            const std::size_t earlier = in.byte() % row;
            value = values.substr(static_cast<std::size_t>(bounds[earlier]),
                                  static_cast<std::size_t>(bounds[earlier + 1] - bounds[earlier]));
        } else {
            auto bytes = in.take(in.byte() % 80);
            for (std::uint8_t layers = nest ? (mode >> 2) % 4 : 0; layers > 0; --layers)
                bytes = wrapped(bytes);
            if (binary || mode % 4 == 1) {
                value.assign(bytes.begin(), bytes.end());
            } else {
                value = kestrix::python::hex_text(bytes);
                if (mode & 0x10) value.erase(0, 2);
                if (mode & 0x20) {
                    for (char& c : value)
                        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
                }
                if ((mode & 0xC0) == 0xC0 && !value.empty()) value[in.byte() % value.size()] = 'g';
            }
        }
        values += value;
        bounds.push_back(static_cast<std::int64_t>(values.size()));
    }
    if (broken && !bounds.empty()) bounds[in.byte() % bounds.size()] += in.byte() % 2 ? 1000 : -3;
    std::vector<std::uint8_t> offsets;
    for (const std::int64_t bound : bounds) {
        std::uint8_t word[8];
        if (large) {
            std::memcpy(word, &bound, 8);
            offsets.insert(offsets.end(), word, word + 8);
        } else {
            const auto narrow = static_cast<std::int32_t>(bound);
            std::memcpy(word, &narrow, 4);
            offsets.insert(offsets.end(), word, word + 4);
        }
    }
    std::vector<std::uint8_t> validity;
    if (with_validity) validity = in.take((total + 7) / 8);
    validity.resize(with_validity ? (total + 7) / 8 : 0, 0xFF);

    kestrix::tools::ArrowColumnInput input;
    input.length = static_cast<std::int64_t>(length);
    input.offset = static_cast<std::int64_t>(offset);
    input.validity = validity;
    input.offsets = offsets;
    input.large_offsets = large;
    input.data = {reinterpret_cast<const std::uint8_t*>(values.data()), values.size()};
    input.binary = binary;
    kestrix::tools::ColumnChoice choice;
    choice.error = error_column;
    choice.root_cause = root_cause;
    if (nest) choice.wrappers = &no_rules;
    auto check_rows = [&](const kestrix::tools::DecodedColumns& decoded, std::size_t first,
                          std::size_t count) {
        const auto& columns = decoded.columns;
        auto column = [&](ResultColumn which) -> const ArrowColumnOutput& {
            return columns[static_cast<std::size_t>(which)];
        };
        std::int64_t nulls = 0;
        for (std::size_t row = 0; row < count; ++row) {
            const std::size_t index = offset + first + row;
            const bool valid_input = !with_validity || ((validity[index / 8] >> (index % 8)) & 1U);
            const std::string_view value(
                values.data() + bounds[index],
                static_cast<std::size_t>(bounds[index + 1] - bounds[index]));
            std::optional<kestrix::core::DecodedError> record;
            std::optional<std::string> failure;
            if (valid_input) {
                std::vector<std::uint8_t> bytes(value.begin(), value.end());
                if (!binary) {
                    auto parsed = kestrix::python::parse_revert_hex(value);
                    if (parsed) {
                        bytes = std::move(*parsed);
                    } else {
                        failure = "hex decode: " + parsed.error();
                    }
                }
                if (!failure) {
                    auto result = kestrix::evm::decode_revert(*registry, bytes, std::nullopt);
                    check(result.has_value(), "the pipeline is total");
                    record = std::move(*result);
                }
            }
            const bool struct_valid = record || (failure && error_column);
            nulls += struct_valid ? 0 : 1;
            check(valid_at(decoded.rows, row) == struct_valid,
                  "the struct row is valid exactly when decoded or reported");
            if (error_column) {
                check(text_at(column(ResultColumn::Error), row) == view(failure),
                      "the error column holds the row's own failure");
            }
            // raw_data left to the input: valid where kind is, holding the input text.
            const auto raw = decoded.raw_repeats_input
                                 ? (text_at(column(ResultColumn::Kind), row) ? std::optional(value)
                                                                             : std::nullopt)
                                 : text_at(column(ResultColumn::RawData), row);
            if (!record) {
                check(!raw && !number_at<double>(column(ResultColumn::Confidence), row),
                      "a row without a result is null");
                continue;
            }
            const auto fields = kestrix::python::kind_fields(record->kind);
            const auto selector = record->selector
                                      ? std::optional(kestrix::python::hex_text(*record->selector))
                                      : std::nullopt;
            check(raw == kestrix::python::hex_text(record->raw_data), "raw_data");
            check(text_at(column(ResultColumn::Selector), row) == view(selector), "selector");
            check(text_at(column(ResultColumn::Suggestion), row) == view(record->suggestion),
                  "suggestion");
            check(number_at<double>(column(ResultColumn::Confidence), row) ==
                      static_cast<double>(record->confidence),
                  "confidence");
            check(text_at(column(ResultColumn::Kind), row) ==
                      kestrix::core::kind_name(record->kind),
                  "kind");
            check(text_at(column(ResultColumn::Message), row) == fields.message, "message");
            check(text_at(column(ResultColumn::ErrorName), row) == fields.error_name, "error_name");
            check(text_at(column(ResultColumn::Inputs), row) == view(fields.inputs), "inputs");
            check(number_at<std::uint64_t>(column(ResultColumn::PanicCode), row) ==
                      fields.panic_code,
                  "panic_code");
            check(text_at(column(ResultColumn::PanicMeaning), row) == fields.panic_meaning,
                  "panic_meaning");
            if (root_cause) {
                // Without wrappers every row is its own root.
                const auto chain =
                    evm::unwrap_revert(*registry, no_rules, record->raw_data, std::nullopt);
                check(chain.has_value(), "the chain unwraps");
                const std::size_t depth = nest ? chain->size() - 1 : 0;
                const core::DecodedError& root = nest ? chain->back().decoded.record : *record;
                check(number_at<std::uint8_t>(column(ResultColumn::Depth), row) == depth, "depth");
                check(!decoded.roots_repeat_outer || depth == 0, "roots repeat only the unnested");
                auto root_column = [&](ResultColumn which) -> const ArrowColumnOutput& {
                    const auto outer = kestrix::tools::outer_of_root(which);
                    return column(decoded.roots_repeat_outer ? *outer : which);
                };
                const auto root_fields = kestrix::python::kind_fields(root.kind);
                const auto root_selector =
                    root.selector ? std::optional(kestrix::python::hex_text(*root.selector))
                                  : std::nullopt;
                check(text_at(root_column(ResultColumn::RootKind), row) ==
                          kestrix::core::kind_name(root.kind),
                      "root_kind");
                check(text_at(root_column(ResultColumn::RootErrorName), row) ==
                          root_fields.error_name,
                      "root_error_name");
                check(text_at(root_column(ResultColumn::RootMessage), row) == root_fields.message,
                      "root_message");
                check(text_at(root_column(ResultColumn::RootSelector), row) == view(root_selector),
                      "root_selector");
            }
        }
        check(decoded.rows.null_count == nulls, "the struct's null count");
        check(!decoded.raw_repeats_input || (!binary && !large),
              "only 32-bit text can stand for raw_data");
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const auto& built = columns[i];
            std::int64_t column_nulls = 0;
            for (std::size_t row = 0; row < count && !built.validity.empty(); ++row)
                column_nulls += valid_at(built, row) ? 0 : 1;
            check(built.null_count == column_nulls, "each column's null count");
        }
    };
    // The rows in two parts, then the first part again, through one memo: later parts take rows
    // that earlier ones decoded.
    const std::size_t split = in.byte() % (length + 1);
    kestrix::tools::DecodeMemo memo;
    // Rows with one memo row under one numbering had the same input (a null one included).
    std::map<std::pair<std::uint64_t, std::uint32_t>, std::optional<std::string_view>> memo_inputs;
    auto check_memo_rows = [&](const kestrix::tools::DecodedColumns& decoded, std::size_t first,
                               std::size_t count) {
        check(decoded.memo_rows.size() == count && decoded.memo_numbering != 0,
              "every row has its memo row");
        for (std::size_t row = 0; row < count; ++row) {
            const std::size_t index = offset + first + row;
            const bool valid_input = !with_validity || ((validity[index / 8] >> (index % 8)) & 1U);
            const std::optional<std::string_view> value =
                valid_input ? std::optional(std::string_view(
                                  values.data() + bounds[index],
                                  static_cast<std::size_t>(bounds[index + 1] - bounds[index])))
                            : std::nullopt;
            const auto [at, added] = memo_inputs.emplace(
                std::pair(decoded.memo_numbering, decoded.memo_rows[row]), value);
            check(added || at->second == value, "rows with one memo row had one input");
        }
    };
    struct Part {
        std::size_t first, count;
    };
    for (const Part part : {Part{0, split}, Part{split, length - split}, Part{0, split}}) {
        kestrix::tools::ArrowColumnInput piece = input;
        piece.offset = static_cast<std::int64_t>(offset + part.first);
        piece.length = static_cast<std::int64_t>(part.count);
        const auto decoded = kestrix::tools::decode_arrow_column(*registry, piece, choice, memo);
        if (broken) continue; // a clean failure or columns: both are sound
        check(decoded.has_value(), "buffers within the contract decode");
        check_rows(*decoded, part.first, part.count);
        check_memo_rows(*decoded, part.first, part.count);
    }
    return 0;
}
