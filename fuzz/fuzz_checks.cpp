#include "fuzz_checks.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace kestrix::fuzz {

void check(bool holds, std::string_view invariant, std::source_location where) {
    if (holds) return;
    std::fprintf(stderr, "%s:%u: invariant failed: %.*s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<int>(invariant.size()),
                 invariant.data());
    std::abort();
}

bool is_valid_utf8(std::string_view text) noexcept {
    auto in = [](unsigned char byte, unsigned char low, unsigned char high) {
        return byte >= low && byte <= high;
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned char second_low = 0x80;
        unsigned char second_high = 0xBF;
        if (lead <= 0x7F) {
            length = 1;
        } else if (in(lead, 0xC2, 0xDF)) {
            length = 2;
        } else if (in(lead, 0xE0, 0xEF)) {
            length = 3;
            if (lead == 0xE0) second_low = 0xA0;
            if (lead == 0xED) second_high = 0x9F;
        } else if (in(lead, 0xF0, 0xF4)) {
            length = 4;
            if (lead == 0xF0) second_low = 0x90;
            if (lead == 0xF4) second_high = 0x8F;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if (k == 1 ? !in(byte, second_low, second_high) : !in(byte, 0x80, 0xBF)) return false;
        }
        i += length;
    }
    return true;
}

namespace {

/// A recursive-descent JSON recogniser over a cursor; nesting is capped so that hostile depth
/// cannot exhaust the stack of the checker itself.
class JsonRecogniser {
public:
    explicit JsonRecogniser(std::string_view text) noexcept : text_(text) {}

    bool whole() noexcept {
        skip_space();
        if (!value(0)) return false;
        skip_space();
        return at_ == text_.size();
    }

private:
    static constexpr int kMaxDepth = 512;

    [[nodiscard]] bool more() const noexcept { return at_ < text_.size(); }
    [[nodiscard]] char peek() const noexcept { return text_[at_]; }
    bool eat(char c) noexcept {
        if (!more() || peek() != c) return false;
        ++at_;
        return true;
    }
    void skip_space() noexcept {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++at_;
    }
    bool literal(std::string_view word) noexcept {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }
    bool digits() noexcept {
        const std::size_t start = at_;
        while (more() && peek() >= '0' && peek() <= '9')
            ++at_;
        return at_ > start;
    }
    bool number() noexcept {
        eat('-');
        if (!eat('0') && !digits()) return false;
        if (eat('.') && !digits()) return false;
        if (more() && (peek() == 'e' || peek() == 'E')) {
            ++at_;
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        return true;
    }
    bool string() noexcept {
        if (!eat('"')) return false;
        const std::size_t start = at_;
        while (more()) {
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"') {
                const bool valid = is_valid_utf8(text_.substr(start, at_ - start));
                ++at_;
                return valid;
            }
            if (c < 0x20) return false;
            ++at_;
            if (c != '\\') continue;
            if (!more()) return false;
            const char escape = peek();
            ++at_;
            if (escape == 'u') {
                for (int k = 0; k < 4; ++k) {
                    if (!more() || !std::isxdigit(static_cast<unsigned char>(peek()))) return false;
                    ++at_;
                }
            } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }
    bool value(int depth) noexcept {
        if (depth > kMaxDepth || !more()) return false;
        switch (peek()) {
        case '{':
            ++at_;
            skip_space();
            if (eat('}')) return true;
            do {
                skip_space();
                if (!string()) return false;
                skip_space();
                if (!eat(':')) return false;
                skip_space();
                if (!value(depth + 1)) return false;
                skip_space();
            } while (eat(','));
            return eat('}');
        case '[':
            ++at_;
            skip_space();
            if (eat(']')) return true;
            do {
                skip_space();
                if (!value(depth + 1)) return false;
                skip_space();
            } while (eat(','));
            return eat(']');
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

} // namespace

bool is_json(std::string_view text) noexcept {
    return JsonRecogniser(text).whole();
}

} // namespace kestrix::fuzz
