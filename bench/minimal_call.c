/* The floor a decode call is measured against: one METH_FASTCALL function that takes the str,
 * hex-decodes it and returns a ten-key dict with the value types of a decode result, making a
 * new key object for every insertion. Also exposes callgrind client requests so one valgrind
 * run can count the instructions of each benchmark case separately. Built only by bench/run.py.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <stdlib.h>
#include <valgrind/callgrind.h>

static int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static int set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == NULL) return -1;
    PyObject* key_object = PyUnicode_FromString(key);
    if (key_object == NULL) {
        Py_DECREF(value);
        return -1;
    }
    int rc = PyDict_SetItem(dict, key_object, value);
    Py_DECREF(key_object);
    Py_DECREF(value);
    return rc;
}

/* "0x" and two lowercase digits per byte, written into a new str. */
static PyObject* hex_str(const uint8_t* bytes, Py_ssize_t n) {
    static const char digits[] = "0123456789abcdef";
    PyObject* s = PyUnicode_New(2 + 2 * n, 127);
    if (s == NULL) return NULL;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(s);
    *out++ = '0';
    *out++ = 'x';
    for (Py_ssize_t i = 0; i < n; ++i) {
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 15];
    }
    return s;
}

static PyObject* minimal_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 1 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "decode(data: str)");
        return NULL;
    }
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(args[0], &length);
    if (text == NULL) return NULL;
    if (length >= 2 && text[0] == '0' && text[1] == 'x') text += 2, length -= 2;
    if (length % 2 != 0) {
        PyErr_SetString(PyExc_ValueError, "hex decode: Odd number of digits");
        return NULL;
    }
    Py_ssize_t n = length / 2;
    uint8_t* bytes = malloc(n ? (size_t)n : 1);
    if (bytes == NULL) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; ++i) {
        int hi = hex_digit((unsigned char)text[2 * i]),
            lo = hex_digit((unsigned char)text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            free(bytes);
            PyErr_SetString(PyExc_ValueError, "hex decode: Invalid character");
            return NULL;
        }
        bytes[i] = (uint8_t)(hi << 4 | lo);
    }
    PyObject* dict = PyDict_New();
    if (dict == NULL) {
        free(bytes);
        return NULL;
    }
    int ok = set_item(dict, "raw_data", hex_str(bytes, n)) == 0 &&
             set_item(dict, "selector", n >= 4 ? hex_str(bytes, 4) : Py_NewRef(Py_None)) == 0 &&
             set_item(dict, "suggestion", PyUnicode_FromString("A suggestion.")) == 0 &&
             set_item(dict, "confidence", PyFloat_FromDouble(n ? 1.0 : 0.5)) == 0 &&
             set_item(dict, "kind", PyUnicode_FromString(n ? "raw_revert" : "empty")) == 0 &&
             set_item(dict, "message", Py_NewRef(Py_None)) == 0 &&
             set_item(dict, "error_name", Py_NewRef(Py_None)) == 0 &&
             set_item(dict, "inputs", Py_NewRef(Py_None)) == 0 &&
             set_item(dict, "panic_code", Py_NewRef(Py_None)) == 0 &&
             set_item(dict, "panic_meaning", Py_NewRef(Py_None)) == 0;
    free(bytes);
    if (!ok) {
        Py_DECREF(dict);
        return NULL;
    }
    return dict;
}

/* Callgrind: forget the counts so far (a no-op outside valgrind). */
static PyObject* callgrind_zero(PyObject* self, PyObject* unused) {
    (void)self, (void)unused;
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

/* Callgrind: write the counts since the last zero under a label. */
static PyObject* callgrind_dump(PyObject* self, PyObject* label) {
    (void)self;
    const char* text = PyUnicode_AsUTF8(label);
    if (text == NULL) return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject* running_on_valgrind(PyObject* self, PyObject* unused) {
    (void)self, (void)unused;
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static PyMethodDef methods[] = {
    {"decode", (PyCFunction)(void (*)(void))minimal_decode, METH_FASTCALL, NULL},
    {"callgrind_zero", callgrind_zero, METH_NOARGS, NULL},
    {"callgrind_dump", callgrind_dump, METH_O, NULL},
    {"running_on_valgrind", running_on_valgrind, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "minimal_call", NULL, -1, methods};

PyMODINIT_FUNC PyInit_minimal_call(void) {
    return PyModule_Create(&module);
}
