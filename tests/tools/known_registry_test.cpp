#include "abi/decode.hpp"
#include "core/reason_table.hpp"
#include "core/selector.hpp"
#include "evm/pipeline.hpp"
#include "tools/known_registry.hpp"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace kestrix::tools {
namespace {

using Match = core::ReasonTable::Match;

TEST(ReasonTable, ExactBeforeTheLongestPrefix) {
    core::ReasonTable table;
    table.add(core::ReasonScope::RevertString, Match::Prefix, "AB", "short");
    table.add(core::ReasonScope::RevertString, Match::Prefix, "ABC", "long");
    table.add(core::ReasonScope::RevertString, Match::Exact, "ABCD", "exact");
    table.add(core::ReasonScope::RevertString, Match::Exact, "ABCD", "ignored");
    table.add(core::ReasonScope::FailedOp, Match::Prefix, "A", "other scope");
    const struct {
        std::string_view text;
        std::optional<std::string_view> want;
    } cases[] = {{"ABCD", "exact"}, {"ABCDE", "long"},   {"ABC", "long"},
                 {"ABX", "short"},  {"A", std::nullopt}, {"", std::nullopt}};
    for (const auto& c : cases)
        EXPECT_EQ(table.lookup(core::ReasonScope::RevertString, c.text), c.want) << c.text;
    EXPECT_EQ(table.size(), 4u);
}

/// The compact line of a signature with its names and hint.
std::string line(std::string_view signature, std::string_view names, std::string_view hint) {
    return core::selector_hex(core::selector_of(signature)) + "\t" + std::string(signature) + "\t" +
           std::string(names) + "\t" + std::string(hint) + "\tProject\n";
}

TEST(KnownRegistry, MalformedLinesArePassedOverAndLookupsAreSafeAcrossThreads) {
    std::string text = "not a line\n" + line("Bad(uint7)", "x", "") +
                       line("Wrong(uint256)", "a,b(c", "") +
                       line("Fine(uint256,(bool,bytes)[])", "amount,items(ok,data)", "tab\\there");
    // A line whose selector does not belong to its signature.
    text += "00000000\tFine(uint256)\tx\t\tProject\n";
    auto built = build_known_registry(text, "E\tR\tSTF\tmeaning\nX\tR\tbad\tline\n");
    ASSERT_TRUE(built);
    const core::ErrorRegistry& registry = **built;
    ASSERT_NE(registry.reason_table(), nullptr);
    EXPECT_EQ(registry.reason_table()->size(), 1u);

    const auto find = [&](std::string_view signature) -> const core::RegisteredError* {
        return registry.find_candidate(core::selector_of(signature),
                                       [](const core::RegisteredError&) { return true; });
    };
    std::vector<std::thread> threads;
    std::vector<const core::RegisteredError*> seen(4);
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = find("Fine(uint256,(bool,bytes)[])"); });
    for (auto& t : threads)
        t.join();
    ASSERT_NE(seen[0], nullptr);
    for (const auto* s : seen)
        EXPECT_EQ(s, seen[0]);
    const core::ErrorSignature& fine = seen[0]->signature;
    EXPECT_EQ(fine.params[1].components[1].name, "data");
    EXPECT_EQ(fine.suggestion, "tab\there");
    EXPECT_FLOAT_EQ(seen[0]->confidence, kKnownConfidence);
    EXPECT_EQ(find("Bad(uint7)"), nullptr);
    // Names that do not fit the parameters are dropped, the entry kept.
    const auto* wrong = find("Wrong(uint256)");
    ASSERT_NE(wrong, nullptr);
    EXPECT_EQ(wrong->signature.params[0].name, "");
    EXPECT_EQ(find("Fine(uint256)"), nullptr);
}

TEST(ExactEncoding, ZeroSizedAndEmptyParameterLists) {
    const auto types = [](std::string_view text) {
        return abi::parse_abi_type(text).value().children;
    };
    const std::vector<std::uint8_t> none;
    const std::vector<std::uint8_t> word(32, 0);
    EXPECT_TRUE(abi::is_exact_encoding(types("()"), none));
    EXPECT_FALSE(abi::is_exact_encoding(types("()"), word));
    EXPECT_TRUE(abi::is_exact_encoding(types("(()[2])"), none));
    // An empty dynamic array: its offset word and a zero count.
    std::vector<std::uint8_t> empty(64, 0);
    empty[31] = 0x20;
    EXPECT_TRUE(abi::is_exact_encoding(types("(()[])"), empty));
    EXPECT_FALSE(abi::is_exact_encoding(types("(()[])"), word));
}

} // namespace
} // namespace kestrix::tools
