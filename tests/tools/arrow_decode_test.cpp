#include "core/registry.hpp"
#include "tools/arrow_decode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrix::tools {
namespace {

/// A string column of `values` as its Arrow buffers, `null` rows null.
struct TextColumn {
    std::vector<std::uint8_t> validity;
    std::vector<std::uint8_t> offsets;
    std::string data;
    std::size_t rows = 0;

    TextColumn(const std::vector<std::string>& values, const std::vector<bool>& null = {}) {
        rows = values.size();
        validity.assign((rows + 7) / 8, 0);
        std::int32_t at = 0;
        offsets.resize(4 * (rows + 1));
        std::memcpy(offsets.data(), &at, 4);
        for (std::size_t row = 0; row < rows; ++row) {
            const bool is_null = row < null.size() && null[row];
            if (!is_null) {
                validity[row / 8] |= static_cast<std::uint8_t>(1U << (row % 8));
                data += values[row];
            }
            at = static_cast<std::int32_t>(data.size());
            std::memcpy(offsets.data() + 4 * (row + 1), &at, 4);
        }
    }

    [[nodiscard]] ArrowColumnInput input() const {
        ArrowColumnInput in;
        in.length = static_cast<std::int64_t>(rows);
        in.validity = validity;
        in.offsets = offsets;
        in.data = {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
        return in;
    }
};

std::string text_at(const ArrowColumnOutput& column, std::size_t row) {
    const auto start = static_cast<std::size_t>(column.offsets[row]);
    return column.data.substr(start, static_cast<std::size_t>(column.offsets[row + 1]) - start);
}

const std::string kPanic = "0x4e487b71" + std::string(62, '0') + "11";
const std::string kString = "0x08c379a0" + std::string(62, '0') + "20" + std::string(62, '0') +
                            "02" + "4869" + std::string(60, '0');

TEST(DecodeMemo, LaterBatchesDecodeOnlyNewRows) {
    const auto builtins = core::BuiltinErrorRegistry::build();
    DecodeMemo memo;
    ColumnChoice choice;
    choice.error = true;
    choice.root_cause = true;
    const TextColumn first({kPanic, kString, kPanic, "0xzz", ""},
                           {false, false, false, false, true});
    auto one = decode_arrow_column(*builtins, first.input(), choice, memo);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(memo.rows(), 4U);
    const TextColumn second({kString, "0x", kPanic, "0xzz"});
    auto two = decode_arrow_column(*builtins, second.input(), choice, memo);
    ASSERT_TRUE(two.has_value());
    EXPECT_EQ(memo.rows(), 5U);
    const auto& kind = two->columns[static_cast<std::size_t>(ResultColumn::Kind)];
    EXPECT_EQ(text_at(kind, 0), "revert_string");
    EXPECT_EQ(text_at(kind, 1), "empty");
    EXPECT_EQ(text_at(kind, 2), "panic");
}

/// Rows kept for one choice of columns, or one kind of input, are not served to another: the
/// memo starts afresh, and what each decode gives is its own.
TEST(DecodeMemo, StartsAfreshForAnotherChoiceOrInput) {
    const auto builtins = core::BuiltinErrorRegistry::build();
    DecodeMemo memo;
    ColumnChoice with_error;
    with_error.error = true;
    const TextColumn text({kPanic, "0xzz", kPanic});
    ASSERT_TRUE(decode_arrow_column(*builtins, text.input(), with_error, memo).has_value());
    EXPECT_EQ(memo.rows(), 2U);
    // Without the error column a row that is not hexadecimal is null, with no error text kept.
    const auto plain = decode_arrow_column(*builtins, text.input(), ColumnChoice{}, memo);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->rows.null_count, 1);
    EXPECT_TRUE(plain->columns[static_cast<std::size_t>(ResultColumn::Error)].offsets.empty());
    // The same bytes as a binary column are other revert data: "0xzz" is four raw bytes.
    ArrowColumnInput binary = text.input();
    binary.binary = true;
    const auto raw = decode_arrow_column(*builtins, binary, ColumnChoice{}, memo);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->rows.null_count, 0);
    EXPECT_EQ(text_at(raw->columns[static_cast<std::size_t>(ResultColumn::Kind)], 1), "raw_revert");
    EXPECT_FALSE(raw->raw_repeats_input);
}

/// A memo keeps a bounded number of rows: a long stream of distinct reverts starts it afresh
/// rather than growing it.
TEST(DecodeMemo, DistinctRowsDoNotGrowItWithoutBound) {
    const auto builtins = core::BuiltinErrorRegistry::build();
    DecodeMemo memo;
    std::size_t most = 0;
    for (int batch = 0; batch < 12; ++batch) {
        std::vector<std::string> values;
        for (int row = 0; row < 4096; ++row) {
            char word[9];
            std::snprintf(word, sizeof word, "%08x", batch * 4096 + row);
            values.push_back(std::string("0x") + word + (row % 2 ? word : ""));
        }
        values.push_back(values.front()); // one repeat: the memo is kept
        const TextColumn column(values);
        ASSERT_TRUE(decode_arrow_column(*builtins, column.input(), ColumnChoice{}, memo));
        most = std::max(most, memo.rows());
    }
    EXPECT_LE(most, std::size_t{1} << 15);
    EXPECT_GT(most, 4096U);
}

} // namespace
} // namespace kestrix::tools
