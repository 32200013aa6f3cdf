#include "tools/decoder_type.hpp"

#include "evm/pipeline.hpp"
#include "python/arguments.hpp"
#include "python/decode_call.hpp"
#include "python/internal_failure.hpp"
#include "python/method_cast.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"
#include "python/result_dict.hpp"
#include "tools/definitions_argument.hpp"
#include "tools/known_registry.hpp"
#include "tools/user_registry.hpp"

#include <array>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

namespace kestrix::tools {

namespace {

using python::PyRef;

/// Instance layout: one share of the chained registry (the user's errors, then the built-ins)
/// and the tuple of the user's canonical signatures. The handle is constructed in place after
/// allocation and destroyed in place before the memory is freed.
struct DecoderObject {
    PyObject_HEAD core::RegistryHandle registry;
    PyObject* errors;
};

DecoderObject* as_decoder(PyObject* self) noexcept {
    return reinterpret_cast<DecoderObject*>(self);
}

constexpr std::array<std::string_view, 1> kDefinitionsParameters{"definitions"};
constexpr python::ArgumentDescription kConstructor{"Decoder()", kDefinitionsParameters};
constexpr std::array<std::string_view, 1> kDataParameters{"data"};
constexpr python::ArgumentDescription kDecode{"Decoder.decode()", kDataParameters};
constexpr python::ArgumentDescription kDecodeDetail{"Decoder.decode_detail()", kDataParameters};

/// A tuple of str, one per signature.
PyRef signature_tuple(const std::vector<std::string>& signatures) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(signatures.size())));
    if (!tuple) return PyRef();
    for (std::size_t i = 0; i < signatures.size(); ++i) {
        PyObject* text = PyUnicode_FromStringAndSize(signatures[i].data(),
                                                     static_cast<Py_ssize_t>(signatures[i].size()));
        if (text == nullptr) return PyRef();
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
    }
    return tuple;
}

/// The bytes of a bytes object, or nullopt with a TypeError naming `what`.
std::optional<std::string> bytes_argument(PyObject* object, std::string_view what) {
    if (!PyBytes_Check(object)) {
        python::raise_error(PyExc_TypeError, std::string(what) + ": " +
                                                 python::type_mismatch_message(object, "bytes"));
        return std::nullopt;
    }
    return std::string(PyBytes_AS_STRING(object),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

/// The registries asked after the built-ins: the known errors from `known` (None, or a pair of
/// the compact errors and reasons texts as bytes), then the signature database at
/// `signature_db` (None or a str path). A null handle when neither is given.
std::optional<core::RegistryHandle> tail_registries(PyObject* known, PyObject* signature_db) {
    core::RegistryHandle tail;
    if (signature_db != nullptr && signature_db != Py_None) {
        if (!PyUnicode_Check(signature_db)) {
            python::raise_error(PyExc_TypeError, "signature_db: " + python::type_mismatch_message(
                                                                        signature_db, "str"));
            return std::nullopt;
        }
        const char* path = PyUnicode_AsUTF8(signature_db);
        if (path == nullptr) return std::nullopt;
        auto opened = open_signature_db(path);
        if (!opened) {
            python::raise_error(PyExc_ValueError, "signature database " + opened.error());
            return std::nullopt;
        }
        tail = std::move(*opened);
    }
    if (known != nullptr && known != Py_None) {
        if (!PyTuple_Check(known) || PyTuple_GET_SIZE(known) != 2) {
            python::raise_error(PyExc_TypeError, "known: " + python::type_mismatch_message(
                                                                 known, "tuple of two bytes"));
            return std::nullopt;
        }
        auto errors = bytes_argument(PyTuple_GET_ITEM(known, 0), "known");
        if (!errors) return std::nullopt;
        auto reasons = bytes_argument(PyTuple_GET_ITEM(known, 1), "known");
        if (!reasons) return std::nullopt;
        auto built = build_known_registry(std::move(*errors), *reasons);
        if (!built) {
            python::raise_error(PyExc_ValueError, built.error());
            return std::nullopt;
        }
        core::RegistryHandle registry = std::move(*built);
        if (tail)
            registry =
                std::make_shared<core::ChainErrorRegistry>(std::move(registry), std::move(tail));
        tail = std::move(registry);
    }
    return tail;
}

/// Builds a decoder of `subtype` from the definitions (nullptr: none), the known errors and the
/// signature database (nullptr or None: none).
PyObject* new_decoder(PyTypeObject* subtype, PyObject* definitions, PyObject* known,
                      PyObject* signature_db) {
    std::vector<ErrorDefinition> read;
    if (definitions != nullptr) {
        auto given = read_definitions(definitions);
        if (!given) return nullptr;
        read = std::move(*given);
    }
    auto user = build_user_registry(read);
    if (!user) return python::raise_error(PyExc_ValueError, user.error());
    PyRef errors = signature_tuple(user->signatures);
    if (!errors) return nullptr;
    auto tail = tail_registries(known, signature_db);
    if (!tail) return nullptr;
    // Every decoder gets its own registries; nothing is shared or cached.
    core::RegistryHandle registry =
        chain_with_builtins(std::move(user->registry), std::move(*tail));

    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return nullptr;
    std::construct_at(&as_decoder(self)->registry, std::move(registry));
    as_decoder(self)->errors = errors.release();
    return self;
}

PyObject* decoder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        // The keyword-only sources behind the built-ins are taken out before the rest is read.
        PyObject* known = nullptr;
        PyObject* signature_db = nullptr;
        PyRef rest;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
            rest = PyRef(PyDict_Copy(kwargs));
            if (!rest) return nullptr;
            known = PyDict_GetItemString(rest.get(), "known");
            signature_db = PyDict_GetItemString(rest.get(), "signature_db");
            Py_XINCREF(known);
            Py_XINCREF(signature_db);
            if (known != nullptr && PyDict_DelItemString(rest.get(), "known") != 0) return nullptr;
            if (signature_db != nullptr && PyDict_DelItemString(rest.get(), "signature_db") != 0)
                return nullptr;
        }
        const PyRef known_ref(known);
        const PyRef signature_db_ref(signature_db);
        const bool none_given =
            PyTuple_GET_SIZE(args) == 0 && (!rest || PyDict_GET_SIZE(rest.get()) == 0);
        if (none_given) return new_decoder(subtype, nullptr, known, signature_db);
        std::array<PyObject*, 1> slots{};
        if (!python::parse_tuple_arguments(kConstructor, args, rest.get(), slots)) return nullptr;
        return new_decoder(subtype, slots[0], known, signature_db);
    });
}

void decoder_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_decoder(self)->registry);
    Py_XDECREF(as_decoder(self)->errors);
    type->tp_free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

/// Revert data as hex text (read exactly as kestrix reads it) or as the bytes of any contiguous
/// buffer, decoded into the result dict.
PyObject* decode_body(const core::ErrorRegistry& registry, PyObject* data) {
    if (PyUnicode_Check(data)) {
        const auto text = python::convert_data_argument(data);
        if (!text) return nullptr;
        const auto bytes = python::revert_bytes(*text);
        if (!bytes) return nullptr;
        return python::decode_to_dict(registry, *bytes, std::nullopt);
    }
    if (!PyObject_CheckBuffer(data)) {
        return python::raise_error(
            PyExc_TypeError,
            "argument 'data': " + python::type_mismatch_message(data, "str or bytes-like object"));
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
    const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> release(&view, &PyBuffer_Release);
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(view.buf),
                                              static_cast<std::size_t>(view.len));
    return python::decode_to_dict(registry, bytes, std::nullopt);
}

PyObject* decode_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!python::parse_fastcall_arguments(kDecode, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        return decode_body(*as_decoder(self)->registry, slots[0]);
    });
}

/// A tuple of str: the record's alternatives.
PyObject* alternatives_tuple(const std::vector<std::string>& alternatives) {
    return signature_tuple(alternatives).release();
}

/// (result dict, alternatives): the dict exactly as decode gives it, and the canonical
/// signatures of the other entries that also fit the data.
PyObject* decode_detail_body(const core::ErrorRegistry& registry, PyObject* data) {
    core::Bytes owned;
    std::span<const std::uint8_t> bytes;
    Py_buffer view{};
    bool has_view = false;
    if (PyUnicode_Check(data)) {
        const auto text = python::convert_data_argument(data);
        if (!text) return nullptr;
        auto parsed = python::revert_bytes(*text);
        if (!parsed) return nullptr;
        owned = std::move(*parsed);
        bytes = owned;
    } else if (PyObject_CheckBuffer(data)) {
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
        has_view = true;
        bytes = {static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)};
    } else {
        return python::raise_error(
            PyExc_TypeError,
            "argument 'data': " + python::type_mismatch_message(data, "str or bytes-like object"));
    }
    auto record = evm::decode_revert(registry, bytes, std::nullopt);
    if (has_view) PyBuffer_Release(&view);
    if (!record) return python::raise_error(PyExc_RuntimeError, record.error().display());
    PyRef alternatives(alternatives_tuple(record->alternatives));
    if (!alternatives) return nullptr;
    PyRef result(python::decoded_error_to_dict(std::move(*record)));
    if (!result) return nullptr;
    return PyTuple_Pack(2, result.get(), alternatives.get());
}

PyObject* decode_detail_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!python::parse_fastcall_arguments(kDecodeDetail, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        return decode_detail_body(*as_decoder(self)->registry, slots[0]);
    });
}

PyObject* errors_getter(PyObject* self, void*) noexcept {
    return Py_NewRef(as_decoder(self)->errors);
}

constexpr char kDecodeDoc[] =
    "decode($self, data)\n"
    "--\n"
    "\n"
    "Decode revert data (hex text, \"0x\" optional, or a bytes-like object) into the same\n"
    "ten-key dict as kestrix: the user's errors are tried before the built-in ones.";

constexpr char kDecodeDetailDoc[] =
    "decode_detail($self, data)\n"
    "--\n"
    "\n"
    "(decode(data), alternatives): the result dict and the canonical signatures of the other\n"
    "known or database errors of the same selector that also fit the data exactly.";

constexpr char kErrorsDoc[] = "The canonical signatures of the user's errors, in the order given.";

constexpr char kClassDoc[] =
    "Decoder(definitions=(), *, known=None, signature_db=None)\n--\n\n"
    "A decoder of the built-in errors and of the errors in `definitions`: a sequence of\n"
    "(name, parameters, suggestion or None), each parameter (name, type, components or None).\n"
    "`known` is (errors, reasons), the compact texts of the known errors and reason tables as\n"
    "bytes; `signature_db` the path of a signature database. Both are asked after the built-ins.";

PyMethodDef decoder_methods[] = {
    {"decode", python::as_method(&decode_entry), METH_FASTCALL | METH_KEYWORDS, kDecodeDoc},
    {"decode_detail", python::as_method(&decode_detail_entry), METH_FASTCALL | METH_KEYWORDS,
     kDecodeDetailDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"errors", &errors_getter, nullptr, kErrorsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&decoder_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {0, nullptr},
};

// Not garbage-collected: the only Python object it holds is a tuple of str, which cannot lead
// back to it.
PyType_Spec decoder_spec = {
    "kestrix_tools._native.Decoder",
    static_cast<int>(sizeof(DecoderObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    decoder_slots,
};

/// Set once, by the first successful class creation; kept for the process.
PyObject* decoder_type_cell = nullptr;

} // namespace

PyObject* native_decoder_type() noexcept {
    if (decoder_type_cell == nullptr) decoder_type_cell = PyType_FromSpec(&decoder_spec);
    return decoder_type_cell;
}

const core::ErrorRegistry* native_decoder_registry(PyObject* object) noexcept {
    if (decoder_type_cell == nullptr ||
        !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(decoder_type_cell))) {
        return nullptr;
    }
    return as_decoder(object)->registry.get();
}

} // namespace kestrix::tools
