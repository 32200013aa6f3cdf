#include "abi/text_forms.hpp"
#include "abi/utf8.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrix::abi {
namespace {

constexpr std::uint64_t kAll = ~0ULL;

U256 value(std::uint64_t l3, std::uint64_t l2, std::uint64_t l1, std::uint64_t l0) {
    return U256{{l0, l1, l2, l3}};
}

TEST(TextForms, UnsignedDecimalAtTheBoundaries) {
    const struct {
        U256 v;
        const char* text;
    } cases[] = {
        {U256{}, "0"},
        {U256::from_u64(1), "1"},
        {U256::from_u64(1'000'000'000), "1000000000"},
        {U256::from_u64(kAll), "18446744073709551615"},
        {value(0, 0, kAll, kAll), "340282366920938463463374607431768211455"},
        {value(0, 1, 0, 0), "340282366920938463463374607431768211456"},
        {value(1ULL << 63, 0, 0, 0),
         "57896044618658097711785492504343953926634992332820282019728792003956564819968"},
        {value(kAll, kAll, kAll, kAll),
         "115792089237316195423570985008687907853269984665640564039457584007913129639935"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_uint_decimal(c.v), c.text);
}

TEST(TextForms, SignedDecimalAtTheBoundaries) {
    const struct {
        U256 v;
        const char* text;
    } cases[] = {
        {U256{}, "0"},
        {U256::from_u64(1), "1"},
        {value(kAll, kAll, kAll, kAll), "-1"},
        {value(kAll, kAll, 1ULL << 63, 0), "-170141183460469231731687303715884105728"},
        {value(1ULL << 63, 0, 0, 0),
         "-57896044618658097711785492504343953926634992332820282019728792003956564819968"},
        {value(kAll >> 1, kAll, kAll, kAll),
         "57896044618658097711785492504343953926634992332820282019728792003956564819967"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_int_decimal(c.v), c.text);
}

TEST(TextForms, AddressIsLowercaseHex) {
    std::array<std::uint8_t, 20> address{};
    address.fill(0xAB);
    std::string want = "0x";
    for (int i = 0; i < 20; ++i)
        want += "ab";
    EXPECT_EQ(format_address_hex(address), want);
    address.fill(0);
    address[19] = 0x0F;
    EXPECT_EQ(format_address_hex(address), "0x000000000000000000000000000000000000000f");
}

std::string replaced(std::initializer_list<int> bytes) {
    std::vector<std::uint8_t> raw;
    for (const int b : bytes)
        raw.push_back(static_cast<std::uint8_t>(b));
    return utf8_replace_invalid(raw);
}

TEST(Utf8, MaximalSubpartsBecomeOneReplacementEach) {
    const std::string r = "\xEF\xBF\xBD";
    const struct {
        std::initializer_list<int> in;
        std::string out;
    } cases[] = {
        {{}, ""},
        {{'a', 0xC3, 0xA9}, "a\xC3\xA9"},
        {{0xF0, 0x9F, 0x98, 0x80}, "\xF0\x9F\x98\x80"},
        {{0xF4, 0x8F, 0xBF, 0xBF}, "\xF4\x8F\xBF\xBF"}, // U+10FFFF
        {{0xFF}, r},
        {{0x80, 0xBF}, r + r},                     // lone continuations
        {{0xC0, 0xAF}, r + r},                     // overlong lead
        {{0xE0, 0x80, 0xAF}, r + r + r},           // overlong second byte
        {{0xED, 0xA0, 0x80}, r + r + r},           // surrogate
        {{0xF4, 0x90, 0x80, 0x80}, r + r + r + r}, // above U+10FFFF
        {{0xF5, 0x80}, r + r},
        {{0xE2, 0x82}, r},            // truncated at the end
        {{0xE2, 0x82, 'x'}, r + "x"}, // truncated in the middle
        {{0xF0, 0x9F, 0x98, 'x', 0xF0, 0x9F}, r + "x" + r},
        {{0xED, 0x9F, 0xBF}, "\xED\x9F\xBF"}, // U+D7FF
        {{0xEE, 0x80, 0x80}, "\xEE\x80\x80"}, // U+E000
        {{0x00, 0xC2}, std::string(1, '\0') + r},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replaced(c.in), c.out);
}

} // namespace
} // namespace kestrix::abi
