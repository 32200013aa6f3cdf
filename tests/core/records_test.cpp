#include "core/records.hpp"

#include <gtest/gtest.h>

namespace kestrix::core {
namespace {

// Only out-of-gas and contract-not-deployed carry a fixed display message; the others have
// theirs in the record.
TEST(Records, DisplayMessages) {
    EXPECT_EQ(kind_display_message(OutOfGas{}), "out of gas");
    EXPECT_EQ(kind_display_message(ContractNotDeployed{}), "contract not deployed");
    EXPECT_EQ(kind_display_message(RawRevert{"none", {1}}), std::nullopt);
    EXPECT_EQ((CoreError{CoreErrorKind::AbiDecode, "bad"}).display(), "ABI decode failed: bad");
    EXPECT_EQ((CoreError{CoreErrorKind::InvalidRevertData, "x"}).display(),
              "Invalid revert data: x");
    EXPECT_EQ((CoreError{CoreErrorKind::UnsupportedChain, ""}).display(), "Unsupported chain: ");
    EXPECT_EQ((CoreError{CoreErrorKind::RegistryLookup, "y"}).display(),
              "Registry lookup failed: y");
    EXPECT_EQ((CoreError{CoreErrorKind::Other, "plain"}).display(), "plain");
}

} // namespace
} // namespace kestrix::core
