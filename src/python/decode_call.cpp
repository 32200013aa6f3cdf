#include "python/decode_call.hpp"

#include "evm/pipeline.hpp"
#include "python/hex_input.hpp"
#include "python/raise_error.hpp"
#include "python/result_dict.hpp"

#include <expected>
#include <string>
#include <utility>

namespace kestrix::python {

std::optional<core::Bytes> revert_bytes(std::string_view data) {
    auto bytes = parse_revert_hex(data);
    if (bytes) return std::move(*bytes);
    raise_error(PyExc_ValueError, "hex decode: " + bytes.error());
    return std::nullopt;
}

namespace {

PyObject* record_to_dict(std::expected<core::DecodedError, core::CoreError> record) {
    if (!record) {
        raise_error(PyExc_RuntimeError, record.error().display());
        return nullptr;
    }
    return decoded_error_to_dict(std::move(*record));
}

} // namespace

PyObject* decode_to_dict(const core::ErrorRegistry& registry, std::span<const std::uint8_t> bytes,
                         std::optional<core::ErrorContext> context) {
    return record_to_dict(evm::decode_revert(registry, bytes, std::move(context)));
}

PyObject* decode_to_dict(const core::ErrorRegistry& registry, core::Bytes&& bytes,
                         std::optional<core::ErrorContext> context) {
    auto record = evm::decode_revert(registry, bytes, std::move(context));
    core::Bytes().swap(bytes);
    return record_to_dict(std::move(record));
}

} // namespace kestrix::python
