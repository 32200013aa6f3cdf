/// Module initialisation of kestrix_tools._native: the Decoder class, in the main interpreter.

#define PY_SSIZE_T_CLEAN
#include "python/internal_failure.hpp"
#include "python/main_interpreter.hpp"
#include "python/method_cast.hpp"
#include "python/py_ref.hpp"
#include "tools/arrow_decode_call.hpp"
#include "tools/decoder_type.hpp"
#include "tools/json_nesting.hpp"
#include "tools/jsonl_lines.hpp"
#include "tools/jsonl_writer_call.hpp"
#include "tools/parquet_writer_call.hpp"
#include "tools/revert_chain_type.hpp"
#include "tools/snappy_compress_call.hpp"

#include <Python.h>
#include <climits>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kestrix::tools {

namespace {

/// The module made by the first successful initialisation; later ones return it.
PyObject* module_object = nullptr;

/// The one argument of `name` a size from 0 to `most`; -1 with an exception pending (a TypeError
/// unless `nargs` is 1, else `range` as the ValueError of a size outside it).
Py_ssize_t size_argument(const char* name, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t most,
                         const char* range) noexcept {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 argument", name);
        return -1;
    }
    const Py_ssize_t size = PyLong_AsSsize_t(args[0]);
    if (size == -1 && PyErr_Occurred()) return -1;
    if (size < 0 || size > most) {
        PyErr_SetString(PyExc_ValueError, range);
        return -1;
    }
    return size;
}

/// json_nesting_exceeds(data, limit): whether the UTF-8 JSON text `data` (bytes-like) nests
/// deeper than `limit`.
PyObject* json_nesting_exceeds_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "json_nesting_exceeds() takes exactly 2 arguments");
        return nullptr;
    }
    const Py_ssize_t limit = size_argument("json_nesting_exceeds", args + 1, 1, PY_SSIZE_T_MAX,
                                           "limit must not be negative");
    if (limit < 0) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) != 0) return nullptr;
    const std::string_view text(static_cast<const char*>(view.buf),
                                static_cast<std::size_t>(view.len));
    bool exceeds = false;
    Py_BEGIN_ALLOW_THREADS exceeds = json_nesting_exceeds(text, static_cast<std::size_t>(limit));
    Py_END_ALLOW_THREADS PyBuffer_Release(&view);
    return Py_NewRef(exceeds ? Py_True : Py_False);
}

/// count_json_lines(data): (lines, blank lines) of the bytes-like `data` (see JsonLineCount).
PyObject* count_json_lines_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "count_json_lines() takes exactly 1 argument");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) != 0) return nullptr;
    const std::string_view text(static_cast<const char*>(view.buf),
                                static_cast<std::size_t>(view.len));
    JsonLineCount count;
    Py_BEGIN_ALLOW_THREADS count = count_json_lines(text);
    Py_END_ALLOW_THREADS PyBuffer_Release(&view);
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(count.lines),
                         static_cast<Py_ssize_t>(count.blank));
}

/// fix_mmap_threshold(size): glibc's allocator then maps every block of `size` bytes or more on
/// its own and unmaps it when freed; True where that was done (glibc), False elsewhere. For the
/// command's own process: glibc raises the threshold as large blocks are freed, after which the
/// buffers of a long run come from per-thread heaps whose free memory is never given back.
PyObject* fix_mmap_threshold_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    const Py_ssize_t size = size_argument("fix_mmap_threshold", args, nargs, INT_MAX,
                                          "size must be 0 to 2**31 - 1 bytes");
    if (size < 0) return nullptr;
#if defined(__GLIBC__)
    return Py_NewRef(mallopt(M_MMAP_THRESHOLD, static_cast<int>(size)) == 1 ? Py_True : Py_False);
#else
    return Py_NewRef(Py_False);
#endif
}

PyMethodDef module_methods[] = {
    {"decode_arrow", python::as_method(decode_arrow_call), METH_FASTCALL,
     "decode_arrow(decoder, length, offset, validity, offsets, data, binary, large_offsets, "
     "error_column[, root_cause[, memo]])\n--\n\nDecodes an Arrow string or binary column "
     "given as its buffers; kestrix_tools.decode_arrow is the way to call it."},
    {"decode_memo", python::as_method(decode_memo_call), METH_FASTCALL,
     "decode_memo(decoder, /)\n--\n\nA memo of decoded rows for one thread's calls to "
     "decode_arrow with decoder (or None): repeats of earlier calls' rows are not decoded "
     "again."},
    {"json_nesting_exceeds", python::as_method(json_nesting_exceeds_call), METH_FASTCALL,
     "json_nesting_exceeds(data, limit, /)\n--\n\nWhether the arrays and objects of the UTF-8 "
     "JSON text data (bytes-like), outside its strings, nest deeper than limit."},
    {"fix_mmap_threshold", python::as_method(fix_mmap_threshold_call), METH_FASTCALL,
     "fix_mmap_threshold(size, /)\n--\n\nMakes glibc's allocator map blocks of size bytes or "
     "more on their own, unmapped when freed (True; False where the allocator is not glibc's). "
     "For the kestrix command's own process."},
    {"count_json_lines", python::as_method(count_json_lines_call), METH_FASTCALL,
     "count_json_lines(data, /)\n--\n\n(lines, blank lines) of a block of JSON Lines "
     "(bytes-like): lines end in '\\n', blank ones hold only spaces, tabs and '\\r'."},
    {"write_json_lines", python::as_method(write_json_lines_call), METH_FASTCALL,
     "write_json_lines(rows, names, columns, /)\n--\n\nThe JSON Lines text of a record batch "
     "given as its columns' Arrow buffers, as a read-only buffer; kestrix_tools._arrow_io."
     "jsonl_bytes is the way to call it."},
    {"write_csv", python::as_method(write_csv_call), METH_FASTCALL,
     "write_csv(rows, names, columns, delimiter, header, /)\n--\n\nThe CSV text of a record "
     "batch given as its columns' Arrow buffers, as Arrow's CSV writer writes it, as a read-only "
     "buffer; kestrix_tools._arrow_io.csv_bytes is the way to call it."},
    {"parquet_writer", python::as_method(parquet_writer_call), METH_FASTCALL,
     "parquet_writer(fields, threads, row_group_rows, row_group_bytes, created_by, metadata, "
     "spill_bytes, /)\n--\n\nA streaming Parquet writer (a capsule) for flat columns; "
     "kestrix_tools._arrow_io.ParquetStream is the way to use it."},
    {"parquet_write", python::as_method(parquet_write_call), METH_FASTCALL,
     "parquet_write(writer, rows, names, columns[, memo_rows], /)\n--\n\nEncodes a record "
     "batch given as its columns' Arrow buffers (memo_rows: (numbering, rows, column indices) "
     "from decode_arrow, for columns whose values follow each row's memo row); returns (spill, "
     "pieces): buffers to append to the spill file, then the pieces of the file finished so "
     "far, to be written in order (buffers, and (offset, size) ranges of the spill file)."},
    {"parquet_finish", python::as_method(parquet_finish_call), METH_FASTCALL,
     "parquet_finish(writer, /)\n--\n\nThe pieces of the file's last row group and footer."},
    {"_snappy_compress", python::as_method(snappy_compress_call), METH_FASTCALL,
     "_snappy_compress(data, /)\n--\n\nThe raw Snappy compression of data (bytes-like) as "
     "bytes; for tests."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrix_tools._native",
    "Native decoding for kestrix_tools: the built-in errors and the user's own.",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
    if (!python::require_main_interpreter("kestrix_tools._native")) return nullptr;
    if (module_object != nullptr) return Py_NewRef(module_object);
    if (!python::ensure_internal_error_type()) return nullptr;
    PyObject* type = native_decoder_type();
    if (type == nullptr) return nullptr;

    python::PyRef module(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Decoder", type) != 0) return nullptr;
    PyObject* chain = revert_chain_type();
    if (chain == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "RevertChain", chain) != 0) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

} // namespace

} // namespace kestrix::tools

PyMODINIT_FUNC PyInit__native(void) {
    return kestrix::python::guard_entry([] { return kestrix::tools::init_module(); });
}
