#include "evm/panic.hpp"

#include <gtest/gtest.h>

namespace kestrix::evm {
namespace {

TEST(PanicTable, TheTenCodes) {
    const std::pair<std::uint64_t, std::string_view> table[] = {
        {0x00, "generic compiler-inserted panic"},
        {0x01, "assert() called with false condition"},
        {0x11, "arithmetic overflow or underflow"},
        {0x12, "division or modulo by zero"},
        {0x21, "invalid enum value"},
        {0x22, "corrupted storage byte array"},
        {0x31, ".pop() on empty array"},
        {0x32, "out-of-bounds array access"},
        {0x41, "too much memory allocated (out of memory)"},
        {0x51, "called zero-initialized internal function pointer"},
    };
    for (const auto& [code, meaning] : table)
        EXPECT_EQ(panic_meaning(code), meaning) << code;
}

TEST(PanicTable, EveryOtherCodeIsUnknown) {
    for (const std::uint64_t code :
         {std::uint64_t{2}, std::uint64_t{0x10}, std::uint64_t{0x13}, std::uint64_t{0x52},
          std::uint64_t{0x100}, std::uint64_t{1} << 32, UINT64_MAX}) {
        EXPECT_EQ(panic_meaning(code), "unknown panic code") << code;
    }
}

TEST(PanicTable, SuggestionCodeTextHasAtLeastTwoDigits) {
    const std::pair<std::uint64_t, std::string_view> rows[] = {
        {0, "Solidity assert violation (panic code 0x00): generic compiler-inserted panic."},
        {1, "Solidity assert violation (panic code 0x01): assert() called with false condition."},
        {0x11, "Solidity assert violation (panic code 0x11): arithmetic overflow or underflow."},
        {2, "Solidity assert violation (panic code 0x02): unknown panic code."},
        {0x100, "Solidity assert violation (panic code 0x100): unknown panic code."},
        {0x1ff, "Solidity assert violation (panic code 0x1ff): unknown panic code."},
        {UINT64_MAX,
         "Solidity assert violation (panic code 0xffffffffffffffff): unknown panic code."},
    };
    for (const auto& [code, text] : rows)
        EXPECT_EQ(panic_suggestion(code, panic_meaning(code)), text);
}

} // namespace
} // namespace kestrix::evm
