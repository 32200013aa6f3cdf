#include "tools/column_arguments.hpp"

namespace kestrix::tools {

using python::PyRef;

bool parse_columns(const char* function, PyObject* const* args, ParsedColumns& parsed) {
    parsed.rows = PyLong_AsLongLong(args[0]);
    if (parsed.rows == -1 && PyErr_Occurred()) return false;
    // Tuples of their own: the keys and buffers stay alive while the GIL is released.
    parsed.names = PyRef(PySequence_Tuple(args[1]));
    if (!parsed.names) return false;
    parsed.layouts = PyRef(PySequence_Tuple(args[2]));
    if (!parsed.layouts) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(parsed.layouts.get());
    if (PyTuple_GET_SIZE(parsed.names.get()) != count) {
        PyErr_Format(PyExc_ValueError, "%s() needs one name per column", function);
        return false;
    }
    parsed.columns.resize(static_cast<std::size_t>(count));
    parsed.held.reserve(static_cast<std::size_t>(count) * 3);
    for (Py_ssize_t i = 0; i < count; ++i) {
        JsonColumn& column = parsed.columns[static_cast<std::size_t>(i)];
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(parsed.names.get(), i), &size);
        if (name == nullptr) return false;
        column.name = {name, static_cast<std::size_t>(size)};
        PyObject* layout = PyTuple_GET_ITEM(parsed.layouts.get(), i);
        if (!PyTuple_Check(layout) || PyTuple_GET_SIZE(layout) != 5) {
            PyErr_SetString(PyExc_TypeError, "a column is (kind, offset, validity, values, data)");
            return false;
        }
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(layout, 0));
        if (kind == -1 && PyErr_Occurred()) return false;
        if (kind < 0 || kind >= kJsonColumnKinds) {
            PyErr_SetString(PyExc_ValueError, "unknown column kind");
            return false;
        }
        column.kind = static_cast<JsonColumnKind>(kind);
        column.offset = PyLong_AsLongLong(PyTuple_GET_ITEM(layout, 1));
        if (column.offset == -1 && PyErr_Occurred()) return false;
        std::span<const std::uint8_t>* targets[] = {&column.validity, &column.values, &column.data};
        for (int part = 0; part < 3; ++part) {
            parsed.held.push_back(std::make_unique<HeldBuffer>());
            if (!parsed.held.back()->take(PyTuple_GET_ITEM(layout, 2 + part))) return false;
            *targets[part] = parsed.held.back()->bytes();
        }
    }
    return true;
}

} // namespace kestrix::tools
