#pragma once
/// An owning reference to a Python object: whatever a function made is released on every path,
/// including early returns and C++ exceptions unwinding through it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <utility>

namespace kestrix::python {

/// Owns one strong reference (or none). Move-only; the destructor drops the reference.
class PyRef {
public:
    PyRef() noexcept = default;
    /// Takes over a new reference, as CPython's "new reference" calls return it (may be NULL).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    /// Adds a reference to a borrowed object and owns that.
    [[nodiscard]] static PyRef borrow(PyObject* borrowed) noexcept {
        return PyRef(Py_XNewRef(borrowed));
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    /// Hands the reference to the caller (for returning to CPython or to a stealing call).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    PyObject* object_ = nullptr;
};

/// The exception CPython has pending, taken out of the interpreter's error indicator and
/// normalised, so it can be inspected, chained and raised again (or dropped).
struct FetchedError {
    PyRef type;
    PyRef value;
    PyRef traceback;

    /// Takes the pending exception (all three parts empty when none is pending).
    [[nodiscard]] static FetchedError take() noexcept {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
        return FetchedError{PyRef(type), PyRef(value), PyRef(traceback)};
    }
    /// Makes this the pending exception again.
    void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

} // namespace kestrix::python
