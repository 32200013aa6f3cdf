#include "python/entry_points.hpp"

#include "core/context.hpp"
#include "evm/panic.hpp"
#include "python/arguments.hpp"
#include "python/context_json.hpp"
#include "python/decode_call.hpp"
#include "python/decoder_type.hpp"
#include "python/internal_failure.hpp"
#include "python/raise_error.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>

namespace kestrix::python {

namespace {

constexpr std::array<std::string_view, 1> kDataParameters{"data"};
constexpr std::array<std::string_view, 2> kDataContextParameters{"data", "context"};
constexpr std::array<std::string_view, 1> kCodeParameters{"code"};

constexpr ArgumentDescription kDecode{"EvmErrorDecoder.decode()", kDataParameters};
constexpr ArgumentDescription kDecodeWithContext{"EvmErrorDecoder.decode_with_context()",
                                                 kDataContextParameters};
constexpr ArgumentDescription kDecodeError{"decode_error()", kDataParameters};
constexpr ArgumentDescription kPanicMeaning{"panic_meaning()", kCodeParameters};

} // namespace

// ---- Bodies ----

PyObject* decode_body(const core::ErrorRegistry& registry, std::string_view data) {
    auto bytes = revert_bytes(data);
    if (!bytes) return nullptr;
    return decode_to_dict(registry, std::move(*bytes), std::nullopt);
}

PyObject* decode_with_context_body(const core::ErrorRegistry& registry, std::string_view data,
                                   PyObject* context) {
    // Bad hexadecimal is reported before anything in the context is looked at.
    auto bytes = revert_bytes(data);
    if (!bytes) return nullptr;
    const auto json = context_dict_to_json(context);
    if (!json) return nullptr;
    auto parsed = core::parse_error_context(*json);
    if (!parsed) {
        raise_error(PyExc_ValueError, parsed.error());
        return nullptr;
    }
    return decode_to_dict(registry, std::move(*bytes), std::move(*parsed));
}

PyObject* decode_error_body(std::string_view data) {
    // Built before the hexadecimal check and released on every path with the handle.
    const core::RegistryHandle registry = core::BuiltinErrorRegistry::build();
    if (!registry) return raise_internal_failure("the signature registry was not built");
    return decode_body(*registry, data);
}

PyObject* panic_meaning_body(std::uint64_t code) {
    const std::string_view meaning = evm::panic_meaning(code);
    return PyUnicode_FromStringAndSize(meaning.data(), static_cast<Py_ssize_t>(meaning.size()));
}

// ---- Wrappers ----

PyObject* decode_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!parse_fastcall_arguments(kDecode, args, nargs, kwnames, slots)) return nullptr;
        const auto data = convert_data_argument(slots[0]);
        if (!data) return nullptr;
        return decode_body(decoder_registry(self), *data);
    });
}

PyObject* decode_with_context_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    return guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        if (!parse_fastcall_arguments(kDecodeWithContext, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const auto data = convert_data_argument(slots[0]);
        if (!data) return nullptr;
        if (!check_context_argument(slots[1])) return nullptr;
        return decode_with_context_body(decoder_registry(self), *data, slots[1]);
    });
}

PyObject* decode_error_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!parse_fastcall_arguments(kDecodeError, args, nargs, kwnames, slots)) return nullptr;
        const auto data = convert_data_argument(slots[0]);
        if (!data) return nullptr;
        return decode_error_body(*data);
    });
}

PyObject* panic_meaning_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!parse_fastcall_arguments(kPanicMeaning, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const auto code = convert_code_argument(slots[0]);
        if (!code) return nullptr;
        return panic_meaning_body(*code);
    });
}

} // namespace kestrix::python
