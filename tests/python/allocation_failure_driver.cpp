// An interpreter with the kestrix module and the companion's native module (as `_native`) built
// in, and a counting operator new that fails the
// Nth C++ allocation. It runs the Python script named on its command line, which controls the
// failures through the built-in module `failing_new`: fail_at(n), stop() -> (allocations made,
// whether the armed one failed), live() -> C++ blocks not yet released.

#define PY_SSIZE_T_CLEAN
#include "failing_new.hpp"

#include <Python.h>
#include <cstdio>

extern "C" PyObject* PyInit_kestrix(void);
extern "C" PyObject* PyInit__native(void);

namespace {

PyObject* fail_at(PyObject*, PyObject* argument) {
    const Py_ssize_t n = PyLong_AsSsize_t(argument);
    if (n < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "n must be 0 or more");
        return nullptr;
    }
    kestrix::testing::fail_allocation_at(static_cast<std::size_t>(n));
    Py_RETURN_NONE;
}

PyObject* stop(PyObject*, PyObject*) {
    // Read both before building the result: building it may allocate through Python only.
    const std::size_t made = kestrix::testing::stop_failing();
    const bool failed = kestrix::testing::failure_happened();
    return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(made), failed ? Py_True : Py_False);
}

PyObject* live(PyObject*, PyObject*) {
    return PyLong_FromSize_t(kestrix::testing::live_blocks());
}

PyMethodDef methods[] = {
    {"fail_at", fail_at, METH_O, "Fail the Nth C++ allocation from now on (counting from 0)."},
    {"stop", stop, METH_NOARGS, "Stop failing; (allocations made, whether one failed)."},
    {"live", live, METH_NOARGS, "C++ blocks allocated and not yet released."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef failing_new_module = {
    PyModuleDef_HEAD_INIT, "failing_new", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_failing_new() {
    return PyModule_Create(&failing_new_module);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SCRIPT\n", argv[0]);
        return 2;
    }
    if (PyImport_AppendInittab("kestrix", PyInit_kestrix) != 0 ||
        PyImport_AppendInittab("_native", PyInit__native) != 0 ||
        PyImport_AppendInittab("failing_new", init_failing_new) != 0) {
        return 2;
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The script sees itself as argv[0], as `python SCRIPT` would show it.
    PyStatus status = PyConfig_SetBytesArgv(&config, argc - 1, argv + 1);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    std::FILE* script = std::fopen(argv[1], "rb");
    if (script == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    const int failed = PyRun_SimpleFileExFlags(script, argv[1], 1, nullptr);
    return Py_FinalizeEx() < 0 || failed != 0 ? 1 : 0;
}
