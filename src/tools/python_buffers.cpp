#include "tools/python_buffers.hpp"

#include <memory>
#include <utility>

namespace kestrix::tools {

namespace {

struct OwnedBuffer {
    PyObject_HEAD std::shared_ptr<const void> owner;
    const void* data;
    Py_ssize_t size;
};

int owned_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* buffer = reinterpret_cast<OwnedBuffer*>(self);
    // The memory is never written through: a writable request fails.
    return PyBuffer_FillInfo(view, self, const_cast<void*>(buffer->data), buffer->size, 1, flags);
}

void owned_buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<OwnedBuffer*>(self)->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot owned_buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(owned_buffer_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(owned_buffer_dealloc)},
    {0, nullptr},
};

PyType_Spec owned_buffer_spec = {
    "kestrix_tools._native.OwnedBuffer",
    sizeof(OwnedBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    owned_buffer_slots,
};

/// The type, made on first need and kept for the process.
PyTypeObject* owned_buffer_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&owned_buffer_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

} // namespace

PyObject* owned_buffer(std::shared_ptr<const void> owner, const void* data,
                       std::size_t size) noexcept {
    PyTypeObject* type = owned_buffer_type();
    if (type == nullptr) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* buffer = reinterpret_cast<OwnedBuffer*>(object);
    std::construct_at(&buffer->owner, std::move(owner));
    static const std::uint8_t nothing = 0;
    buffer->data = size != 0 ? data : &nothing; // an empty vector may hold no pointer at all
    buffer->size = static_cast<Py_ssize_t>(size);
    return object;
}

} // namespace kestrix::tools
