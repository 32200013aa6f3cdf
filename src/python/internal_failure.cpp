#include "python/internal_failure.hpp"

#include "python/raise_error.hpp"

namespace kestrix::python {

namespace {

/// Set once, the first time module initialisation gets that far; kept for the process.
PyObject* internal_error_type = nullptr;

} // namespace

bool ensure_internal_error_type() noexcept {
    if (internal_error_type != nullptr) return true;
    PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrix.InternalError",
        "An internal invariant of kestrix failed; the call that hit it was abandoned.",
        PyExc_BaseException, nullptr);
    if (type == nullptr) return false;
    internal_error_type = type;
    return true;
}

PyObject* raise_internal_failure(std::string_view message) noexcept {
    // The report is capped; the exception carries the whole message.
    const int shown = static_cast<int>(message.size() < 900 ? message.size() : 900);
    PySys_WriteStderr("kestrix: internal invariant failure: %.*s\n", shown, message.data());
    PyObject* type = internal_error_type != nullptr ? internal_error_type : PyExc_SystemError;
    return raise_error(type, message);
}

} // namespace kestrix::python
