#include "python/decoder_type.hpp"

#include "python/arguments.hpp"
#include "python/entry_points.hpp"
#include "python/internal_failure.hpp"
#include "python/method_cast.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"

#include <array>
#include <memory>
#include <string_view>
#include <utility>

namespace kestrix::python {

namespace {

/// Instance layout: the object header and one share of the decoder's registry. CPython
/// allocates the memory zero-filled; the handle is constructed in place after allocation and
/// destroyed in place before the memory is freed.
struct DecoderObject {
    PyObject_HEAD core::RegistryHandle registry;
};

constexpr std::array<std::string_view, 0> kConstructorParameters{};
constexpr ArgumentDescription kConstructor{"EvmErrorDecoder.__new__()", kConstructorParameters};

constexpr std::string_view kClassCreationFailed =
    "An error occurred while initializing class EvmErrorDecoder";
constexpr std::string_view kRepr = "EvmErrorDecoder()";

/// Set once, by the first successful class creation; kept for the process.
PyObject* decoder_type_cell = nullptr;

PyObject* decoder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 0> slots{};
        if (!parse_tuple_arguments(kConstructor, args, kwargs, slots)) return nullptr;

        // Every decoder gets its own registry; nothing is shared or cached.
        core::RegistryHandle registry = core::BuiltinErrorRegistry::build();
        if (!registry) return raise_internal_failure("the signature registry was not built");

        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (self == nullptr) return nullptr; // The handle going out of scope frees the registry.
        std::construct_at(&reinterpret_cast<DecoderObject*>(self)->registry, std::move(registry));
        return self;
    });
}

void decoder_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<DecoderObject*>(self)->registry);
    type->tp_free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

PyObject* decoder_repr(PyObject*) noexcept {
    return PyUnicode_FromStringAndSize(kRepr.data(), static_cast<Py_ssize_t>(kRepr.size()));
}

constexpr char kDecodeDoc[] =
    "decode($self, data)\n"
    "--\n"
    "\n"
    "Decode raw revert data (hex string, with or without 0x prefix).\n"
    "\n"
    "Returns a dict with:\n"
    "- `kind`: \"revert_string\" | \"custom_error\" | \"panic\" | \"raw_revert\" | \"empty\"\n"
    "- `message` (str): present for \"revert_string\"\n"
    "- `error_name` (str): present for \"custom_error\"\n"
    "- `inputs` (dict): present for \"custom_error\" with decoded parameters\n"
    "- `panic_code` (int): present for \"panic\"\n"
    "- `panic_meaning` (str): present for \"panic\"\n"
    "- `raw_data` (str): always present as 0x-prefixed hex\n"
    "- `selector` (str | None): 4-byte selector as 0x hex\n"
    "- `suggestion` (str | None): human-readable hint to fix the error\n"
    "- `confidence` (float): 0.0-1.0 decode confidence";

constexpr char kDecodeWithContextDoc[] =
    "decode_with_context($self, data, context)\n"
    "--\n"
    "\n"
    "Decode with context dict (optional contract_address, function_name, etc.)";

constexpr char kClassDoc[] = "EvmErrorDecoder()\n--\n\n";

PyMethodDef decoder_methods[] = {
    {"decode", as_method(&decode_entry), METH_FASTCALL | METH_KEYWORDS, kDecodeDoc},
    {"decode_with_context", as_method(&decode_with_context_entry), METH_FASTCALL | METH_KEYWORDS,
     kDecodeWithContextDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&decoder_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&decoder_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&decoder_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, decoder_methods},
    {0, nullptr},
};

// No flags of its own: not garbage-collected (it holds no Python references) and not a base
// class.
PyType_Spec decoder_spec = {
    "builtins.EvmErrorDecoder", static_cast<int>(sizeof(DecoderObject)), 0, 0, decoder_slots,
};

} // namespace

PyObject* decoder_type() noexcept {
    if (decoder_type_cell != nullptr) return decoder_type_cell;
    PyObject* type = PyType_FromSpec(&decoder_spec);
    if (type != nullptr) {
        decoder_type_cell = type;
        return type;
    }
    FetchedError cause = FetchedError::take();
    raise_error(PyExc_RuntimeError, kClassCreationFailed);
    if (!cause.value) return nullptr;
    FetchedError raised = FetchedError::take();
    // Only chain onto the RuntimeError itself, not onto a MemoryError raised while making it.
    if (PyErr_GivenExceptionMatches(raised.type.get(), PyExc_RuntimeError)) {
        PyException_SetCause(raised.value.get(), cause.value.release());
    }
    raised.restore();
    return nullptr;
}

const core::ErrorRegistry& decoder_registry(PyObject* self) noexcept {
    return *reinterpret_cast<DecoderObject*>(self)->registry;
}

} // namespace kestrix::python
