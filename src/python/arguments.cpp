#include "python/arguments.hpp"

#include "python/py_ref.hpp"
#include "python/raise_error.hpp"

#include <cstddef>

namespace kestrix::python {

namespace {

void raise_type_error(const std::string& message) {
    raise_error(PyExc_TypeError, message);
}

/// Step 1 of parsing: more positional arguments than parameters.
bool check_positional_count(const ArgumentDescription& description, Py_ssize_t given) {
    const auto accepted = static_cast<Py_ssize_t>(description.parameters.size());
    if (given <= accepted) return true;
    raise_type_error(std::string(description.full_name) + " takes " + std::to_string(accepted) +
                     " positional arguments but " + std::to_string(given) + " " +
                     (given == 1 ? "was" : "were") + " given");
    return false;
}

/// Step 3 for one keyword: matched by the exact UTF-8 name.
bool fill_keyword(const ArgumentDescription& description, PyObject* name, PyObject* value,
                  std::span<PyObject*> slots) {
    if (!PyUnicode_Check(name)) {
        raise_type_error(std::string(description.full_name) + " keywords must be strings");
        return false;
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
    if (utf8 == nullptr) return false;
    const std::string_view text(utf8, static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        if (description.parameters[i] != text) continue;
        if (slots[i] != nullptr) {
            raise_type_error(std::string(description.full_name) +
                             " got multiple values for argument '" + std::string(text) + "'");
            return false;
        }
        slots[i] = value;
        return true;
    }
    raise_type_error(std::string(description.full_name) + " got an unexpected keyword argument '" +
                     std::string(text) + "'");
    return false;
}

/// Step 4: every parameter must be filled.
bool check_all_filled(const ArgumentDescription& description, std::span<PyObject*> slots) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        if (slots[i] == nullptr) ++missing;
    }
    if (missing == 0) return true;

    std::string message = std::string(description.full_name) + " missing " +
                          std::to_string(missing) + " required positional " +
                          (missing == 1 ? "argument" : "arguments") + ": ";
    std::size_t listed = 0;
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) message.append(listed + 1 == missing ? " and " : ", ");
        message.append("'").append(description.parameters[i]).append("'");
        ++listed;
    }
    raise_type_error(message);
    return false;
}

/// Replaces a pending TypeError by "argument '<name>': <its message>", keeping its __cause__.
/// Any other pending exception is left as it is.
void wrap_argument_type_error(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    FetchedError original = FetchedError::take();
    PyRef text(PyObject_Str(original.value.get()));
    if (!text) return; // The failure to read the message is what propagates.
    PyRef message(
        PyUnicode_FromFormat("argument '%.200s': %U", std::string(name).c_str(), text.get()));
    if (!message) return;
    PyErr_SetObject(PyExc_TypeError, message.get());
    PyRef cause(PyException_GetCause(original.value.get()));
    if (!cause) return;
    FetchedError replacement = FetchedError::take();
    PyException_SetCause(replacement.value.get(), cause.release());
    replacement.restore();
}

} // namespace

bool parse_fastcall_arguments(const ArgumentDescription& description, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    if (!check_positional_count(description, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = args[i];
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!fill_keyword(description, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
            return false;
        }
    }
    return check_all_filled(description, slots);
}

bool parse_tuple_arguments(const ArgumentDescription& description, PyObject* args, PyObject* kwargs,
                           std::span<PyObject*> slots) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (!check_positional_count(description, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!fill_keyword(description, name, value, slots)) return false;
        }
    }
    return check_all_filled(description, slots);
}

std::string type_mismatch_message(PyObject* object, std::string_view expected) {
    std::string type_name = "<failed to extract type name>";
    PyRef qualname(PyType_GetQualName(Py_TYPE(object)));
    Py_ssize_t length = 0;
    const char* utf8 = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &length) : nullptr;
    if (utf8 != nullptr) {
        type_name.assign(utf8, static_cast<std::size_t>(length));
    } else {
        PyErr_Clear();
    }
    return "'" + type_name + "' object cannot be converted to '" + std::string(expected) + "'";
}

std::optional<std::string_view> convert_data_argument(PyObject* data) {
    if (!PyUnicode_Check(data)) {
        raise_type_error("argument 'data': " + type_mismatch_message(data, "PyString"));
        return std::nullopt;
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(data, &length);
    if (utf8 == nullptr) return std::nullopt;
    return std::string_view(utf8, static_cast<std::size_t>(length));
}

bool check_context_argument(PyObject* context) {
    if (PyDict_Check(context)) return true;
    raise_type_error("argument 'context': " + type_mismatch_message(context, "PyDict"));
    return false;
}

std::optional<std::uint64_t> convert_code_argument(PyObject* code) {
    PyRef index;
    PyObject* number = code;
    if (!PyLong_Check(code)) {
        index = PyRef(PyNumber_Index(code));
        if (!index) {
            wrap_argument_type_error("code");
            return std::nullopt;
        }
        number = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number);
    // All ones is a valid code; it means failure only together with a pending exception.
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

} // namespace kestrix::python
