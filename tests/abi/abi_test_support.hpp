#pragma once
// Helpers shared by the ABI unit tests.

#include "abi/types.hpp"

#include <cstddef>
#include <gtest/gtest.h>
#include <string>
#include <string_view>

namespace kestrix::abi::test_support {

inline std::string repeat(std::string_view piece, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += piece;
    return out;
}

/// The parsed type; a failed parse fails the test and yields a type no check expects.
inline AbiType parsed(std::string_view text) {
    auto type = parse_abi_type(text);
    EXPECT_TRUE(type.has_value()) << text << ": " << type.error().message;
    return type.value_or(AbiType{AbiKind::Function, 99, {}});
}

} // namespace kestrix::abi::test_support
