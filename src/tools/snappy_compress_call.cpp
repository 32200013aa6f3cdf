#include "tools/snappy_compress_call.hpp"

#include "tools/snappy_compress.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrix::tools {

PyObject* snappy_compress_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "_snappy_compress() takes exactly 1 argument");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) != 0) return nullptr;
    const auto size = static_cast<std::size_t>(view.len);
    if (size >= (std::size_t{1} << 32)) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "Snappy compresses less than 4 GiB at once");
        return nullptr;
    }
    PyObject* result = PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(snappy_max_compressed_size(size)));
    if (result == nullptr) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    const std::span<const std::uint8_t> input(static_cast<const std::uint8_t*>(view.buf), size);
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result));
    std::size_t written = 0;
    Py_BEGIN_ALLOW_THREADS written = snappy_compress(input, out);
    Py_END_ALLOW_THREADS PyBuffer_Release(&view);
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(written)) != 0) return nullptr;
    return result;
}

} // namespace kestrix::tools
