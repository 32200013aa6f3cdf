#include "tools/parquet_writer_call.hpp"

#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"
#include "tools/column_arguments.hpp"
#include "tools/parquet_writer.hpp"
#include "tools/python_buffers.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrix::tools {

namespace {

using python::PyRef;

constexpr const char* kCapsuleName = "kestrix_tools._native.ParquetWriter";

void free_writer(PyObject* capsule) noexcept {
    delete static_cast<ParquetWriter*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

/// The writer inside `capsule`, or nullptr with an exception pending.
ParquetWriter* writer_of(PyObject* capsule) noexcept {
    return static_cast<ParquetWriter*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

/// A str argument as UTF-8 (or a bytes one as it is), or nullopt with an exception pending.
std::optional<std::string> text_of(PyObject* object) {
    if (PyBytes_Check(object))
        return std::string(PyBytes_AS_STRING(object),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(size));
}

/// The exception of a failure, naming the column where there is one.
PyObject* raise_failure(const ParquetFailure& failure, PyObject* names) noexcept {
    switch (failure.kind) {
    case ParquetFailure::Kind::Memory:
        return PyErr_NoMemory();
    case ParquetFailure::Kind::Misuse:
        return python::raise_error(PyExc_RuntimeError, failure.text);
    case ParquetFailure::Kind::Buffers:
        break;
    }
    if (names == nullptr || failure.column >= static_cast<std::size_t>(PyTuple_GET_SIZE(names)))
        return python::raise_error(PyExc_ValueError, failure.text);
    return PyErr_Format(PyExc_ValueError, "column %R: %.200s",
                        PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(failure.column)),
                        std::string(failure.text).c_str());
}

/// A read-only buffer over the bytes' own memory.
PyObject* buffer_of(const ParquetBytes& bytes) {
    return owned_buffer(bytes, bytes->data(), bytes->size());
}

/// The pieces as a list: read-only buffers over their own memory, and (offset, size) pairs
/// for the ranges of the spill file.
PyObject* list_of(const ParquetPieces& pieces) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const ParquetPiece& piece = pieces[i];
        PyObject* item = piece.bytes
                             ? buffer_of(piece.bytes)
                             : Py_BuildValue("(LL)", static_cast<long long>(piece.spill_offset),
                                             static_cast<long long>(piece.spill_size));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

/// (spill, pieces): buffers to append to the spill file, then the pieces of the file.
PyObject* output_of(const ParquetSpill& spill, const ParquetPieces& pieces) {
    PyRef spilled(PyList_New(static_cast<Py_ssize_t>(spill.size())));
    if (!spilled) return nullptr;
    for (std::size_t i = 0; i < spill.size(); ++i) {
        PyObject* buffer = buffer_of(spill[i]);
        if (buffer == nullptr) return nullptr;
        PyList_SET_ITEM(spilled.get(), static_cast<Py_ssize_t>(i), buffer);
    }
    PyRef listed(list_of(pieces));
    if (!listed) return nullptr;
    return PyTuple_Pack(2, spilled.get(), listed.get());
}

PyObject* parquet_writer_body(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7) {
        PyErr_SetString(PyExc_TypeError, "parquet_writer() takes exactly 7 arguments");
        return nullptr;
    }
    PyRef fields(PySequence_Tuple(args[0]));
    if (!fields) return nullptr;
    std::vector<ParquetField> parsed;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(fields.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
            PyErr_SetString(PyExc_TypeError, "a field is (name, kind, nullable, statistics)");
            return nullptr;
        }
        auto name = text_of(PyTuple_GET_ITEM(item, 0));
        if (!name) return nullptr;
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(item, 1));
        if (kind == -1 && PyErr_Occurred()) return nullptr;
        if (kind < 0 || kind >= kParquetKinds) {
            PyErr_SetString(PyExc_ValueError, "unknown column kind");
            return nullptr;
        }
        const int nullable = PyObject_IsTrue(PyTuple_GET_ITEM(item, 2));
        const int statistics = PyObject_IsTrue(PyTuple_GET_ITEM(item, 3));
        if (nullable < 0 || statistics < 0) return nullptr;
        parsed.push_back(
            {std::move(*name), static_cast<ParquetKind>(kind), nullable != 0, statistics != 0});
    }
    ParquetOptions options;
    const long threads = PyLong_AsLong(args[1]);
    options.row_group_rows = PyLong_AsLongLong(args[2]);
    const Py_ssize_t group_bytes = PyLong_AsSsize_t(args[3]);
    const Py_ssize_t spill_bytes = PyLong_AsSsize_t(args[6]);
    if (PyErr_Occurred()) return nullptr;
    if (threads < 1 || threads > 256 || group_bytes < 1 || spill_bytes < 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be 1 to 256, row_group_bytes positive "
                                          "and spill_bytes not negative");
        return nullptr;
    }
    options.threads = static_cast<unsigned>(threads);
    options.row_group_bytes = static_cast<std::size_t>(group_bytes);
    options.spill_bytes = static_cast<std::size_t>(spill_bytes);
    auto created_by = text_of(args[4]);
    if (!created_by) return nullptr;
    options.created_by = std::move(*created_by);
    PyRef metadata(PySequence_Tuple(args[5]));
    if (!metadata) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(metadata.get()); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(metadata.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "metadata is a sequence of (key, value) pairs");
            return nullptr;
        }
        auto key = text_of(PyTuple_GET_ITEM(pair, 0));
        if (!key) return nullptr;
        auto value = text_of(PyTuple_GET_ITEM(pair, 1));
        if (!value) return nullptr;
        options.metadata.emplace_back(std::move(*key), std::move(*value));
    }
    auto writer = ParquetWriter::open(std::move(parsed), std::move(options));
    if (!writer) return raise_failure(writer.error(), nullptr);
    auto owned = std::make_unique<ParquetWriter>(std::move(*writer));
    PyObject* capsule = PyCapsule_New(owned.get(), kCapsuleName, free_writer);
    if (capsule != nullptr) owned.release();
    return capsule;
}

/// The memo rows argument, (numbering, rows, column indices), into `memo`; false with an
/// exception pending.
bool parse_memo_rows(PyObject* argument, std::size_t columns, HeldBuffer& rows,
                     ParquetMemoRows& memo) {
    if (!PyTuple_Check(argument) || PyTuple_GET_SIZE(argument) != 3) {
        PyErr_SetString(PyExc_TypeError, "memo rows are (numbering, rows, column indices)");
        return false;
    }
    memo.numbering = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(argument, 0));
    if (PyErr_Occurred() || !rows.take(PyTuple_GET_ITEM(argument, 1))) return false;
    memo.rows = rows.bytes();
    PyRef indices(PySequence_Tuple(PyTuple_GET_ITEM(argument, 2)));
    if (!indices) return false;
    memo.follows.assign(columns, false);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(indices.get()); ++i) {
        const Py_ssize_t column = PyLong_AsSsize_t(PyTuple_GET_ITEM(indices.get(), i));
        if (column == -1 && PyErr_Occurred()) return false;
        if (column < 0 || static_cast<std::size_t>(column) >= columns) {
            PyErr_SetString(PyExc_ValueError, "a memo rows column index outside the batch");
            return false;
        }
        memo.follows[static_cast<std::size_t>(column)] = true;
    }
    return true;
}

PyObject* parquet_write_body(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "parquet_write() takes 4 or 5 arguments");
        return nullptr;
    }
    ParquetWriter* writer = writer_of(args[0]);
    if (writer == nullptr) return nullptr;
    ParsedColumns parsed;
    if (!parse_columns("parquet_write", args + 1, parsed)) return nullptr;
    HeldBuffer memo_buffer;
    ParquetMemoRows memo;
    const bool with_memo = nargs == 5 && args[4] != Py_None;
    if (with_memo && !parse_memo_rows(args[4], parsed.columns.size(), memo_buffer, memo))
        return nullptr;
    ParquetPieces pieces;
    ParquetSpill spill;
    std::optional<std::expected<void, ParquetFailure>> written;
    Py_BEGIN_ALLOW_THREADS written.emplace(
        writer->write(parsed.rows, parsed.columns, pieces, spill, with_memo ? &memo : nullptr));
    Py_END_ALLOW_THREADS if (!*written) return raise_failure(written->error(), parsed.names.get());
    return output_of(spill, pieces);
}

PyObject* parquet_finish_body(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "parquet_finish() takes exactly 1 argument");
        return nullptr;
    }
    ParquetWriter* writer = writer_of(args[0]);
    if (writer == nullptr) return nullptr;
    ParquetPieces pieces;
    std::optional<std::expected<void, ParquetFailure>> finished;
    Py_BEGIN_ALLOW_THREADS finished.emplace(writer->finish(pieces));
    Py_END_ALLOW_THREADS if (!*finished) return raise_failure(finished->error(), nullptr);
    return list_of(pieces);
}

} // namespace

PyObject* parquet_writer_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::guard_entry([&]() -> PyObject* { return parquet_writer_body(args, nargs); });
}

PyObject* parquet_write_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::guard_entry([&]() -> PyObject* { return parquet_write_body(args, nargs); });
}

PyObject* parquet_finish_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::guard_entry([&]() -> PyObject* { return parquet_finish_body(args, nargs); });
}

} // namespace kestrix::tools
