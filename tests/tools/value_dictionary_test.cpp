#include "tools/value_dictionary.hpp"

#include <gtest/gtest.h>
#include <string>

namespace kestrix::tools {
namespace {

std::pair<std::uint32_t, bool> insert(ValueDictionary& dictionary, const std::string& value,
                                      std::uint64_t hash) {
    return dictionary.insert(reinterpret_cast<const std::uint8_t*>(value.data()), value.size(),
                             hash);
}

TEST(ValueDictionary, RepeatsFindTheirFirstEntry) {
    ValueDictionary dictionary(0);
    for (int i = 0; i < 5000; ++i) {
        std::string value = std::to_string(i % 100);
        value.insert(0, 1, 'v'); // not "v" + ...: g++ 12 warns wrongly on it (-Wrestrict)
        EXPECT_EQ(insert(dictionary, value, std::hash<int>{}(i % 100)),
                  std::make_pair(static_cast<std::uint32_t>(i % 100), i < 100));
    }
    EXPECT_EQ(dictionary.count(), 100U);
}

/// Values whose hashes all collide (crafted revert data can make them) cost a bounded probe
/// each: past the bound a value is added again rather than searched for, which a dictionary
/// page allows, so that encoding never turns quadratic.
TEST(ValueDictionary, CollidingValuesCostABoundedProbe) {
    ValueDictionary dictionary(0);
    constexpr std::uint64_t kSame = 0x1234'5678'9abc'def0ULL;
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(insert(dictionary, "value " + std::to_string(i), kSame).second);
    EXPECT_EQ(insert(dictionary, "value 0", kSame), std::make_pair(0U, false));
    const auto again = insert(dictionary, "value 39", kSame);
    EXPECT_TRUE(again.second);
    EXPECT_EQ(again.first, 40U);
    // Every entry, the repeated one too, is in the page as written.
    const std::vector<std::uint8_t>& plain = dictionary.plain();
    std::size_t at = 0;
    std::vector<std::string> entries;
    while (at < plain.size()) {
        const auto size = load_word<std::uint32_t>(plain.data() + at);
        entries.emplace_back(reinterpret_cast<const char*>(plain.data() + at + 4), size);
        at += 4 + size;
    }
    ASSERT_EQ(entries.size(), 41U);
    EXPECT_EQ(entries[39], "value 39");
    EXPECT_EQ(entries[40], "value 39");
}

} // namespace
} // namespace kestrix::tools
