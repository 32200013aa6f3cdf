#include "python/decode_call.hpp"

#include "evm/pipeline.hpp"
#include "python/hex_input.hpp"
#include "python/raise_error.hpp"
#include "python/result_dict.hpp"

#include <string>
#include <utility>

namespace kestrix::python {

std::optional<core::Bytes> revert_bytes(std::string_view data) {
    auto bytes = parse_revert_hex(data);
    if (bytes) return std::move(*bytes);
    raise_error(PyExc_ValueError, "hex decode: " + bytes.error());
    return std::nullopt;
}

PyObject* decode_to_dict(const core::ErrorRegistry& registry, std::span<const std::uint8_t> bytes,
                         std::optional<core::ErrorContext> context) {
    auto record = evm::decode_revert(registry, bytes, std::move(context));
    if (!record) {
        raise_error(PyExc_RuntimeError, record.error().display());
        return nullptr;
    }
    return decoded_error_to_dict(std::move(*record));
}

} // namespace kestrix::python
