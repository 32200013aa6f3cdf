#pragma once
/// Decoding a whole Arrow column of revert data into the Arrow columns of the results, reading
/// and writing the buffers in place: no Python object is made per row.

#include "core/registry.hpp"
#include "evm/unwrap.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestrix::tools {

/// A column in Arrow's variable-size layout (string, binary and their large forms), read in place.
struct ArrowColumnInput {
    std::int64_t length = 0;
    /// The array's first row within its buffers (non-zero for slices).
    std::int64_t offset = 0;
    /// Validity bitmap, least significant bit first; empty when every row is valid.
    std::span<const std::uint8_t> validity;
    /// offset + length + 1 offsets of 32 bits, or of 64 bits when `large_offsets`.
    std::span<const std::uint8_t> offsets;
    bool large_offsets = false;
    std::span<const std::uint8_t> data;
    /// Rows are the raw revert bytes rather than hexadecimal text.
    bool binary = false;
};

/// An allocator whose resize leaves new elements uninitialized: the column builders write every
/// element they size, and zero-filling first would cost as much as the write.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

/// One output column in Arrow's layout: a validity bitmap (possibly empty when no row is null)
/// and either 32-bit offsets with their UTF-8 data (text) or the little-endian values in `data`
/// (numbers).
struct ArrowColumnOutput {
    std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>> validity;
    std::int64_t null_count = 0;
    std::vector<std::int32_t, UninitializedAllocator<std::int32_t>> offsets;
    std::string data;
};

/// The result columns in the order of the result dict's keys, then "error".
enum class ResultColumn : std::uint8_t {
    RawData,
    Selector,
    Suggestion,
    Confidence,
    Kind,
    Message,
    ErrorName,
    Inputs,
    PanicCode,
    PanicMeaning,
    RootKind,
    RootErrorName,
    RootMessage,
    RootSelector,
    Depth,
    Error,
};
inline constexpr std::size_t kResultColumns = 16;

/// The columns a decode fills besides the ten result columns.
struct ColumnChoice {
    /// "error": the message of a row that is not hexadecimal.
    bool error = false;
    /// The root cause of a wrapped revert: its kind, name, message and selector, and the depth
    /// (0 without nesting; then the root columns repeat the outer ones).
    bool root_cause = false;
    /// What unwraps carried reverts; nullptr follows none (every depth is 0).
    const evm::WrapperRules* wrappers = nullptr;

    [[nodiscard]] bool filled(ResultColumn column) const noexcept;
};

/// The outer column a root-cause text column repeats when nothing is nested.
[[nodiscard]] std::optional<ResultColumn> outer_of_root(ResultColumn column) noexcept;

/// The struct's own validity and its children; `error` and the root-cause columns are filled
/// only when asked for.
struct DecodedColumns {
    ArrowColumnOutput rows;
    std::array<ArrowColumnOutput, kResultColumns> columns;
    /// No row is nested: the root text columns are left empty, as they equal the outer ones
    /// (see outer_of_root), whose buffers serve for both.
    bool roots_repeat_outer = false;
    /// Every row with a result holds in raw_data exactly its input text (lowercase hexadecimal
    /// after "0x", 32-bit offsets): the raw_data column is left empty, and the input's offsets
    /// and data with the validity of `kind` make it.
    bool raw_repeats_input = false;

    /// What the rows came to: rows per kind of result (by the index of core::ErrorKind's
    /// alternative), rows that are not hexadecimal, null rows; whether a row is nested.
    std::array<std::int64_t, std::variant_size_v<core::ErrorKind>> kind_rows{};
    std::int64_t failed_rows = 0;
    std::int64_t null_rows = 0;
    bool nested = false;

    /// Each row's row in the memo, whose every column it repeats, and the memo's numbering of
    /// its rows (a number no other numbering of any memo has had): two rows of one numbering
    /// with the same memo row hold the same values in every column, and so do their inputs.
    std::vector<std::uint32_t> memo_rows;
    std::uint64_t memo_numbering = 0;

    /// Bytes of memory the columns hold, used or not.
    [[nodiscard]] std::size_t capacity() const noexcept;
};

/// Why a column could not be decoded: buffers that do not hold what the array claims (or a result
/// column too large for 32-bit offsets), or an error of the pipeline (its display text).
struct ColumnFailure {
    enum class Kind : std::uint8_t { Input, Core };
    Kind kind = Kind::Input;
    std::string text;
};

/// Distinct rows decoded by earlier calls with the same registry, choice and kind of input, kept
/// so that a stream of batches decodes each distinct revert once, not once per batch: bulk revert
/// data repeats the same few reverts throughout a file. One thread uses a memo at a time, with
/// one registry for as long as it keeps rows (it tells registries apart by their address). Its
/// memory is bounded: past a few megabytes, or after a call that found no row in it, the next
/// call starts it afresh.
class DecodeMemo {
public:
    DecodeMemo();
    ~DecodeMemo();
    DecodeMemo(DecodeMemo&&) noexcept;
    DecodeMemo& operator=(DecodeMemo&&) noexcept;

    /// Distinct rows kept.
    [[nodiscard]] std::size_t rows() const noexcept;

    /// Bytes of memory the memo holds, used or not.
    [[nodiscard]] std::size_t capacity() const noexcept;

    /// Drops the rows but keeps the memory, so that the memo can serve another registry.
    void forget() noexcept;

    struct State;

private:
    friend std::expected<DecodedColumns, ColumnFailure>
    decode_arrow_column(const core::ErrorRegistry&, const ArrowColumnInput&, const ColumnChoice&,
                        DecodeMemo&, DecodedColumns);
    std::unique_ptr<State> state_;
};

/// Decodes every row as kestrix decodes hexadecimal text (or the bytes of a binary column) with
/// `registry`. A null row gives a null struct row. A row that is not hexadecimal gives a null
/// struct row, or with `error_column` a valid row whose ten result fields are null and whose
/// error holds "hex decode: ..." exactly as kestrix's ValueError says it.
/// Throws std::bad_alloc when memory runs out.
/// The columns are built in `storage`, whose memory (columns of earlier decodes) is reused. Rows
/// that `memo` holds are not decoded again, and the new distinct rows join it.
[[nodiscard]] std::expected<DecodedColumns, ColumnFailure>
decode_arrow_column(const core::ErrorRegistry& registry, const ArrowColumnInput& input,
                    const ColumnChoice& choice, DecodeMemo& memo, DecodedColumns storage = {});

/// The same with a memo of this call's own.
[[nodiscard]] std::expected<DecodedColumns, ColumnFailure>
decode_arrow_column(const core::ErrorRegistry& registry, const ArrowColumnInput& input,
                    const ColumnChoice& choice, DecodedColumns storage = {});

} // namespace kestrix::tools
