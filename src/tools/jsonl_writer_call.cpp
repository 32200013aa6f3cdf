#include "tools/jsonl_writer_call.hpp"

#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"
#include "tools/column_arguments.hpp"
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
