#pragma once
/// Internal invariant failures: states the code treats as impossible end the current Python call
/// with one dedicated exception type derived directly from BaseException, so that ordinary
/// `except Exception` handlers do not swallow them. Also the guard that keeps C++ exceptions
/// from ever reaching CPython.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <exception>
#include <new>
#include <string_view>

namespace kestrix::python {

/// Creates the exception type once per process ("kestrix.InternalError"). It is not a module
/// attribute. Returns false with a Python exception pending when CPython cannot create it.
[[nodiscard]] bool ensure_internal_error_type() noexcept;

/// Writes a short report of the failure to standard error, then raises the internal-invariant
/// exception with `message`. Always returns nullptr so callers can `return` it.
PyObject* raise_internal_failure(std::string_view message) noexcept;

/// Runs `body` (which returns a new reference or nullptr with an exception pending) and turns
/// every C++ exception escaping it into a Python one: std::bad_alloc becomes MemoryError,
/// anything else the internal-invariant exception.
template <class Body>
[[nodiscard]] auto guard_entry(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_failure(error.what());
    } catch (...) {
        raise_internal_failure("unexpected C++ exception");
    }
    return {};
}

} // namespace kestrix::python
