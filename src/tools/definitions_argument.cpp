#include "tools/definitions_argument.hpp"

#include "python/arguments.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"

#include <string>
#include <string_view>

namespace kestrix::tools {

namespace {

using python::PyRef;

/// Raises ValueError "<where>: <what>"; returns false.
bool shape_error(const std::string& where, std::string_view what) {
    python::raise_error(PyExc_ValueError, where + ": " + std::string(what));
    return false;
}

/// The items of any iterable as a new tuple: code that runs while the items are read cannot
/// change how many there are.
PyRef items_of(PyObject* object) {
    return PyRef(PySequence_Tuple(object));
}

/// The UTF-8 text of a str, or false with ValueError (not a str, or a lone surrogate, which
/// has no UTF-8 form) or CPython's error pending (memory).
bool read_text(PyObject* object, const std::string& where, std::string& out) {
    if (!PyUnicode_Check(object)) {
        return shape_error(where, python::type_mismatch_message(object, "str"));
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &length);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        return shape_error(where, "not valid Unicode text (it holds a lone surrogate)");
    }
    out.assign(utf8, static_cast<std::size_t>(length));
    return true;
}

/// A triple: the sequence holding exactly three items, or an empty reference with ValueError.
PyRef triple(PyObject* object, const std::string& where, std::string_view shape) {
    if (PyUnicode_Check(object) || PyBytes_Check(object)) {
        shape_error(where, "expected " + std::string(shape));
        return PyRef();
    }
    PyRef items = items_of(object);
    if (!items) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return PyRef();
        PyErr_Clear();
        shape_error(where, "expected " + std::string(shape));
        return PyRef();
    }
    if (PyTuple_GET_SIZE(items.get()) != 3) {
        shape_error(where, "expected " + std::string(shape) + ", got " +
                               std::to_string(PyTuple_GET_SIZE(items.get())) + " items");
        return PyRef();
    }
    return items;
}

bool read_params(PyObject* object, const std::string& where, std::size_t depth,
                 std::vector<ParamDefinition>& out);

bool read_param(PyObject* object, const std::string& where, std::size_t depth,
                ParamDefinition& out) {
    const PyRef items = triple(object, where, "(name, type, components)");
    if (!items) return false;
    PyObject* const* item = &PyTuple_GET_ITEM(items.get(), 0);
    if (!read_text(item[0], where + " name", out.name)) return false;
    if (!read_text(item[1], where + " type", out.type)) return false;
    if (item[2] == Py_None) return true;
    if (depth >= kMaxComponentNesting) return shape_error(where, "components nested too deeply");
    return read_params(item[2], where, depth + 1, out.components.emplace());
}

bool read_params(PyObject* object, const std::string& where, std::size_t depth,
                 std::vector<ParamDefinition>& out) {
    if (PyUnicode_Check(object) || PyBytes_Check(object)) {
        return shape_error(where, "parameters must be a sequence");
    }
    const PyRef items = items_of(object);
    if (!items) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        return shape_error(where, "parameters must be a sequence");
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(count));
    // Parameters of the error at the top, components of a tuple below it.
    const std::string_view item_word = depth == 0 ? " parameter " : " component ";
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::string at = where + std::string(item_word) + std::to_string(i + 1);
        if (!read_param(PyTuple_GET_ITEM(items.get(), i), at, depth,
                        out[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return true;
}

bool read_definition(PyObject* object, std::size_t index, ErrorDefinition& out) {
    const std::string where = "definition " + std::to_string(index + 1);
    const PyRef items = triple(object, where, "(name, parameters, suggestion)");
    if (!items) return false;
    PyObject* const* item = &PyTuple_GET_ITEM(items.get(), 0);
    if (!read_text(item[0], where + " name", out.name)) return false;
    if (!read_params(item[1], where, 0, out.params)) return false;
    if (item[2] == Py_None) return true;
    return read_text(item[2], where + " suggestion", out.suggestion.emplace());
}

} // namespace

std::optional<std::vector<ErrorDefinition>> read_definitions(PyObject* definitions) {
    PyRef items = items_of(definitions);
    if (!items) return std::nullopt;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    std::vector<ErrorDefinition> out(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!read_definition(PyTuple_GET_ITEM(items.get(), i), static_cast<std::size_t>(i),
                             out[static_cast<std::size_t>(i)])) {
            return std::nullopt;
        }
    }
    return out;
}

} // namespace kestrix::tools
