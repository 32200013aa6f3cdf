#include "tools/decoder_type.hpp"

#include "core/selector.hpp"
#include "evm/unwrap.hpp"
#include "python/arguments.hpp"
#include "python/decode_call.hpp"
#include "python/internal_failure.hpp"
#include "python/method_cast.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"
#include "python/result_dict.hpp"
#include "tools/argument_values.hpp"
#include "tools/definitions_argument.hpp"
#include "tools/user_registry.hpp"

#include <array>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

namespace kestrix::tools {

namespace {

using python::PyRef;

/// Instance layout: one share of the chained registry (the user's errors, the built-ins, then
/// the wrappers the package knows), the wrapper rules and the tuple of the user's canonical
/// signatures. The handles are constructed in place after allocation and destroyed in place
/// before the memory is freed.
struct DecoderObject {
    PyObject_HEAD core::RegistryHandle registry;
    std::shared_ptr<const evm::WrapperRules> rules;
    PyObject* errors;
};

DecoderObject* as_decoder(PyObject* self) noexcept {
    return reinterpret_cast<DecoderObject*>(self);
}

constexpr std::array<std::string_view, 1> kDefinitionsParameters{"definitions"};
constexpr python::ArgumentDescription kConstructor{"Decoder()", kDefinitionsParameters};
constexpr std::array<std::string_view, 1> kDataParameters{"data"};
constexpr python::ArgumentDescription kDecode{"Decoder.decode()", kDataParameters};
constexpr python::ArgumentDescription kUnwrap{"Decoder.unwrap()", kDataParameters};

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

/// The wrappers' registry and rules: `wrappers` are definitions, `causes` one int per
/// definition, the index of the parameter holding the caught revert (negative: none).
std::optional<std::pair<core::RegistryHandle, evm::WrapperRules>> read_wrappers(PyObject* wrappers,
                                                                                PyObject* causes) {
    auto definitions = read_definitions(wrappers);
    if (!definitions) return std::nullopt;
    PyRef items(PySequence_Tuple(causes));
    if (!items) return std::nullopt;
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())) != definitions->size()) {
        python::raise_error(PyExc_ValueError, "causes must give one index per wrapper");
        return std::nullopt;
    }
    auto built = build_user_registry(*definitions);
    if (!built) {
        python::raise_error(PyExc_ValueError, "wrapper " + built.error());
        return std::nullopt;
    }
    evm::WrapperRules rules;
    for (std::size_t i = 0; i < definitions->size(); ++i) {
        const long cause = PyLong_AsLong(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
        if (cause == -1 && PyErr_Occurred()) return std::nullopt;
        if (cause < 0) continue;
        const std::string& signature = built->signatures[i];
        rules.push_back(evm::WrapperRule{core::selector_of(signature), signature,
                                         static_cast<std::size_t>(cause)});
    }
    return std::pair{std::move(built->registry), std::move(rules)};
}

/// Builds a decoder of `subtype` from the definitions (nullptr: none) and the wrappers.
PyObject* new_decoder(PyTypeObject* subtype, PyObject* definitions, PyObject* wrappers,
                      PyObject* causes) {
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
    // Every decoder gets its own registries; nothing is shared or cached.
    core::RegistryHandle registry = chain_with_builtins(std::move(user->registry));
    auto rules = std::make_shared<evm::WrapperRules>();
    if (wrappers != nullptr) {
        auto known = read_wrappers(wrappers, causes);
        if (!known) return nullptr;
        registry = std::make_shared<core::ChainErrorRegistry>(std::move(registry),
                                                              std::move(known->first));
        *rules = std::move(known->second);
    }

    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return nullptr;
    std::construct_at(&as_decoder(self)->registry, std::move(registry));
    std::construct_at(&as_decoder(self)->rules, std::move(rules));
    as_decoder(self)->errors = errors.release();
    return self;
}

PyObject* decoder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        // `wrappers` and `causes` are keyword-only; the rest is parsed as before.
        PyObject* wrappers = nullptr;
        PyObject* causes = nullptr;
        PyRef rest;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
            rest = PyRef(PyDict_Copy(kwargs));
            if (!rest) return nullptr;
            wrappers = PyDict_GetItemString(kwargs, "wrappers");
            causes = PyDict_GetItemString(kwargs, "causes");
            if (wrappers != nullptr && PyDict_DelItemString(rest.get(), "wrappers") != 0)
                return nullptr;
            if (causes != nullptr && PyDict_DelItemString(rest.get(), "causes") != 0)
                return nullptr;
            if ((wrappers == nullptr) != (causes == nullptr)) {
                return python::raise_error(PyExc_TypeError,
                                           "Decoder(): wrappers and causes go together");
            }
        }
        const bool none_given =
            PyTuple_GET_SIZE(args) == 0 && (!rest || PyDict_GET_SIZE(rest.get()) == 0);
        if (none_given) return new_decoder(subtype, nullptr, wrappers, causes);
        std::array<PyObject*, 1> slots{};
        if (!python::parse_tuple_arguments(kConstructor, args, rest.get(), slots)) return nullptr;
        return new_decoder(subtype, slots[0], wrappers, causes);
    });
}

void decoder_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_decoder(self)->registry);
    std::destroy_at(&as_decoder(self)->rules);
    Py_XDECREF(as_decoder(self)->errors);
    type->tp_free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

/// Calls `work` with the bytes of revert data given as hex text (read exactly as kestrix reads
/// it) or as any contiguous buffer.
template <class Work>
PyObject* with_data_bytes(PyObject* data, Work&& work) {
    if (PyUnicode_Check(data)) {
        const auto text = python::convert_data_argument(data);
        if (!text) return nullptr;
        const auto bytes = python::revert_bytes(*text);
        if (!bytes) return nullptr;
        return work(std::span<const std::uint8_t>(*bytes));
    }
    if (!PyObject_CheckBuffer(data)) {
        return python::raise_error(
            PyExc_TypeError,
            "argument 'data': " + python::type_mismatch_message(data, "str or bytes-like object"));
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
    const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> release(&view, &PyBuffer_Release);
    return work(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(view.buf),
                                              static_cast<std::size_t>(view.len)));
}

/// Revert data decoded into the result dict.
PyObject* decode_body(const core::ErrorRegistry& registry, PyObject* data) {
    return with_data_bytes(data, [&](std::span<const std::uint8_t> bytes) {
        return python::decode_to_dict(registry, bytes, std::nullopt);
    });
}

/// The canonical signature of a layer's error, or None for the kinds without one.
PyObject* layer_signature(const evm::ClassifiedRevert& decoded) {
    if (std::holds_alternative<core::RevertString>(decoded.record.kind))
        return PyUnicode_FromString("Error(string)");
    if (std::holds_alternative<core::Panic>(decoded.record.kind))
        return PyUnicode_FromString("Panic(uint256)");
    if (decoded.entry != nullptr) {
        const std::string& text = decoded.entry->signature.signature;
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    return Py_NewRef(Py_None);
}

/// The layer's arguments: a custom error's by name, the reason of Error(string), the code of
/// a panic; empty for the rest.
PyObject* layer_arguments(const evm::ClassifiedRevert& decoded) {
    const auto& kind = decoded.record.kind;
    if (const auto* custom = std::get_if<core::CustomError>(&kind)) {
        std::span<const core::ErrorParam> params;
        if (decoded.entry != nullptr) params = decoded.entry->signature.params;
        return argument_dict(custom->inputs, params);
    }
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    PyRef value;
    const char* key = nullptr;
    if (const auto* text = std::get_if<core::RevertString>(&kind)) {
        key = "message";
        value = PyRef(PyUnicode_DecodeUTF8(
            text->message.data(), static_cast<Py_ssize_t>(text->message.size()), "replace"));
    } else if (const auto* panic = std::get_if<core::Panic>(&kind)) {
        key = "code";
        value = PyRef(PyLong_FromUnsignedLongLong(panic->code));
    } else {
        return out.release();
    }
    if (!value || PyDict_SetItemString(out.get(), key, value.get()) != 0) return nullptr;
    return out.release();
}

/// One layer as (result dict, signature or None, args, readable text or None, index of the
/// argument followed or None).
PyObject* layer_tuple(evm::UnwrapLayer& layer) {
    PyRef signature(layer_signature(layer.decoded));
    if (!signature) return nullptr;
    PyRef arguments(layer_arguments(layer.decoded));
    if (!arguments) return nullptr;
    PyRef readable =
        layer.link == evm::LinkKind::Text
            ? PyRef(PyUnicode_FromStringAndSize(layer.readable.data(),
                                                static_cast<Py_ssize_t>(layer.readable.size())))
            : PyRef::borrow(Py_None);
    if (!readable) return nullptr;
    PyRef followed = layer.link == evm::LinkKind::Argument
                         ? PyRef(PyLong_FromSize_t(layer.argument))
                         : PyRef::borrow(Py_None);
    if (!followed) return nullptr;
    PyRef dict(python::decoded_error_to_dict(std::move(layer.decoded.record)));
    if (!dict) return nullptr;
    return PyTuple_Pack(5, dict.get(), signature.get(), arguments.get(), readable.get(),
                        followed.get());
}

/// Revert data unwrapped into a tuple of layer tuples, outermost first.
PyObject* unwrap_body(const DecoderObject& decoder, PyObject* data) {
    return with_data_bytes(data, [&](std::span<const std::uint8_t> bytes) -> PyObject* {
        auto chain = evm::unwrap_revert(*decoder.registry, *decoder.rules, bytes, std::nullopt);
        if (!chain) return python::raise_error(PyExc_RuntimeError, chain.error().display());
        PyRef out(PyTuple_New(static_cast<Py_ssize_t>(chain->size())));
        if (!out) return nullptr;
        for (std::size_t i = 0; i < chain->size(); ++i) {
            PyObject* layer = layer_tuple((*chain)[i]);
            if (layer == nullptr) return nullptr;
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), layer);
        }
        return out.release();
    });
}

PyObject* unwrap_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!python::parse_fastcall_arguments(kUnwrap, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        return unwrap_body(*as_decoder(self), slots[0]);
    });
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

PyObject* errors_getter(PyObject* self, void*) noexcept {
    return Py_NewRef(as_decoder(self)->errors);
}

constexpr char kDecodeDoc[] =
    "decode($self, data)\n"
    "--\n"
    "\n"
    "Decode revert data (hex text, \"0x\" optional, or a bytes-like object) into the same\n"
    "ten-key dict as kestrix: the user's errors are tried before the built-in ones.";

constexpr char kUnwrapDoc[] =
    "unwrap($self, data)\n"
    "--\n"
    "\n"
    "Decode revert data and every revert it carries, outermost first: a tuple of\n"
    "(result dict, signature or None, args dict, readable text or None, followed argument\n"
    "index or None). kestrix_tools.Decoder.explain is the way to call it.";

constexpr char kErrorsDoc[] = "The canonical signatures of the user's errors, in the order given.";

constexpr char kClassDoc[] =
    "Decoder(definitions=(), *, wrappers=(), causes=())\n--\n\n"
    "A decoder of the built-in errors and of the errors in `definitions`: a sequence of\n"
    "(name, parameters, suggestion or None), each parameter (name, type, components or None).\n"
    "`wrappers` are definitions tried after the built-ins, `causes` one int per wrapper: the\n"
    "index of the parameter holding the revert it caught (negative: none).";

PyMethodDef decoder_methods[] = {
    {"decode", python::as_method(&decode_entry), METH_FASTCALL | METH_KEYWORDS, kDecodeDoc},
    {"unwrap", python::as_method(&unwrap_entry), METH_FASTCALL | METH_KEYWORDS, kUnwrapDoc},
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

const evm::WrapperRules* native_decoder_wrappers(PyObject* object) noexcept {
    if (native_decoder_registry(object) == nullptr) return nullptr;
    return as_decoder(object)->rules.get();
}

} // namespace kestrix::tools
