#include "tools/jsonl_writer_call.hpp"

#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"
#include "tools/jsonl_writer.hpp"

#include <cstdlib>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrix::tools {

namespace {

using python::PyRef;

/// A read-only buffer-protocol view, released with its owner.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    /// Views `object` (None: nothing); false with an exception pending when it has no buffer.
    bool take(PyObject* object) {
        if (object == Py_None) return true;
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) return false;
        held_ = true;
        return true;
    }

    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
        if (!held_) return {};
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

/// The written text, handed to Python without a copy.
struct TextBuffer {
    PyObject_HEAD char* data;
    Py_ssize_t size;
    std::size_t capacity;
};

int text_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* buffer = reinterpret_cast<TextBuffer*>(self);
    static char nothing = 0;
    return PyBuffer_FillInfo(view, self, buffer->data != nullptr ? buffer->data : &nothing,
                             buffer->size, 1, flags);
}

void text_buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* buffer = reinterpret_cast<TextBuffer*>(self);
    recycle_text(buffer->data, buffer->capacity);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot text_buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(text_buffer_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(text_buffer_dealloc)},
    {0, nullptr},
};

PyType_Spec text_buffer_spec = {
    "kestrix_tools._native.TextBuffer",
    sizeof(TextBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    text_buffer_slots,
};

PyTypeObject* text_buffer_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&text_buffer_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* text_buffer_of(JsonLinesText text) {
    PyTypeObject* type = text_buffer_type();
    if (type == nullptr) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* buffer = reinterpret_cast<TextBuffer*>(object);
    buffer->size = static_cast<Py_ssize_t>(text.size());
    buffer->capacity = text.capacity();
    buffer->data = text.release();
    return object;
}

/// The columns of a write_* call, their names and buffers held while the GIL is released.
struct ParsedColumns {
    long long rows = 0;
    PyRef names;
    PyRef specs;
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
    parsed.specs = PyRef(PySequence_Tuple(args[2]));
    if (!parsed.specs) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(parsed.specs.get());
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
        PyObject* spec = PyTuple_GET_ITEM(parsed.specs.get(), i);
        if (!PyTuple_Check(spec) || PyTuple_GET_SIZE(spec) != 5) {
            PyErr_SetString(PyExc_TypeError, "a column is (kind, offset, validity, values, data)");
            return false;
        }
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(spec, 0));
        if (kind == -1 && PyErr_Occurred()) return false;
        if (kind < 0 || kind >= kJsonColumnKinds) {
            PyErr_SetString(PyExc_ValueError, "unknown column kind");
            return false;
        }
        column.kind = static_cast<JsonColumnKind>(kind);
        column.offset = PyLong_AsLongLong(PyTuple_GET_ITEM(spec, 1));
        if (column.offset == -1 && PyErr_Occurred()) return false;
        std::span<const std::uint8_t>* targets[] = {&column.validity, &column.values, &column.data};
        for (int part = 0; part < 3; ++part) {
            parsed.held.push_back(std::make_unique<HeldBuffer>());
            if (!parsed.held.back()->take(PyTuple_GET_ITEM(spec, 2 + part))) return false;
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
