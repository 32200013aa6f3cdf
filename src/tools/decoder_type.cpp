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
#include "tools/known_registry.hpp"
#include "tools/revert_chain_type.hpp"
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
    /// The class `explain` makes: RevertChain or a subclass.
    PyObject* explanation;
};

DecoderObject* as_decoder(PyObject* self) noexcept {
    return reinterpret_cast<DecoderObject*>(self);
}

constexpr std::array<std::string_view, 1> kDefinitionsParameters{"definitions"};
constexpr python::ArgumentDescription kConstructor{"Decoder()", kDefinitionsParameters};
constexpr std::array<std::string_view, 1> kDataParameters{"data"};
constexpr python::ArgumentDescription kDecode{"Decoder.decode()", kDataParameters};
constexpr python::ArgumentDescription kUnwrap{"Decoder.unwrap()", kDataParameters};
constexpr python::ArgumentDescription kExplain{"Decoder.explain()", kDataParameters};

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

/// `first` then `second`, either of which may be null.
core::RegistryHandle chained(core::RegistryHandle first, core::RegistryHandle second) {
    if (!first) return second;
    if (!second) return first;
    return std::make_shared<core::ChainErrorRegistry>(std::move(first), std::move(second));
}

/// The registries asked after the wrappers: the known errors from `known` (None, or a pair of
/// the compact errors and reasons texts as bytes), then the signature database at
/// `signature_db` (None or a str path). A null handle when neither is given.
std::optional<core::RegistryHandle> known_registries(PyObject* known, PyObject* signature_db) {
    core::RegistryHandle database;
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
        database = std::move(*opened);
    }
    core::RegistryHandle errors;
    if (known != nullptr && known != Py_None) {
        if (!PyTuple_Check(known) || PyTuple_GET_SIZE(known) != 2) {
            python::raise_error(PyExc_TypeError, "known: " + python::type_mismatch_message(
                                                                 known, "tuple of two bytes"));
            return std::nullopt;
        }
        auto texts = bytes_argument(PyTuple_GET_ITEM(known, 0), "known");
        if (!texts) return std::nullopt;
        auto reasons = bytes_argument(PyTuple_GET_ITEM(known, 1), "known");
        if (!reasons) return std::nullopt;
        auto built = build_known_registry(std::move(*texts), *reasons);
        if (!built) {
            python::raise_error(PyExc_ValueError, built.error());
            return std::nullopt;
        }
        errors = std::move(*built);
    }
    return chained(std::move(errors), std::move(database));
}

/// Builds a decoder of `subtype` from the definitions (nullptr: none), the wrappers, the known
/// errors and the signature database.
PyObject* new_decoder(PyTypeObject* subtype, PyObject* definitions, PyObject* wrappers,
                      PyObject* causes, PyObject* explanation, PyObject* known,
                      PyObject* signature_db) {
    PyObject* base = revert_chain_type();
    if (base == nullptr) return nullptr;
    if (explanation == nullptr) explanation = base;
    if (!PyType_Check(explanation) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(explanation),
                          reinterpret_cast<PyTypeObject*>(base))) {
        return python::raise_error(PyExc_TypeError,
                                   "Decoder(): explanation must be a subclass of RevertChain");
    }
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
        auto read = read_wrappers(wrappers, causes);
        if (!read) return nullptr;
        registry =
            std::make_shared<core::ChainErrorRegistry>(std::move(registry), std::move(read->first));
        *rules = std::move(read->second);
    }
    // Then the known errors (with their reason tables) and the user's signature database.
    auto tail = known_registries(known, signature_db);
    if (!tail) return nullptr;
    registry = chained(std::move(registry), std::move(*tail));

    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return nullptr;
    std::construct_at(&as_decoder(self)->registry, std::move(registry));
    std::construct_at(&as_decoder(self)->rules, std::move(rules));
    as_decoder(self)->errors = errors.release();
    as_decoder(self)->explanation = Py_NewRef(explanation);
    return self;
}

PyObject* decoder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        // `wrappers`, `causes`, `explanation`, `known` and `signature_db` are keyword-only; the
        // rest is parsed as before.
        std::array<PyObject*, 5> extra{};
        constexpr std::array<const char*, 5> kExtra{"wrappers", "causes", "explanation", "known",
                                                    "signature_db"};
        PyRef rest;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
            rest = PyRef(PyDict_Copy(kwargs));
            if (!rest) return nullptr;
            for (std::size_t i = 0; i < kExtra.size(); ++i) {
                extra[i] = PyDict_GetItemString(kwargs, kExtra[i]);
                if (extra[i] != nullptr && PyDict_DelItemString(rest.get(), kExtra[i]) != 0)
                    return nullptr;
            }
            if ((extra[0] == nullptr) != (extra[1] == nullptr)) {
                return python::raise_error(PyExc_TypeError,
                                           "Decoder(): wrappers and causes go together");
            }
        }
        const bool none_given =
            PyTuple_GET_SIZE(args) == 0 && (!rest || PyDict_GET_SIZE(rest.get()) == 0);
        if (none_given)
            return new_decoder(subtype, nullptr, extra[0], extra[1], extra[2], extra[3], extra[4]);
        std::array<PyObject*, 1> slots{};
        if (!python::parse_tuple_arguments(kConstructor, args, rest.get(), slots)) return nullptr;
        return new_decoder(subtype, slots[0], extra[0], extra[1], extra[2], extra[3], extra[4]);
    });
}

void decoder_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_decoder(self)->registry);
    std::destroy_at(&as_decoder(self)->rules);
    Py_XDECREF(as_decoder(self)->errors);
    Py_XDECREF(as_decoder(self)->explanation);
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
    // The two standard signatures are made once and shared.
    static PyObject* const error_string = PyUnicode_InternFromString("Error(string)");
    static PyObject* const panic = PyUnicode_InternFromString("Panic(uint256)");
    if (std::holds_alternative<core::RevertString>(decoded.record.kind))
        return error_string != nullptr ? Py_NewRef(error_string) : nullptr;
    if (std::holds_alternative<core::Panic>(decoded.record.kind))
        return panic != nullptr ? Py_NewRef(panic) : nullptr;
    if (decoded.entry != nullptr) {
        const std::string& text = decoded.entry->signature.signature;
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    return Py_NewRef(Py_None);
}

/// One layer as (result dict, signature or None, args, readable text or None, index of the
/// argument followed or None, alternatives: the other signatures that also fit). A custom error's
/// arguments come from the record; the reason of an Error(string) and the code of a panic are the
/// dict's own objects.
PyObject* layer_tuple(evm::UnwrapLayer& layer) {
    PyRef signature(layer_signature(layer.decoded));
    if (!signature) return nullptr;
    PyRef arguments;
    if (const auto* custom = std::get_if<core::CustomError>(&layer.decoded.record.kind)) {
        std::span<const core::ErrorParam> params;
        if (layer.decoded.entry != nullptr) params = layer.decoded.entry->signature.params;
        arguments = PyRef(argument_dict(custom->inputs, params));
        if (!arguments) return nullptr;
    }
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
    // Keys made once and shared: a layer of a reason or a panic costs no new key objects.
    static PyObject* const message_key = PyUnicode_InternFromString("message");
    static PyObject* const panic_code_key = PyUnicode_InternFromString("panic_code");
    static PyObject* const code_key = PyUnicode_InternFromString("code");
    if (message_key == nullptr || panic_code_key == nullptr || code_key == nullptr) return nullptr;
    const auto& kind = layer.decoded.record.kind;
    PyObject* own_key = nullptr;
    PyObject* arg_key = nullptr;
    if (std::holds_alternative<core::RevertString>(kind)) {
        own_key = message_key;
        arg_key = message_key;
    } else if (std::holds_alternative<core::Panic>(kind)) {
        own_key = panic_code_key;
        arg_key = code_key;
    }
    PyRef alternatives = signature_tuple(layer.decoded.record.alternatives);
    if (!alternatives) return nullptr;
    PyRef dict(python::decoded_error_to_dict(std::move(layer.decoded.record)));
    if (!dict) return nullptr;
    if (!arguments) {
        arguments = PyRef(PyDict_New());
        if (!arguments) return nullptr;
        if (own_key != nullptr) {
            PyObject* value = PyDict_GetItemWithError(dict.get(), own_key);
            if (value == nullptr || PyDict_SetItem(arguments.get(), arg_key, value) != 0)
                return nullptr;
        }
    }
    return PyTuple_Pack(6, dict.get(), signature.get(), arguments.get(), readable.get(),
                        followed.get(), alternatives.get());
}

/// Revert data unwrapped into a tuple of layer tuples, outermost first.
PyObject* unwrap_body(DecoderObject& decoder, PyObject* data) {
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

PyObject* explain_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!python::parse_fastcall_arguments(kExplain, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        PyRef layers(unwrap_body(*as_decoder(self), slots[0]));
        if (!layers) return nullptr;
        return new_revert_chain(reinterpret_cast<PyTypeObject*>(as_decoder(self)->explanation),
                                layers.get(), self);
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
    "index or None, alternatives). kestrix_tools.Decoder.explain is the way to call it.";

constexpr char kExplainDoc[] =
    "explain($self, data)\n"
    "--\n"
    "\n"
    "The same layers as unwrap, in an instance of the decoder's explanation class.";

constexpr char kErrorsDoc[] = "The canonical signatures of the user's errors, in the order given.";

constexpr char kClassDoc[] =
    "Decoder(definitions=(), *, wrappers=(), causes=(), explanation=RevertChain, known=None,\n"
    "        signature_db=None)\n--\n\n"
    "A decoder of the built-in errors and of the errors in `definitions`: a sequence of\n"
    "(name, parameters, suggestion or None), each parameter (name, type, components or None).\n"
    "`wrappers` are definitions tried after the built-ins, `causes` one int per wrapper: the\n"
    "index of the parameter holding the revert it caught (negative: none); `explanation` the\n"
    "class `explain` returns; `known` (errors, reasons), the compact texts of the known errors\n"
    "and reason tables as bytes, asked after the wrappers; `signature_db` the path of a\n"
    "signature database, asked last.";

PyMethodDef decoder_methods[] = {
    {"decode", python::as_method(&decode_entry), METH_FASTCALL | METH_KEYWORDS, kDecodeDoc},
    {"unwrap", python::as_method(&unwrap_entry), METH_FASTCALL | METH_KEYWORDS, kUnwrapDoc},
    {"explain", python::as_method(&explain_entry), METH_FASTCALL | METH_KEYWORDS, kExplainDoc},
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
