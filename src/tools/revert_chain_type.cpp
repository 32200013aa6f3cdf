#include "tools/revert_chain_type.hpp"

#include "python/internal_failure.hpp"
#include "python/raise_error.hpp"

#include <cstddef>
#include <structmember.h>

namespace kestrix::tools {

namespace {

/// Instance layout: the layer tuples, outermost first, and the decoder that made them (for
/// decoding a wrapper's extras on demand).
struct RevertChainObject {
    PyObject_HEAD PyObject* layers;
    PyObject* decoder;
    /// What the Python subclass builds from the layers on first need (None until then).
    PyObject* cache;
};

RevertChainObject* as_chain(PyObject* self) noexcept {
    return reinterpret_cast<RevertChainObject*>(self);
}

PyObject* chain_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return python::guard_entry([&]() -> PyObject* {
        PyObject* layers = nullptr;
        PyObject* decoder = Py_None;
        static const char* keywords[] = {"layers", "decoder", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|O:RevertChain",
                                         const_cast<char**>(keywords), &PyTuple_Type, &layers,
                                         &decoder)) {
            return nullptr;
        }
        if (PyTuple_GET_SIZE(layers) == 0) {
            return python::raise_error(PyExc_ValueError, "a revert chain has at least one layer");
        }
        return new_revert_chain(subtype, layers, decoder);
    });
}

void chain_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_chain(self)->layers);
    Py_CLEAR(as_chain(self)->decoder);
    Py_CLEAR(as_chain(self)->cache);
    type->tp_free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

PyMemberDef chain_members[] = {
    {"_layers", T_OBJECT, offsetof(RevertChainObject, layers), READONLY,
     "The layer tuples, outermost first."},
    {"_decoder", T_OBJECT, offsetof(RevertChainObject, decoder), READONLY,
     "The decoder that made them, or None."},
    {"_cache", T_OBJECT, offsetof(RevertChainObject, cache), 0,
     "Kept for the subclass: None until it stores something."},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr char kClassDoc[] =
    "RevertChain(layers, decoder=None)\n--\n\n"
    "The layers of one unwrapped revert, outermost first, each (result dict, signature or\n"
    "None, args, readable text or None, followed argument index or None).";

PyType_Slot chain_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&chain_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&chain_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_members, chain_members},
    {0, nullptr},
};

// Not garbage-collected: it holds a tuple of plain values, a decoder and what the subclass
// makes from the values, none of which leads back to it.
PyType_Spec chain_spec = {
    "kestrix_tools._native.RevertChain",
    static_cast<int>(sizeof(RevertChainObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    chain_slots,
};

PyObject* chain_type_cell = nullptr;

} // namespace

PyObject* revert_chain_type() noexcept {
    if (chain_type_cell == nullptr) chain_type_cell = PyType_FromSpec(&chain_spec);
    return chain_type_cell;
}

PyObject* new_revert_chain(PyTypeObject* type, PyObject* layers, PyObject* decoder) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_chain(self)->layers = Py_NewRef(layers);
    as_chain(self)->decoder = Py_NewRef(decoder);
    return self;
}

} // namespace kestrix::tools
