/// Module initialisation: PyInit_kestrix, the process-wide cells, the module attributes and
/// __all__, and the refusal of sub-interpreters.

#define PY_SSIZE_T_CLEAN
#include "python/arguments.hpp"
#include "python/decoder_type.hpp"
#include "python/entry_points.hpp"
#include "python/internal_failure.hpp"
#include "python/main_interpreter.hpp"
#include "python/method_cast.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"

#include <Python.h>

namespace kestrix::python {

namespace {

/// The module made by the first successful initialisation; later ones return it.
PyObject* module_object = nullptr;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kestrix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef decode_error_definition = {
    "decode_error", as_method(&decode_error_entry), METH_FASTCALL | METH_KEYWORDS,
    "decode_error(data)\n--\n\n"
    "Convenience: decode revert data without instantiating a decoder object."};

PyMethodDef panic_meaning_definition = {
    "panic_meaning", as_method(&panic_meaning_entry), METH_FASTCALL | METH_KEYWORDS,
    "panic_meaning(code)\n--\n\n"
    "Get the human-readable description for a Solidity panic code."};

/// The module's __all__ list (borrowed by the returned reference), created empty on first use.
PyRef all_list(PyObject* module) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all) return PyRef();
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return PyRef();
        return all;
    }
    if (!PyList_Check(all.get())) {
        raise_error(PyExc_TypeError, type_mismatch_message(all.get(), "PyList"));
        return PyRef();
    }
    return all;
}

/// Appends `name` to __all__, then sets the attribute.
bool add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name) != 0) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

/// A built-in function bound to the module, stored under its own __name__.
bool add_function(PyObject* module, PyMethodDef* definition) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    return add_attribute(module, name.get(), function.get());
}

bool initialise_module(PyObject* module) {
    if (!ensure_internal_error_type()) return false;
    PyObject* type = decoder_type();
    if (type == nullptr) return false;
    PyRef name(PyUnicode_FromString("EvmErrorDecoder"));
    if (!name || !add_attribute(module, name.get(), type)) return false;
    return add_function(module, &decode_error_definition) &&
           add_function(module, &panic_meaning_definition);
}

PyObject* init_module() {
    if (!require_main_interpreter("kestrix")) return nullptr;
    if (module_object != nullptr) return Py_NewRef(module_object);

    PyRef module(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    if (!initialise_module(module.get())) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

} // namespace

} // namespace kestrix::python

PyMODINIT_FUNC PyInit_kestrix(void) {
    return kestrix::python::guard_entry([] { return kestrix::python::init_module(); });
}
