/// A type list and data through the ABI decoder. Input: the comma-separated types, a line feed,
/// then the data. A decoding either fails with one of the documented kinds or yields a value
/// whose shape follows the types; the memory it holds at any moment is bounded by the data.

#include "abi/decode.hpp"
#include "abi/types.hpp"
#include "fuzz_checks.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace {

using kestrix::fuzz::check;
namespace abi = kestrix::abi;

/// Live and peak bytes of the operator new allocations made while `counting` is set.
bool counting = false;
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;

void* counted_allocation(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    if (counting) {
        live_bytes += malloc_usable_size(block);
        peak_bytes = std::max(peak_bytes, live_bytes);
    }
    return block;
}

void counted_release(void* block) noexcept {
    if (block == nullptr) return;
    // Blocks made before counting began are never released while it runs: the decoder only
    // frees what it made.
    if (counting) live_bytes -= std::min(live_bytes, malloc_usable_size(block));
    std::free(block);
}

/// The value's variant follows the type's kind all the way down. A zero-sized root (empty
/// tuples, arrays of them) is made without reading data: its arrays are empty, its tuples keep
/// their members; anywhere else, fixed-array elements are all there.
void check_shape(const abi::AbiType& type, const abi::AbiValue& value, bool root) {
    check(value.v.index() == static_cast<std::size_t>(type.kind), "value kind follows type kind");
    const bool zero_sized = root && abi::is_zero_sized(type);
    switch (type.kind) {
    case abi::AbiKind::Bool:
    case abi::AbiKind::Address:
    case abi::AbiKind::Function:
    case abi::AbiKind::Bytes:
        return;
    case abi::AbiKind::Int:
        check(std::get<abi::IntValue>(value.v).bits == type.size, "int keeps its width");
        return;
    case abi::AbiKind::Uint:
        check(std::get<abi::UintValue>(value.v).bits == type.size, "uint keeps its width");
        return;
    case abi::AbiKind::FixedBytes:
        check(std::get<abi::FixedBytesValue>(value.v).size == type.size, "bytesN keeps N");
        return;
    case abi::AbiKind::String:
        check(kestrix::fuzz::is_valid_utf8(std::get<abi::StringValue>(value.v).text),
              "decoded strings are UTF-8");
        return;
    case abi::AbiKind::Array: {
        const auto& elements = std::get<abi::ArrayValue>(value.v).elements;
        check(!zero_sized || elements.empty(), "a zero-sized root array decodes empty");
        for (const abi::AbiValue& element : elements)
            check_shape(type.children.front(), element, false);
        return;
    }
    case abi::AbiKind::FixedArray: {
        const auto& elements = std::get<abi::FixedArrayValue>(value.v).elements;
        check(elements.size() == (zero_sized ? 0 : type.size),
              "a fixed array has its k elements, none when zero-sized");
        for (const abi::AbiValue& element : elements)
            check_shape(type.children.front(), element, false);
        return;
    }
    case abi::AbiKind::Tuple: {
        const auto& members = std::get<abi::TupleValue>(value.v).members;
        check(members.size() == type.children.size(), "a tuple has one value per member");
        for (std::size_t i = 0; i < members.size(); ++i)
            check_shape(type.children[i], members[i], zero_sized);
        return;
    }
    }
}

} // namespace

void* operator new(std::size_t size) {
    return counted_allocation(size);
}
void* operator new[](std::size_t size) {
    return counted_allocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted_allocation(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* block) noexcept {
    counted_release(block);
}
void operator delete[](void* block) noexcept {
    counted_release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    counted_release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    counted_release(block);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\n');
    if (split == std::string_view::npos) return 0;
    const auto list = abi::parse_abi_type("(" + std::string(input.substr(0, split)) + ")");
    if (!list || list->kind != abi::AbiKind::Tuple) return 0;
    const std::span<const std::uint8_t> bytes(data + split + 1, size - split - 1);

    live_bytes = 0;
    peak_bytes = 0;
    counting = true;
    auto decoded = abi::decode_abi_params(list->children, bytes);
    counting = false;
    // Failed or not: per word of data, a token and a value of at most a few hundred bytes (strings
    // grow at most threefold by replacement); per member the type names, one value even when it
    // reads no data (empty tuples). Types come from registries, data from anyone: what data
    // claim can never outgrow the data.
    check(peak_bytes <= 64 * 1024 + 512 * bytes.size() + 1024 * split,
          "memory held is bounded by the data and the type text");
    if (!decoded) {
        const abi::AbiDecodeFailure failure = decoded.error();
        switch (failure.kind) {
        case abi::AbiDecodeFailureKind::Overrun:
            return 0;
        case abi::AbiDecodeFailureKind::RecursionLimitExceeded:
            check(failure.limit == abi::kMaxDecodeDepth, "the depth limit is reported");
            return 0;
        case abi::AbiDecodeFailureKind::Reserve:
            check(false, "no allocation fails under the fuzzer's memory limit");
            return 0;
        }
    }
    // A list of zero-sized parameters only: each one decodes as a zero-sized root.
    const auto& members = std::get<abi::TupleValue>(decoded->v).members;
    check(members.size() == list->children.size(), "one value per parameter");
    const bool all_zero_sized = std::ranges::all_of(list->children, abi::is_zero_sized);
    for (std::size_t i = 0; i < members.size(); ++i)
        check_shape(list->children[i], members[i], all_zero_sized);
    return 0;
}
