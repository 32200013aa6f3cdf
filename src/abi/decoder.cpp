// The lenient ABI value decoder: a token tree is built from the type, filled from the data
// through a depth-limited reader, and converted to values.
//
// Bounds. Every count and offset is checked with overflow-safe arithmetic before it is used,
// and the memory a decoding reserves is bounded by the data it is given:
//  - Before anything is built, the data must hold the type's minimum words and its backing
//    words (minimum words with every fixed-array element counted as at least one word), so
//    the k copies of a fixed array's element token are always backed by data, even when the
//    element is zero-sized.
//  - A dynamic array's element tokens are made only after its element count, times the
//    element's backing words (at least one), has been checked against the words left in its
//    element region.
//  - Offsets may point anywhere, so one region of data could be decoded many times over
//    (every element of nested arrays pointing at the same inner array makes the value grow
//    with a power of the data length). Two budgets, both sized by the data, stop that: the
//    words charged for the root and for every dynamic array's elements may not exceed the
//    data's words, and the bytes of all byte strings and strings together may not exceed the
//    data's length. A well-formed encoding never exceeds them: the regions charged are
//    disjoint in it. Exceeding them is an Overrun, as the data cannot back what it claims.
//  - Any allocation that still fails ends the decoding with Reserve.
#include "abi/decode.hpp"
#include "abi/utf8.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

namespace kestrix::abi {
namespace {

constexpr std::size_t kWordBytes = 32;

using Failure = std::unexpected<AbiDecodeFailure>;

Failure overrun() noexcept {
    return Failure(AbiDecodeFailure{AbiDecodeFailureKind::Overrun, 0});
}
Failure recursion_limit() noexcept {
    return Failure(AbiDecodeFailure{AbiDecodeFailureKind::RecursionLimitExceeded, kMaxDecodeDepth});
}
Failure reserve_failure() noexcept {
    return Failure(AbiDecodeFailure{AbiDecodeFailureKind::Reserve, 0});
}

/// `a * b`, or nullopt when the product overflows.
std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) noexcept {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return std::nullopt;
    return a * b;
}

enum class TokenKind : std::uint8_t { Word, PackedSeq, DynSeq, FixedSeq };

/// One node of the intermediate tree. A DynSeq's template is its type's element type; its
/// element tokens are built from it once the element count has passed its checks.
struct AbiToken {
    TokenKind kind = TokenKind::Word;
    /// Whether the token's encoding sits behind an offset.
    bool dynamic = false;
    /// The type the token was built for; it outlives the decoding.
    const AbiType* type = nullptr;
    /// Word: the 32 bytes read.
    std::array<std::uint8_t, kWordBytes> word{};
    /// PackedSeq: the byte range inside the whole input data (no copy).
    std::size_t start = 0;
    std::size_t length = 0;
    /// FixedSeq: the members; DynSeq: the elements after filling.
    std::vector<AbiToken> members;
};

/// Builds the token tree of `type`; a fixed array gets k copies of its element's token. Only
/// called once the data is known to back the tree (see the bounds above). May throw
/// std::bad_alloc.
AbiToken build_token(const AbiType& type) {
    AbiToken token;
    token.type = &type;
    switch (type.kind) {
    case AbiKind::Bool:
    case AbiKind::Int:
    case AbiKind::Uint:
    case AbiKind::FixedBytes:
    case AbiKind::Address:
    case AbiKind::Function:
        token.kind = TokenKind::Word;
        return token;
    case AbiKind::Bytes:
    case AbiKind::String:
        token.kind = TokenKind::PackedSeq;
        token.dynamic = true;
        return token;
    case AbiKind::Array:
        token.kind = TokenKind::DynSeq;
        token.dynamic = true;
        return token;
    case AbiKind::FixedArray: {
        token.kind = TokenKind::FixedSeq;
        if (type.size == 0) return token;
        AbiToken element = build_token(type.children.front());
        token.dynamic = element.dynamic;
        token.members.reserve(type.size);
        for (std::size_t i = 1; i < type.size; ++i)
            token.members.push_back(element);
        token.members.push_back(std::move(element));
        return token;
    }
    case AbiKind::Tuple:
        token.kind = TokenKind::FixedSeq;
        token.members.reserve(type.children.size());
        for (const AbiType& member : type.children) {
            token.members.push_back(build_token(member));
            token.dynamic = token.dynamic || token.members.back().dynamic;
        }
        return token;
    }
    return token;
}

/// The cursor over the data: a buffer (a suffix of the whole input), an offset into it and the
/// nesting depth. `origin` is where the buffer starts inside the whole input.
struct AbiReader {
    const std::uint8_t* base = nullptr;
    std::size_t length = 0;
    std::size_t origin = 0;
    std::size_t offset = 0;
    std::uint8_t depth = 0;

    [[nodiscard]] std::size_t whole_words_left() const noexcept {
        return (length - offset) / kWordBytes;
    }

    /// The 32 bytes at the offset; the offset advances by one word.
    [[nodiscard]] std::expected<const std::uint8_t*, AbiDecodeFailure> read_word() noexcept {
        if (length - offset < kWordBytes) return overrun();
        const std::uint8_t* word = base + offset;
        offset += kWordBytes;
        return word;
    }

    /// An offset or a length: the big-endian number in the last 8 bytes of a word.
    [[nodiscard]] std::expected<std::size_t, AbiDecodeFailure> read_count() noexcept {
        auto word = read_word();
        if (!word) return std::unexpected(word.error());
        std::uint64_t value = 0;
        for (std::size_t i = kWordBytes - 8; i < kWordBytes; ++i)
            value = (value << 8) | (*word)[i];
        if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
            // Larger than any buffer either way; keep it larger after narrowing.
            if (value > std::numeric_limits<std::size_t>::max())
                return std::numeric_limits<std::size_t>::max();
        }
        return static_cast<std::size_t>(value);
    }

    /// A reader over this buffer from `position` to its end at the same depth: the tail of a
    /// byte string or the element region of an array, which open no level of their own.
    [[nodiscard]] std::expected<AbiReader, AbiDecodeFailure>
    region(std::size_t position) const noexcept {
        if (position > length) return overrun();
        return AbiReader{base + position, length - position, origin + position, 0, depth};
    }

    /// A reader over this buffer from `position` to its end, one level deeper: the inside of a
    /// tuple, fixed array or dynamic array. Each container takes exactly one level, the
    /// measure nesting_levels() gives, so a type that fits the limit decodes whatever its kinds.
    [[nodiscard]] std::expected<AbiReader, AbiDecodeFailure>
    child(std::size_t position) const noexcept {
        if (depth >= kMaxDecodeDepth) return recursion_limit();
        auto inside = region(position);
        if (inside) ++inside->depth;
        return inside;
    }
};

/// Filling state shared by the whole decoding: the budgets that bound repeated decoding of
/// the same data through overlapping offsets.
class Filler {
public:
    Filler(std::size_t word_budget, std::size_t byte_budget) noexcept
        : word_budget_(word_budget), byte_budget_(byte_budget) {}

    /// Fills `token` from `r`; the first failure ends the decoding. May throw std::bad_alloc.
    std::expected<void, AbiDecodeFailure> fill(AbiToken& token, AbiReader& r) {
        switch (token.kind) {
        case TokenKind::Word:
            return fill_word(token, r);
        case TokenKind::PackedSeq:
            return fill_packed(token, r);
        case TokenKind::DynSeq:
            return fill_dynamic_array(token, r);
        case TokenKind::FixedSeq:
            return fill_fixed(token, r);
        }
        return {};
    }

private:
    std::size_t word_budget_;
    std::size_t byte_budget_;

    static std::expected<void, AbiDecodeFailure> fill_word(AbiToken& token, AbiReader& r) {
        auto word = r.read_word();
        if (!word) return std::unexpected(word.error());
        std::copy_n(*word, kWordBytes, token.word.begin());
        return {};
    }

    /// A tail behind an offset: the child reader at the offset, positioned after the length
    /// (or element count) word it starts with, and that count.
    struct Tail {
        AbiReader reader;
        std::size_t count = 0;
    };

    /// Reads an offset word from `r`, follows it and reads the count at the tail's start. The
    /// tail of a container is one level deeper; that of a byte string is not.
    static std::expected<Tail, AbiDecodeFailure> open_tail(AbiReader& r, bool container) noexcept {
        auto offset = r.read_count();
        if (!offset) return std::unexpected(offset.error());
        auto c = container ? r.child(*offset) : r.region(*offset);
        if (!c) return std::unexpected(c.error());
        auto count = c->read_count();
        if (!count) return std::unexpected(count.error());
        return Tail{*c, *count};
    }

    std::expected<void, AbiDecodeFailure> fill_packed(AbiToken& token, AbiReader& r) {
        auto tail = open_tail(r, false);
        if (!tail) return std::unexpected(tail.error());
        const AbiReader& c = tail->reader;
        const std::size_t length = tail->count;
        // open_tail read the length word, so the buffer holds at least that word.
        if (length > c.length - kWordBytes) return overrun();
        if (length > byte_budget_) return overrun();
        byte_budget_ -= length;
        token.start = c.origin + kWordBytes;
        token.length = length;
        return {};
    }

    std::expected<void, AbiDecodeFailure> fill_dynamic_array(AbiToken& token, AbiReader& r) {
        auto tail = open_tail(r, true);
        if (!tail) return std::unexpected(tail.error());
        const std::size_t count = tail->count;
        if (count == 0) return {};
        const AbiReader& c = tail->reader;
        auto e = c.region(c.offset);
        if (!e) return std::unexpected(e.error());

        // The count must be backed by data before a single element token exists.
        const AbiType& element_type = token.type->children.front();
        const std::size_t per_element = std::max<std::size_t>(backing_words(element_type), 1);
        const auto needed = checked_mul(count, per_element);
        if (!needed || *needed > e->whole_words_left()) return overrun();
        if (*needed > word_budget_) return overrun();
        word_budget_ -= *needed;

        AbiToken element = build_token(element_type);
        token.members.reserve(count);
        for (std::size_t i = 1; i < count; ++i)
            token.members.push_back(element);
        token.members.push_back(std::move(element));
        for (AbiToken& member : token.members) {
            if (auto filled = fill(member, *e); !filled) return filled;
        }
        return {};
    }

    std::expected<void, AbiDecodeFailure> fill_fixed(AbiToken& token, AbiReader& r) {
        std::expected<AbiReader, AbiDecodeFailure> c;
        if (token.dynamic) {
            auto offset = r.read_count();
            if (!offset) return std::unexpected(offset.error());
            c = r.child(*offset);
        } else {
            c = r.child(r.offset);
        }
        if (!c) return std::unexpected(c.error());
        for (AbiToken& member : token.members) {
            if (auto filled = fill(member, *c); !filled) return filled;
        }
        // Static members lie in place: the parent moves past their heads.
        if (!token.dynamic) r.offset += c->offset;
        return {};
    }
};

/// Converts a filled token to its value. May throw std::bad_alloc.
AbiValue to_value(const AbiToken& token, std::span<const std::uint8_t> data) {
    const AbiType& type = *token.type;
    switch (type.kind) {
    case AbiKind::Bool:
        return {BoolValue{std::any_of(token.word.begin(), token.word.end(),
                                      [](std::uint8_t b) { return b != 0; })}};
    case AbiKind::Int:
        return {IntValue{U256::from_be_bytes(token.word.data()), type.size}};
    case AbiKind::Uint:
        return {UintValue{U256::from_be_bytes(token.word.data()), type.size}};
    case AbiKind::FixedBytes:
        return {FixedBytesValue{token.word, type.size}};
    case AbiKind::Address: {
        AddressValue out;
        std::copy_n(token.word.begin() + 12, out.bytes.size(), out.bytes.begin());
        return {out};
    }
    case AbiKind::Function: {
        FunctionValue out;
        std::copy_n(token.word.begin(), out.bytes.size(), out.bytes.begin());
        return {out};
    }
    case AbiKind::Bytes: {
        const auto bytes = data.subspan(token.start, token.length);
        return {BytesValue{std::vector<std::uint8_t>(bytes.begin(), bytes.end())}};
    }
    case AbiKind::String:
        return {StringValue{utf8_replace_invalid(data.subspan(token.start, token.length))}};
    case AbiKind::Array:
    case AbiKind::FixedArray:
    case AbiKind::Tuple: {
        std::vector<AbiValue> values;
        values.reserve(token.members.size());
        for (const AbiToken& member : token.members)
            values.push_back(to_value(member, data));
        if (type.kind == AbiKind::Array) return {ArrayValue{std::move(values)}};
        if (type.kind == AbiKind::FixedArray) return {FixedArrayValue{std::move(values)}};
        return {TupleValue{std::move(values)}};
    }
    }
    return {};
}

/// The value of a zero-sized type, made without reading data: an empty array or fixed array,
/// and for a tuple one such value per member, so that a tuple's members always match its types.
AbiValue zero_sized_value(const AbiType& type) {
    switch (type.kind) {
    case AbiKind::Array:
        return {ArrayValue{}};
    case AbiKind::FixedArray:
        return {FixedArrayValue{}};
    case AbiKind::Tuple: {
        TupleValue tuple;
        tuple.members.reserve(type.children.size());
        for (const AbiType& member : type.children)
            tuple.members.push_back(zero_sized_value(member));
        return {std::move(tuple)};
    }
    case AbiKind::Bool:
    case AbiKind::Int:
    case AbiKind::Uint:
    case AbiKind::FixedBytes:
    case AbiKind::Address:
    case AbiKind::Function:
    case AbiKind::Bytes:
    case AbiKind::String:
        break;
    }
    return {};
}

/// Shared body of both entry points over the members of the root tuple. `as_params` fills the
/// members straight from the root reader (a parameter list takes no nesting level); otherwise
/// the single member is the value itself, filled from the root reader too.
std::expected<AbiValue, AbiDecodeFailure>
decode_members(std::span<const AbiType> types, std::span<const std::uint8_t> data, bool as_params) {
    if (std::all_of(types.begin(), types.end(),
                    [](const AbiType& t) { return is_zero_sized(t); })) {
        if (!as_params) return zero_sized_value(types.front());
        TupleValue tuple;
        for (const AbiType& t : types)
            tuple.members.push_back(zero_sized_value(t));
        return AbiValue{std::move(tuple)};
    }

    const std::size_t data_words = data.size() / kWordBytes;
    // The backing words are never fewer than the minimum, so they alone are checked.
    const std::size_t back_words = head_words(types).backing;
    if (back_words > data_words) return overrun();

    std::vector<AbiToken> tokens;
    tokens.reserve(types.size());
    for (const AbiType& t : types)
        tokens.push_back(build_token(t));

    AbiReader root{data.data(), data.size(), 0, 0, 0};
    Filler filler(data_words - back_words, data.size());
    for (AbiToken& token : tokens) {
        if (auto filled = filler.fill(token, root); !filled) return std::unexpected(filled.error());
    }

    if (!as_params) return to_value(tokens.front(), data);
    TupleValue tuple;
    tuple.members.reserve(tokens.size());
    for (const AbiToken& token : tokens)
        tuple.members.push_back(to_value(token, data));
    return AbiValue{std::move(tuple)};
}

std::expected<AbiValue, AbiDecodeFailure> decode_guarded(std::span<const AbiType> types,
                                                         std::span<const std::uint8_t> data,
                                                         bool as_params) noexcept {
    try {
        return decode_members(types, data, as_params);
    } catch (const std::bad_alloc&) {
        return reserve_failure();
    } catch (const std::length_error&) {
        return reserve_failure();
    }
}

} // namespace

std::expected<AbiValue, AbiDecodeFailure>
decode_abi_value(const AbiType& type, std::span<const std::uint8_t> data) noexcept {
    return decode_guarded(std::span<const AbiType>(&type, 1), data, false);
}

std::expected<AbiValue, AbiDecodeFailure>
decode_abi_params(std::span<const AbiType> types, std::span<const std::uint8_t> data) noexcept {
    return decode_guarded(types, data, true);
}

} // namespace kestrix::abi
