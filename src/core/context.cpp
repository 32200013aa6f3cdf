#include "core/context.hpp"

#include "core/utf8.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrix::core {

namespace {

/// Containers nested deeper than this are refused, so that hostile input cannot exhaust the
/// stack of the recursive reader. The top-level object counts as the first level.
constexpr std::size_t kMaxDepth = 128;

/// The longest decimal text of a 64-bit unsigned value (18446744073709551615).
constexpr std::size_t kMaxU64Digits = 20;

enum class Field : std::uint8_t { Chain, TxHash, ContractAddress, CallSelector, BlockNumber };

constexpr std::array<std::string_view, 5> kFieldNames = {"chain", "tx_hash", "contract_address",
                                                         "call_selector", "block_number"};

std::optional<Field> field_of(std::string_view key) noexcept {
    for (std::size_t i = 0; i < kFieldNames.size(); ++i) {
        if (key == kFieldNames[i]) return static_cast<Field>(i);
    }
    return std::nullopt;
}

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// `text` as a double-quoted string literal for a message: quotes, backslashes and control
/// characters escaped, everything else (valid UTF-8) kept as it is.
std::string quoted(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (const char c : text) {
        switch (c) {
        case '"':
            out.append("\\\"");
            continue;
        case '\\':
            out.append("\\\\");
            continue;
        case '\n':
            out.append("\\n");
            continue;
        case '\r':
            out.append("\\r");
            continue;
        case '\t':
            out.append("\\t");
            continue;
        case '\0':
            out.append("\\0");
            continue;
        default:
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out.append("\\u{");
            if (byte >= 0x10) out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0xf]);
            out.push_back('}');
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

/// The value of a block number given as text: 1 to 20 ASCII digits that fit in 64 bits.
std::optional<std::uint64_t> decimal_u64(std::string_view text) noexcept {
    if (text.empty() || text.size() > kMaxU64Digits) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

/// A JSON number as read: its text, whether it is an integer literal (no fraction or
/// exponent), and for integers its magnitude when that fits in 64 bits.
struct Number {
    std::string_view text;
    bool negative = false;
    bool integral = true;
    bool overflow = false;
    std::uint64_t magnitude = 0;
};

/// A one-pass reader over the JSON text. Every step returns false after recording the first
/// failure, with the line and column at which it was found.
class ContextReader {
public:
    explicit ContextReader(std::string_view text) noexcept : text_(text) {}

    std::expected<ErrorContext, std::string> read() {
        if (!read_top()) return std::unexpected(std::move(error_));
        return std::move(context_);
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    ErrorContext context_;
    std::array<bool, kFieldNames.size()> seen_{};
    std::string error_;

    // ---- Cursor and failures ----

    bool at_end() const noexcept { return pos_ >= text_.size(); }
    char peek() const noexcept { return text_[pos_]; }

    void skip_whitespace() noexcept {
        while (!at_end() && (peek() == ' ' || peek() == '\n' || peek() == '\r' || peek() == '\t'))
            ++pos_;
    }

    /// Records a failure found after the first `end` bytes of the text.
    bool fail_at(std::size_t end, std::string_view what) {
        std::size_t line = 1;
        std::size_t line_start = 0;
        for (std::size_t i = 0; i < end; ++i) {
            if (text_[i] == '\n') {
                ++line;
                line_start = i + 1;
            }
        }
        error_.assign(what)
            .append(" at line ")
            .append(std::to_string(line))
            .append(" column ")
            .append(std::to_string(end - line_start));
        return false;
    }
    /// A failure at the byte under the cursor (counted in the column), or at the end.
    bool fail_here(std::string_view what) {
        return fail_at(std::min(pos_ + 1, text_.size()), what);
    }
    /// A failure after everything read so far.
    bool fail_after(std::string_view what) { return fail_at(pos_, what); }

    // ---- The top level and the known fields ----

    bool read_top() {
        skip_whitespace();
        if (at_end()) return fail_after("EOF while parsing a value");
        if (peek() != '{') return reject_value("a JSON object");
        if (!read_object([this](std::string_view key, std::size_t key_end) {
                return read_member(key, key_end);
            }))
            return false;
        skip_whitespace();
        if (!at_end()) return fail_here("trailing characters");
        return true;
    }

    bool read_member(std::string_view key, std::size_t key_end) {
        const std::optional<Field> field = field_of(key);
        if (!field) return skip_value(2);
        // One value per field: a repeated key would silently override an earlier one.
        const auto index = static_cast<std::size_t>(*field);
        if (seen_[index]) {
            std::string what = "duplicate field `";
            what.append(kFieldNames[index]).push_back('`');
            return fail_at(key_end, what);
        }
        seen_[index] = true;

        switch (*field) {
        case Field::Chain:
            return read_text_field(context_.chain);
        case Field::TxHash:
            return read_text_field(context_.tx_hash);
        case Field::ContractAddress:
            return read_text_field(context_.contract_address);
        case Field::CallSelector:
            return read_text_field(context_.call_selector);
        case Field::BlockNumber:
            return read_block_number();
        }
        return false;
    }

    /// A string sets the field, null leaves it absent; anything else is refused.
    bool read_text_field(std::optional<std::string>& field) {
        skip_whitespace();
        if (at_end()) return fail_after("EOF while parsing a value");
        if (peek() == 'n') return read_literal("null");
        if (peek() != '"') return reject_value("a string");
        std::string text;
        if (!read_string(&text)) return false;
        field = std::move(text);
        return true;
    }

    /// null, a non-negative integer that fits in 64 bits, or a string of 1 to 20 decimal
    /// digits that fits (the form in which a caller's integer arrives as text).
    bool read_block_number() {
        skip_whitespace();
        if (at_end()) return fail_after("EOF while parsing a value");
        const char c = peek();
        if (c == 'n') return read_literal("null");
        if (c == '"') {
            std::string text;
            if (!read_string(&text)) return false;
            const std::optional<std::uint64_t> value = decimal_u64(text);
            if (!value)
                return fail_after("invalid type: string " + quoted(text) + ", expected u64");
            context_.block_number = *value;
            return true;
        }
        if (c != '-' && !is_digit(c)) return reject_value("u64");

        Number number;
        if (!read_number(number)) return false;
        if (!number.integral) {
            return fail_after("invalid type: floating point `" + std::string(number.text) +
                              "`, expected u64");
        }
        if (number.overflow || (number.negative && number.magnitude != 0)) {
            return fail_after("invalid value: integer `" + std::string(number.text) +
                              "`, expected u64");
        }
        context_.block_number = number.magnitude;
        return true;
    }

    /// Reads the value under the cursor only to name it in an "invalid type" failure.
    bool reject_value(std::string_view expected) {
        std::string found;
        std::size_t end = pos_;
        switch (peek()) {
        case '"': {
            std::string text;
            if (!read_string(&text)) return false;
            found = "string " + quoted(text);
            end = pos_;
            break;
        }
        case 't':
        case 'f': {
            const bool value = peek() == 't';
            if (!read_literal(value ? "true" : "false")) return false;
            found = value ? "boolean `true`" : "boolean `false`";
            end = pos_;
            break;
        }
        case 'n':
            if (!read_literal("null")) return false;
            found = "null";
            end = pos_;
            break;
        case '{':
            found = "map";
            end = pos_ + 1;
            break;
        case '[':
            found = "sequence";
            end = pos_ + 1;
            break;
        default: {
            if (peek() != '-' && !is_digit(peek())) return fail_here("expected value");
            Number number;
            if (!read_number(number)) return false;
            found = number.integral ? "integer `" : "floating point `";
            found.append(number.text).push_back('`');
            end = pos_;
            break;
        }
        }
        std::string what = "invalid type: ";
        what.append(found).append(", expected ").append(expected);
        return fail_at(end, what);
    }

    // ---- Generic JSON values ----

    /// Reads an object whose '{' is under the cursor, calling `on_member(key, key_end)` with
    /// the cursor after each key's colon; `on_member` consumes the value.
    template <class OnMember>
    bool read_object(OnMember&& on_member) {
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_after("EOF while parsing an object");
        if (peek() == '}') {
            ++pos_;
            return true;
        }
        std::string key;
        for (;;) {
            if (at_end()) return fail_after("EOF while parsing an object");
            if (peek() == '}') return fail_here("trailing comma");
            if (peek() != '"') return fail_here("key must be a string");
            key.clear();
            if (!read_string(&key)) return false;
            const std::size_t key_end = pos_;
            skip_whitespace();
            if (at_end()) return fail_after("EOF while parsing an object");
            if (peek() != ':') return fail_here("expected `:`");
            ++pos_;
            if (!on_member(std::string_view{key}, key_end)) return false;
            skip_whitespace();
            if (at_end()) return fail_after("EOF while parsing an object");
            if (peek() == '}') {
                ++pos_;
                return true;
            }
            if (peek() != ',') return fail_here("expected `,` or `}`");
            ++pos_;
            skip_whitespace();
        }
    }

    bool read_array(std::size_t depth) {
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_after("EOF while parsing a list");
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            if (!skip_value(depth + 1)) return false;
            skip_whitespace();
            if (at_end()) return fail_after("EOF while parsing a list");
            if (peek() == ']') {
                ++pos_;
                return true;
            }
            if (peek() != ',') return fail_here("expected `,` or `]`");
            ++pos_;
            skip_whitespace();
            if (!at_end() && peek() == ']') return fail_here("trailing comma");
        }
    }

    /// Checks and passes over one value of any kind at nesting level `depth`.
    bool skip_value(std::size_t depth) {
        skip_whitespace();
        if (at_end()) return fail_after("EOF while parsing a value");
        switch (peek()) {
        case '{':
            if (depth > kMaxDepth) return fail_here("recursion limit exceeded");
            return read_object(
                [this, depth](std::string_view, std::size_t) { return skip_value(depth + 1); });
        case '[':
            if (depth > kMaxDepth) return fail_here("recursion limit exceeded");
            return read_array(depth);
        case '"':
            return read_string(nullptr);
        case 't':
            return read_literal("true");
        case 'f':
            return read_literal("false");
        case 'n':
            return read_literal("null");
        default:
            break;
        }
        if (peek() != '-' && !is_digit(peek())) return fail_here("expected value");
        Number number;
        return read_number(number);
    }

    bool read_literal(std::string_view word) {
        for (const char expected : word) {
            if (at_end()) return fail_after("EOF while parsing a value");
            if (peek() != expected) return fail_here("expected ident");
            ++pos_;
        }
        return true;
    }

    /// Reads a number (RFC 8259 grammar) whose first byte, '-' or a digit, is under the cursor.
    bool read_number(Number& number) {
        const std::size_t begin = pos_;
        if (peek() == '-') {
            number.negative = true;
            ++pos_;
            if (at_end()) return fail_after("EOF while parsing a value");
            if (!is_digit(peek())) return fail_here("invalid number");
        }
        if (peek() == '0') {
            ++pos_;
            if (!at_end() && is_digit(peek())) return fail_here("invalid number");
        } else {
            for (; !at_end() && is_digit(peek()); ++pos_) {
                const auto digit = static_cast<std::uint64_t>(peek() - '0');
                if (number.magnitude > (UINT64_MAX - digit) / 10) number.overflow = true;
                number.magnitude = number.magnitude * 10 + digit;
            }
        }
        if (!at_end() && peek() == '.') {
            number.integral = false;
            ++pos_;
            if (!read_digits()) return false;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            number.integral = false;
            ++pos_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
            if (!read_digits()) return false;
        }
        number.text = text_.substr(begin, pos_ - begin);
        return true;
    }

    /// One or more digits, as a fraction or exponent needs.
    bool read_digits() {
        if (at_end()) return fail_after("EOF while parsing a value");
        if (!is_digit(peek())) return fail_here("invalid number");
        while (!at_end() && is_digit(peek()))
            ++pos_;
        return true;
    }

    /// Reads the string whose opening quote is under the cursor, appending its text with the
    /// escapes resolved to `out` when one is given. The text must be valid UTF-8.
    bool read_string(std::string* out) {
        ++pos_;
        for (;;) {
            const std::size_t run = pos_;
            while (!at_end()) {
                const auto byte = static_cast<unsigned char>(peek());
                if (byte == '"' || byte == '\\' || byte < 0x20) break;
                if (byte < 0x80) {
                    ++pos_;
                    continue;
                }
                const std::size_t length = decode_utf8_scalar(text_, pos_).length;
                if (length == 0) {
                    if (out) out->append(text_.substr(run, pos_ - run));
                    return fail_here("invalid UTF-8 in string");
                }
                pos_ += length;
            }
            if (out) out->append(text_.substr(run, pos_ - run));
            if (at_end()) return fail_after("EOF while parsing a string");
            const char c = peek();
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c != '\\') {
                return fail_here(
                    "control character (\\u0000-\\u001F) found while parsing a string");
            }
            ++pos_;
            if (!read_escape(out)) return false;
        }
    }

    /// Resolves the escape whose backslash has just been read.
    bool read_escape(std::string* out) {
        if (at_end()) return fail_after("EOF while parsing a string");
        const char c = peek();
        ++pos_;
        char plain;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            plain = c;
            break;
        case 'b':
            plain = '\b';
            break;
        case 'f':
            plain = '\f';
            break;
        case 'n':
            plain = '\n';
            break;
        case 'r':
            plain = '\r';
            break;
        case 't':
            plain = '\t';
            break;
        case 'u':
            return read_unicode_escape(out);
        default:
            return fail_after("invalid escape");
        }
        if (out) out->push_back(plain);
        return true;
    }

    /// \uXXXX, where a UTF-16 high surrogate must be followed by a \uXXXX low surrogate.
    bool read_unicode_escape(std::string* out) {
        std::uint32_t code;
        if (!read_hex4(code)) return false;
        if (code >= 0xdc00 && code <= 0xdfff)
            return fail_after("lone trailing surrogate in hex escape");
        if (code >= 0xd800 && code <= 0xdbff) {
            if (at_end()) return fail_after("EOF while parsing a string");
            if (peek() != '\\') return fail_here("lone leading surrogate in hex escape");
            ++pos_;
            if (at_end()) return fail_after("EOF while parsing a string");
            if (peek() != 'u') return fail_here("lone leading surrogate in hex escape");
            ++pos_;
            std::uint32_t low;
            if (!read_hex4(low)) return false;
            if (low < 0xdc00 || low > 0xdfff) {
                return fail_after("lone leading surrogate in hex escape");
            }
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        }
        if (out) append_utf8(*out, code);
        return true;
    }

    bool read_hex4(std::uint32_t& code) {
        code = 0;
        for (int i = 0; i < 4; ++i) {
            if (at_end()) return fail_after("EOF while parsing a string");
            const int digit = hex_value(peek());
            if (digit < 0) return fail_here("invalid escape");
            code = (code << 4) | static_cast<std::uint32_t>(digit);
            ++pos_;
        }
        return true;
    }
};

} // namespace

std::expected<ErrorContext, std::string> parse_error_context(std::string_view json) {
    return ContextReader(json).read();
}

} // namespace kestrix::core
