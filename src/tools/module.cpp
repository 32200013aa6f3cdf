/// Module initialisation of kestrix_tools._native: the Decoder class, in the main interpreter.

#define PY_SSIZE_T_CLEAN
#include "python/internal_failure.hpp"
#include "python/main_interpreter.hpp"
#include "python/method_cast.hpp"
#include "python/py_ref.hpp"
#include "tools/arrow_decode_call.hpp"
#include "tools/decoder_type.hpp"
#include "tools/revert_chain_type.hpp"

#include <Python.h>

namespace kestrix::tools {

namespace {

/// The module made by the first successful initialisation; later ones return it.
PyObject* module_object = nullptr;

PyMethodDef module_methods[] = {
    {"decode_arrow", python::as_method(decode_arrow_call), METH_FASTCALL,
     "decode_arrow(decoder, length, offset, validity, offsets, data, binary, large_offsets, "
     "error_column)\n--\n\nDecodes an Arrow string or binary column given as its buffers; "
     "kestrix_tools.decode_arrow is the way to call it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrix_tools._native",
    "Native decoding for kestrix_tools: the built-in errors and the user's own.",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
    if (!python::require_main_interpreter("kestrix_tools._native")) return nullptr;
    if (module_object != nullptr) return Py_NewRef(module_object);
    if (!python::ensure_internal_error_type()) return nullptr;
    PyObject* type = native_decoder_type();
    if (type == nullptr) return nullptr;

    python::PyRef module(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Decoder", type) != 0) return nullptr;
    PyObject* chain = revert_chain_type();
    if (chain == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "RevertChain", chain) != 0) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

} // namespace

} // namespace kestrix::tools

PyMODINIT_FUNC PyInit__native(void) {
    return kestrix::python::guard_entry([] { return kestrix::tools::init_module(); });
}
