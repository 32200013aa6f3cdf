// Every allocation point of the core's entry points, failed one at a time through a counting
// operator new: each failure ends the call with std::bad_alloc (or the decoder's documented
// Reserve failure), never with a different result; nothing the call made stays allocated; and
// the next call gives the normal result again.

#include "abi/decode.hpp"
#include "abi/types.hpp"
#include "abi/utf8.hpp"
#include "core/context.hpp"
#include "core/registry.hpp"
#include "evm/pipeline.hpp"
#include "evm/unicode_lower.hpp"
#include "failing_new.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <vector>

namespace kestrix {
namespace {

using core::Bytes;

/// Allocation points swept by the current test; each test reports its own count.
std::size_t total_points = 0;

class AllocationFailure : public ::testing::Test {
protected:
    void SetUp() override { total_points = 0; }
    void TearDown() override {
        std::printf("allocation points swept: %zu\n", total_points);
        RecordProperty("allocation_points", static_cast<int>(total_points));
    }
};

Bytes hex_bytes(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string word(std::uint64_t value) {
    std::string hex(64, '0');
    for (std::size_t i = 0; i < 16; ++i)
        hex[63 - i] = "0123456789abcdef"[(value >> (4 * i)) & 0xF];
    return hex;
}

/// How a run with one failing allocation ended.
enum class Ending { Normal, Threw, Documented, Different };

/// Sweeps `call`, whose normal result is compared with `==`; `documented` says whether a
/// result is the failure value the entry point documents for a failed allocation.
template <class Call, class Documented>
void sweep(std::string_view name, Call call, Documented documented) {
    SCOPED_TRACE(name);
    const auto expected = call();
    Ending ending = Ending::Normal;
    std::size_t before = 0;
    const std::size_t points = kestrix::testing::sweep_allocations(
        [&] {
            before = kestrix::testing::live_blocks();
            try {
                const auto result = call();
                ending = result == expected   ? Ending::Normal
                         : documented(result) ? Ending::Documented
                                              : Ending::Different;
            } catch (const std::bad_alloc&) {
                ending = Ending::Threw;
            }
        },
        [&](std::size_t n, bool failed) {
            if (!failed) return;
            // Read before any expectation: a failed one makes the test framework allocate.
            const std::size_t live = kestrix::testing::live_blocks();
            EXPECT_NE(ending, Ending::Different) << "allocation " << n;
            EXPECT_EQ(live, before) << "allocation " << n << " leaked";
            EXPECT_TRUE(call() == expected) << "after allocation " << n;
        });
    total_points += points;
}

template <class Call>
void sweep(std::string_view name, Call call) {
    sweep(name, call, [](const auto&) { return false; });
}

const core::RegistryHandle& registry() {
    static const core::RegistryHandle handle = core::BuiltinErrorRegistry::build();
    return handle;
}

TEST_F(AllocationFailure, RegistryBuild) {
    sweep("BuiltinErrorRegistry::build", [] { return core::BuiltinErrorRegistry::build()->len(); });
}

TEST_F(AllocationFailure, DecodeRevertOnEveryKind) {
    // "Ownable: caller is not the owner", encoded by eth-abi.
    const std::string reason =
        word(32) + word(32) + "4f776e61626c653a2063616c6c6572206973206e6f7420746865206f776e6572";
    core::ErrorContext context;
    context.chain = "ethereum";
    context.tx_hash = std::string(66, 'a');
    const std::pair<std::string_view, std::string> rows[] = {
        {"empty", ""},
        {"short", "0102"},
        {"revert string", "08c379a0" + reason},
        {"panic", "4e487b71" + word(0x11)},
        {"custom error", "e450d38c" + word(0x1234) + word(1000) + word(2000)},
        {"custom error without parameters", "3ee5aeb5"},
        {"known selector, short arguments", "e450d38c" + word(1)},
        {"raw", "deadbeef" + word(7)},
    };
    for (const auto& [name, hex] : rows) {
        const Bytes data = hex_bytes(hex);
        sweep(name, [&] { return evm::decode_revert(*registry(), data, std::nullopt); });
        sweep(name, [&] { return evm::decode_revert(*registry(), data, context); });
    }
}

TEST_F(AllocationFailure, ContextReading) {
    for (const std::string_view json :
         {R"({"chain":"ethereum","tx_hash":"0xab","contract_address":"0x5b38",)"
          R"("call_selector":"0xa9059cbb","block_number":"17000000","other":[1,{"x":null}]})",
          R"({"block_number": -1})", R"({"chain": "\ud83d\ude00 \u00e9"})", "[1]", "{"}) {
        sweep(json, [&] { return core::parse_error_context(json); });
    }
}

TEST_F(AllocationFailure, AbiTypeParsing) {
    for (const std::string_view text :
         {"(uint256,(address,bytes32)[],string)[2]", "uint7", "(uint256,", "Lib.Enum[]"}) {
        sweep(text, [&] {
            const auto parsed = abi::parse_abi_type(text);
            return parsed ? std::string("ok") : parsed.error().message;
        });
    }
}

TEST_F(AllocationFailure, AbiDecoding) {
    const auto type = abi::parse_abi_type("(uint256[],string,(bool,bytes)[2])");
    ASSERT_TRUE(type);
    // ([1, 2, 3], "hello", [(true, 0xabcd), (false, "")]), encoded by eth-abi.
    const Bytes data = hex_bytes(word(0x60) + word(0xe0) + word(0x120) + word(3) + word(1) +
                                 word(2) + word(3) + word(5) + "68656c6c6f" + std::string(54, '0') +
                                 word(0x40) + word(0xc0) + word(1) + word(0x40) + word(2) + "abcd" +
                                 std::string(60, '0') + word(0) + word(0x40) + word(0));
    const auto shape = [](const std::expected<abi::AbiValue, abi::AbiDecodeFailure>& value) {
        return value ? std::string("ok") : std::to_string(static_cast<int>(value.error().kind));
    };
    const auto reserve = [](const std::string& ending) {
        return ending == std::to_string(static_cast<int>(abi::AbiDecodeFailureKind::Reserve));
    };
    sweep(
        "decode_abi_params", [&] { return shape(abi::decode_abi_params(type->children, data)); },
        reserve);
    const auto& strings = type->children[1];
    sweep("decode_abi_value", [&] { return shape(abi::decode_abi_value(strings, data)); }, reserve);
}

TEST_F(AllocationFailure, TextForms) {
    const std::string text = "ΣΑΣ İNSUFFICIENT \xff balance";
    sweep("utf8_replace_invalid", [&] {
        return abi::utf8_replace_invalid(
            {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    });
    sweep("unicode_lower", [&] { return evm::unicode_lower("ΣΑΣ İNSUFFICIENT Balance"); });
}

} // namespace
} // namespace kestrix
