#include "evm/unicode_lower.hpp"

#include "core/utf8.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrix::evm {

namespace {

/// Code points first..last, every `stride`-th one, lowercase to code point + delta.
struct LowerRun {
    char32_t first;
    char32_t last;
    std::uint8_t stride;
    std::int32_t delta;
};

/// A code point whose lowercase is several characters, as UTF-8.
struct SpecialLower {
    char32_t code_point;
    std::string_view utf8;
};

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "evm/lowercase_table.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kSmallFinalSigma = 0x03C2;

/// Invalid input bytes are carried as kRawByteBase + byte: outside Unicode, so they are
/// neither cased nor case-ignorable, and are written back unchanged.
constexpr char32_t kRawByteBase = 0x110000;

/// The code point at `text[pos]`, or kRawByteBase + byte for a byte that does not start a
/// well-formed sequence; and the bytes it took.
core::Utf8Scalar decode_or_raw(std::string_view text, std::size_t pos) noexcept {
    const core::Utf8Scalar scalar = core::decode_utf8_scalar(text, pos);
    if (scalar.length != 0) return scalar;
    return {kRawByteBase + static_cast<std::uint8_t>(text[pos]), 1};
}

/// Appends a code point, or the raw byte it carries.
void append_char(std::string& out, char32_t cp) {
    if (cp >= kRawByteBase) {
        out.push_back(static_cast<char>(cp - kRawByteBase));
    } else {
        core::append_utf8(out, cp);
    }
}

bool in_ranges(std::span<const CodeRange> ranges, char32_t cp) noexcept {
    const auto it = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                     [](char32_t c, const CodeRange& r) { return c < r.first; });
    return it != ranges.begin() && cp <= std::prev(it)->last;
}

bool is_case_ignorable(char32_t cp) noexcept {
    return in_ranges(kCaseIgnorable, cp);
}

bool is_cased(char32_t cp) noexcept {
    return in_ranges(kCased, cp);
}

/// The single-character lowercase of `cp` (itself when it has none).
char32_t simple_lower(char32_t cp) noexcept {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    const std::span<const LowerRun> runs(kLowerRuns);
    const auto it = std::upper_bound(runs.begin(), runs.end(), cp,
                                     [](char32_t c, const LowerRun& r) { return c < r.first; });
    if (it == runs.begin()) return cp;
    const LowerRun& run = *std::prev(it);
    if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
    return static_cast<char32_t>(static_cast<std::int64_t>(cp) + run.delta);
}

/// U+03A3 at index i becomes final sigma when a cased character precedes it and none
/// follows it, skipping case-ignorable characters both ways (Final_Sigma, as str.lower).
char32_t lower_capital_sigma(std::span<const char32_t> text, std::size_t i) noexcept {
    std::size_t j = i;
    while (j > 0 && is_case_ignorable(text[j - 1]))
        --j;
    if (j == 0 || !is_cased(text[j - 1])) return kSmallSigma;
    j = i + 1;
    while (j < text.size() && is_case_ignorable(text[j]))
        ++j;
    if (j < text.size() && is_cased(text[j])) return kSmallSigma;
    return kSmallFinalSigma;
}

} // namespace

std::string unicode_lower(std::string_view utf8) {
    std::vector<char32_t> text;
    text.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const core::Utf8Scalar d = decode_or_raw(utf8, pos);
        text.push_back(d.code_point);
        pos += d.length;
    }

    std::string out;
    out.reserve(utf8.size() + utf8.size() / 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t cp = text[i];
        if (cp < 0x80) {
            out.push_back(static_cast<char>(simple_lower(cp)));
            continue;
        }
        if (cp == kCapitalSigma) {
            core::append_utf8(out, lower_capital_sigma(text, i));
            continue;
        }
        const auto special =
            std::find_if(std::begin(kSpecialLower), std::end(kSpecialLower),
                         [cp](const SpecialLower& s) { return s.code_point == cp; });
        if (special != std::end(kSpecialLower)) {
            out.append(special->utf8);
            continue;
        }
        append_char(out, simple_lower(cp));
    }
    return out;
}

} // namespace kestrix::evm
