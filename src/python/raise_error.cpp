#include "python/raise_error.hpp"

#include "python/py_ref.hpp"

namespace kestrix::python {

PyObject* raise_error(PyObject* type, std::string_view message) noexcept {
    PyRef text(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

} // namespace kestrix::python
