#include "evm/unicode_lower.hpp"

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

/// One decoded character: its code point, or a raw byte that was not valid UTF-8.
struct Decoded {
    char32_t code_point;
    std::size_t length;
};

/// Decodes one strict UTF-8 sequence at `in[0]` (in is not empty). Overlong forms,
/// surrogates and values past U+10FFFF are invalid; an invalid lead byte is one raw byte.
Decoded decode_one(std::span<const std::uint8_t> in) noexcept {
    const std::uint8_t lead = in[0];
    const auto raw = Decoded{kRawByteBase + lead, 1};
    if (lead < 0x80) return {lead, 1};

    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07u, minimum = 0x10000;
    } else {
        return raw;
    }
    if (in.size() < length) return raw;
    for (std::size_t i = 1; i < length; ++i) {
        if ((in[i] & 0xC0u) != 0x80u) return raw;
        cp = (cp << 6) | (in[i] & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return raw;
    return {cp, length};
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp >= kRawByteBase) {
        out.push_back(static_cast<char>(cp - kRawByteBase));
    } else if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
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
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(utf8.data()),
                                              utf8.size());
    std::vector<char32_t> text;
    text.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        const Decoded d = decode_one(bytes.subspan(pos));
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
            append_utf8(out, lower_capital_sigma(text, i));
            continue;
        }
        const auto special =
            std::find_if(std::begin(kSpecialLower), std::end(kSpecialLower),
                         [cp](const SpecialLower& s) { return s.code_point == cp; });
        if (special != std::end(kSpecialLower)) {
            out.append(special->utf8);
            continue;
        }
        append_utf8(out, cp >= kRawByteBase ? cp : simple_lower(cp));
    }
    return out;
}

} // namespace kestrix::evm
