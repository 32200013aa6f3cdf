#include "tools/jsonl_writer_call.hpp"

#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"
#include "tools/jsonl_writer.hpp"
#include "tools/python_buffers.hpp"

#include <cstdlib>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrix::tools {

namespace {

using python::PyRef;

/// The written text as a Python buffer, without a copy; the memory goes back to the writer's
/// spares when Arrow lets it go.
PyObject* text_buffer_of(JsonLinesText text) noexcept {
    try {
        auto owner = std::make_shared<const JsonLinesText>(std::move(text));
        const char* data = owner->data();
        const std::size_t size = owner->size();
        return owned_buffer(std::move(owner), data, size);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

/// The columns of a write_* call, their names and buffers held while the GIL is released.
struct ParsedColumns {
    long long rows = 0;
    PyRef names;
    PyRef layouts;
    std::vector<JsonColumn> columns;
    std::vector<std::unique_ptr<HeldBuffer>> held;
};

/// Parses (rows, names, columns) of `function`; false with an exception pending.
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

/// Runs `write` without the GIL (it touches no Python object) and hands its text to Python.
template <typename Write>
PyObject* written_text(const ParsedColumns& parsed, Write write) {
    std::optional<std::expected<JsonLinesText, JsonLinesFailure>> written;
    Py_BEGIN_ALLOW_THREADS written.emplace(write());
    Py_END_ALLOW_THREADS if (!*written) {
        const JsonLinesFailure& failure = written->error();
        if (failure.kind == JsonLinesFailure::Kind::Memory) return PyErr_NoMemory();
        if (failure.column >= parsed.columns.size())
            return python::raise_error(PyExc_ValueError, failure.text);
        PyObject* name =
            PyTuple_GET_ITEM(parsed.names.get(), static_cast<Py_ssize_t>(failure.column));
        return PyErr_Format(PyExc_ValueError, "column %R: %.200s", name,
                            std::string(failure.text).c_str());
    }
    return text_buffer_of(std::move(**written));
}

PyObject* write_json_lines_body(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "write_json_lines() takes exactly 3 arguments");
        return nullptr;
    }
    ParsedColumns parsed;
    if (!parse_columns("write_json_lines", args, parsed)) return nullptr;
    return written_text(parsed, [&] { return write_json_lines(parsed.rows, parsed.columns); });
}

PyObject* write_csv_body(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "write_csv() takes exactly 5 arguments");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* delimiter =
        PyUnicode_Check(args[3]) ? PyUnicode_AsUTF8AndSize(args[3], &size) : nullptr;
    if (delimiter == nullptr || size != 1 || *delimiter == '"' || *delimiter == '\n' ||
        *delimiter == '\r') {
        if (!PyErr_Occurred())
            PyErr_SetString(
                PyExc_ValueError,
                "write_csv() needs a one-character ASCII delimiter other than a quote or "
                "a line end");
        return nullptr;
    }
    const int header = PyObject_IsTrue(args[4]);
    if (header < 0) return nullptr;
    ParsedColumns parsed;
    if (!parse_columns("write_csv", args, parsed)) return nullptr;
    const char chosen = *delimiter;
    return written_text(
        parsed, [&] { return write_csv(parsed.rows, parsed.columns, chosen, header != 0); });
}

} // namespace

PyObject* write_json_lines_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::guard_entry([&]() -> PyObject* { return write_json_lines_body(args, nargs); });
}

PyObject* write_csv_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::guard_entry([&]() -> PyObject* { return write_csv_body(args, nargs); });
}

} // namespace kestrix::tools
