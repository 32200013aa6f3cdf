// Placeholder until the module surface lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef kestrix_module = {
    PyModuleDef_HEAD_INIT, "kestrix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_kestrix(void) {
    return PyModule_Create2(&kestrix_module, 1013);
}
