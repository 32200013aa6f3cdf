#include "evm/panic.hpp"

#include <gtest/gtest.h>

namespace kestrix::evm {
namespace {

TEST(PanicTable, MeaningsAndSuggestionText) {
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
    for (const std::uint64_t code : {0x02ULL, 0x10ULL, 0x13ULL, 0x52ULL, 0x100ULL, 1ULL << 32})
        EXPECT_EQ(panic_meaning(code), "unknown panic code") << code;
    // The code is printed in lowercase hex with at least two digits.
    EXPECT_EQ(panic_suggestion(0, "m"), "Solidity assert violation (panic code 0x00): m.");
    EXPECT_EQ(panic_suggestion(0x1ff, "m"), "Solidity assert violation (panic code 0x1ff): m.");
    EXPECT_EQ(panic_suggestion(UINT64_MAX, panic_meaning(UINT64_MAX)),
              "Solidity assert violation (panic code 0xffffffffffffffff): unknown panic code.");
}

} // namespace
} // namespace kestrix::evm
