// Solidity type strings to AbiType.
//
// The grammar is parsed completely before any root name is resolved: a syntax failure anywhere
// wins over a bad name, and among bad names the first one in the text is reported. The parser
// records the first resolution failure while it goes on checking the syntax.
#include "abi/types.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrix::abi {
namespace {

/// A member enclosed by this many tuple parentheses is rejected (so 79 levels parse). The rule
/// is about members: an empty tuple has none, so "()" may sit inside 79 enclosing tuples.
constexpr std::size_t kMaxTupleNesting = 80;

/// Upper bound on the levels of a parsed type tree (a leaf is one level; every tuple and every
/// array suffix adds one). Everything that walks a type (the queries, copying, destruction,
/// value decoding) recurses once per level, so bounding the tree here keeps the stack bounded
/// for any input text, e.g. a type with thousands of "[]" suffixes. 256 leaves ample room:
/// decoding a non-empty value already stops at reader depth 16, and the 79 tuple levels plus
/// generous suffixes fit.
constexpr std::size_t kMaxTypeLevels = 256;

bool is_ident_start(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
}
bool is_ident_char(char c) noexcept {
    return is_ident_start(c) || (c >= '0' && c <= '9');
}
bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}
bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}

/// A whole decimal number (leading zeros allowed) that fits a size_t; nullopt for empty text,
/// any non-digit or overflow.
std::optional<std::size_t> parse_decimal(std::string_view digits) noexcept {
    if (digits.empty()) return std::nullopt;
    std::size_t value = 0;
    for (const char c : digits) {
        if (!is_digit(c)) return std::nullopt;
        const auto d = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - d) / 10) return std::nullopt;
        value = value * 10 + d;
    }
    return value;
}

AbiType leaf(AbiKind kind, std::size_t size = 0) {
    return AbiType{kind, size, {}};
}

/// Resolves a root name to a leaf type, or the size/name failure for it.
std::expected<AbiType, AbiTypeParseFailure> resolve_root(std::string_view name) {
    if (name == "address") return leaf(AbiKind::Address);
    if (name == "bool") return leaf(AbiKind::Bool);
    if (name == "string") return leaf(AbiKind::String);
    if (name == "bytes") return leaf(AbiKind::Bytes);
    if (name == "function") return leaf(AbiKind::Function);
    if (name == "int") return leaf(AbiKind::Int, 256);
    if (name == "uint") return leaf(AbiKind::Uint, 256);

    const auto invalid_size = [&] {
        return std::unexpected(AbiTypeParseFailure{AbiTypeParseFailureKind::InvalidSize,
                                                   "invalid size for type: " + std::string(name)});
    };
    if (name.starts_with("bytes")) {
        const auto n = parse_decimal(name.substr(5));
        if (!n || *n < 1 || *n > 32) return invalid_size();
        return leaf(AbiKind::FixedBytes, *n);
    }
    std::string_view rest = name;
    const bool is_unsigned = rest.starts_with('u');
    if (is_unsigned) rest.remove_prefix(1);
    if (rest.starts_with("int")) {
        const auto n = parse_decimal(rest.substr(3));
        if (!n || *n < 1 || *n > 256 || *n % 8 != 0) return invalid_size();
        return leaf(is_unsigned ? AbiKind::Uint : AbiKind::Int, *n);
    }
    return std::unexpected(AbiTypeParseFailure{AbiTypeParseFailureKind::InvalidType,
                                               "invalid type string: " + std::string(name)});
}

/// A parsed subtree and the number of levels it spans.
struct Parsed {
    AbiType type;
    std::size_t levels = 1;
};

class TypeParser {
public:
    explicit TypeParser(std::string_view text) : text_(text) {}

    std::expected<AbiType, AbiTypeParseFailure> run() {
        auto parsed = parse_type(0);
        if (parsed && pos_ != text_.size()) {
            fail("unexpected text after the type");
            parsed.reset();
        }
        if (!parsed) return std::unexpected(std::move(*syntax_failure_));
        if (name_failure_) return std::unexpected(std::move(*name_failure_));
        return std::move(parsed->type);
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::optional<AbiTypeParseFailure> syntax_failure_;
    std::optional<AbiTypeParseFailure> name_failure_;

    [[nodiscard]] bool at_end() const noexcept { return pos_ >= text_.size(); }
    [[nodiscard]] char peek() const noexcept { return at_end() ? '\0' : text_[pos_]; }
    void skip_blanks() noexcept {
        while (!at_end() && is_blank(text_[pos_]))
            ++pos_;
    }

    /// Records a syntax failure at the current position; the message shows the text with a
    /// caret under the offending byte.
    void fail(std::string_view what) {
        std::string message = "parser error:\n";
        message += text_;
        message += '\n';
        message.append(pos_, ' ');
        message += "^\n";
        message += what;
        message += " at byte ";
        message += std::to_string(pos_);
        syntax_failure_ = AbiTypeParseFailure{AbiTypeParseFailureKind::Syntax, std::move(message)};
    }

    /// A type whose members lie inside `enclosing` tuple parentheses (0 at the top).
    std::optional<Parsed> parse_type(std::size_t enclosing) {
        std::optional<Parsed> stem;
        if (peek() == '(') {
            stem = parse_tuple(enclosing);
        } else if (text_.substr(pos_).starts_with("tuple(")) {
            pos_ += 5;
            stem = parse_tuple(enclosing);
        } else {
            stem = parse_root();
        }
        if (!stem) return std::nullopt;
        return parse_array_suffixes(std::move(*stem));
    }

    /// "(" blanks [member ("," blanks member)*] ["," ] blanks ")" with the cursor on "(".
    std::optional<Parsed> parse_tuple(std::size_t enclosing) {
        ++pos_; // "("
        skip_blanks();
        Parsed out{AbiType::tuple({}), 1};
        if (peek() == ')') {
            ++pos_;
            return out;
        }
        while (true) {
            if (enclosing + 1 >= kMaxTupleNesting) {
                fail("tuples nested too deeply");
                return std::nullopt;
            }
            auto member = parse_type(enclosing + 1);
            if (!member) return std::nullopt;
            if (member->levels >= kMaxTypeLevels) {
                fail("type nested too deeply");
                return std::nullopt;
            }
            out.levels = std::max(out.levels, member->levels + 1);
            out.type.children.push_back(std::move(member->type));
            if (peek() == ',') {
                ++pos_;
                skip_blanks();
                // A "," followed by ")" is the optional trailing comma.
                if (peek() == ')') break;
                continue;
            }
            skip_blanks();
            break;
        }
        if (peek() != ')') {
            fail("expected \",\" or \")\"");
            return std::nullopt;
        }
        ++pos_;
        return out;
    }

    /// An identifier, optionally library-qualified ("Lib.Enum" is an enum, i.e. uint8).
    std::optional<Parsed> parse_root() {
        if (!is_ident_start(peek())) {
            fail(at_end() ? "expected a type" : "expected a type name or \"(\"");
            return std::nullopt;
        }
        const std::size_t start = pos_;
        while (!at_end() && is_ident_char(text_[pos_]))
            ++pos_;
        std::string_view name = text_.substr(start, pos_ - start);
        if (peek() == '.') {
            ++pos_;
            if (is_ident_start(peek())) {
                while (!at_end() && is_ident_char(text_[pos_]))
                    ++pos_;
            }
            name = "uint8";
        }
        auto resolved = resolve_root(name);
        if (resolved) return Parsed{std::move(*resolved), 1};
        if (!name_failure_) name_failure_ = std::move(resolved.error());
        return Parsed{leaf(AbiKind::Bool), 1};
    }

    /// Any number of "[]" / "[k]" suffixes, each wrapping the type built so far.
    std::optional<Parsed> parse_array_suffixes(Parsed inner) {
        while (peek() == '[') {
            ++pos_;
            const std::size_t digits_start = pos_;
            while (!at_end() && is_digit(text_[pos_]))
                ++pos_;
            const std::string_view digits = text_.substr(digits_start, pos_ - digits_start);
            if (peek() != ']') {
                fail("expected digits or \"]\"");
                return std::nullopt;
            }
            std::optional<std::size_t> length;
            if (!digits.empty()) {
                length = parse_decimal(digits);
                if (!length || *length == 0) {
                    pos_ = digits_start;
                    fail("array length must be between 1 and the largest size");
                    return std::nullopt;
                }
            }
            ++pos_; // "]"
            if (inner.levels >= kMaxTypeLevels) {
                fail("type nested too deeply");
                return std::nullopt;
            }
            AbiType wrapped = length ? leaf(AbiKind::FixedArray, *length) : leaf(AbiKind::Array);
            wrapped.children.push_back(std::move(inner.type));
            inner.type = std::move(wrapped);
            ++inner.levels;
        }
        return inner;
    }
};

} // namespace

std::expected<AbiType, AbiTypeParseFailure> parse_abi_type(std::string_view text) {
    return TypeParser(text).run();
}

} // namespace kestrix::abi
