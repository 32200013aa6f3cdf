#include "evm/unicode_lower.hpp"

#include "core/utf8.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

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

constexpr bool in_ranges(std::span<const CodeRange> ranges, char32_t cp) noexcept {
    const auto it = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                     [](char32_t c, const CodeRange& r) { return c < r.first; });
    return it != ranges.begin() && cp <= std::prev(it)->last;
}

constexpr bool is_case_ignorable(char32_t cp) noexcept {
    return in_ranges(kCaseIgnorable, cp);
}

constexpr bool is_cased(char32_t cp) noexcept {
    return in_ranges(kCased, cp);
}

/// The single-character lowercase of `cp` (itself when it has none).
constexpr char32_t simple_lower(char32_t cp) noexcept {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    const std::span<const LowerRun> runs(kLowerRuns);
    const auto it = std::upper_bound(runs.begin(), runs.end(), cp,
                                     [](char32_t c, const LowerRun& r) { return c < r.first; });
    if (it == runs.begin()) return cp;
    const LowerRun& run = *std::prev(it);
    if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
    return static_cast<char32_t>(static_cast<std::int64_t>(cp) + run.delta);
}

/// How a character takes part in Final_Sigma: cased, case-ignorable, or neither.
enum class SigmaClass : std::uint8_t { Other, Cased, Ignorable };

constexpr SigmaClass sigma_class(char32_t cp) noexcept {
    if (is_case_ignorable(cp)) return SigmaClass::Ignorable;
    if (is_cased(cp)) return SigmaClass::Cased;
    return SigmaClass::Other;
}

/// The lowercase and the Final_Sigma class of every ASCII character, so that ASCII text, the
/// usual revert reason, never reaches the range searches.
struct AsciiEntry {
    char lower;
    SigmaClass sigma;
};

constexpr std::array<AsciiEntry, 128> kAscii = [] {
    std::array<AsciiEntry, 128> table{};
    for (char32_t cp = 0; cp < 128; ++cp) {
        table[cp] = {static_cast<char>(simple_lower(cp)), sigma_class(cp)};
    }
    return table;
}();

/// Whether the first character at or after `pos` that is not case-ignorable is cased.
bool cased_follows(std::string_view text, std::size_t pos) noexcept {
    while (pos < text.size()) {
        const core::Utf8Scalar d = decode_or_raw(text, pos);
        const SigmaClass sigma = sigma_class(d.code_point);
        if (sigma != SigmaClass::Ignorable) return sigma == SigmaClass::Cased;
        pos += d.length;
    }
    return false;
}

} // namespace

std::string unicode_lower(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    // Final_Sigma looks back past case-ignorable characters to the nearest other one; carrying
    // whether that one was cased replaces the look-back, and the text is read only once.
    bool cased_before = false;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[pos]);
        if (byte < 0x80) {
            const AsciiEntry entry = kAscii[byte];
            out.push_back(entry.lower);
            if (entry.sigma != SigmaClass::Ignorable)
                cased_before = entry.sigma == SigmaClass::Cased;
            ++pos;
            continue;
        }
        const core::Utf8Scalar d = decode_or_raw(utf8, pos);
        const char32_t cp = d.code_point;
        pos += d.length;
        const SigmaClass sigma = sigma_class(cp);
        if (cp == kCapitalSigma) {
            // Final when a cased character precedes it and none follows it (as str.lower).
            const bool final = cased_before && !cased_follows(utf8, pos);
            core::append_utf8(out, final ? kSmallFinalSigma : kSmallSigma);
        } else if (const auto special =
                       std::find_if(std::begin(kSpecialLower), std::end(kSpecialLower),
                                    [cp](const SpecialLower& s) { return s.code_point == cp; });
                   special != std::end(kSpecialLower)) {
            out.append(special->utf8);
        } else {
            append_char(out, simple_lower(cp));
        }
        if (sigma != SigmaClass::Ignorable) cased_before = sigma == SigmaClass::Cased;
    }
    return out;
}

} // namespace kestrix::evm
