#include "python/result_dict.hpp"

#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"
#include "python/result_fields.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace kestrix::python {

namespace {

PyRef make_text(std::string_view text) {
    return PyRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef none() {
    return PyRef::borrow(Py_None);
}

template <class Text>
PyRef make_optional_text(const std::optional<Text>& text) {
    return text ? make_text(*text) : none();
}

/// Fills the dict key by key; the first failure stops it and leaves the exception pending.
class DictFiller {
public:
    explicit DictFiller(PyObject* dict) noexcept : dict_(dict) {}

    /// Inserts `key` with `value` (which may be nullptr when making it failed).
    bool set(std::string_view key, PyRef value) {
        if (!value) return api_call_failed();
        PyRef key_object = make_text(key);
        if (!key_object) return api_call_failed();
        return PyDict_SetItem(dict_, key_object.get(), value.get()) == 0;
    }

    /// Keys 5 to 10: the kind's name and its own values, None where they do not apply. Each
    /// object is made just before it is inserted, so nothing is made once a step has failed.
    bool set_kind_fields(std::string_view kind, const KindFields& fields) {
        return set("kind", make_text(kind)) && set("message", make_optional_text(fields.message)) &&
               set("error_name", make_optional_text(fields.error_name)) &&
               set("inputs", make_optional_text(fields.inputs)) &&
               set("panic_code", fields.panic_code
                                     ? PyRef(PyLong_FromUnsignedLongLong(*fields.panic_code))
                                     : none()) &&
               set("panic_meaning", make_optional_text(fields.panic_meaning));
    }

    /// A CPython call that should not fail did: print its error, then raise the
    /// internal-invariant exception.
    static bool api_call_failed() {
        PyErr_Print();
        raise_internal_failure("Python API call failed");
        return false;
    }

private:
    PyObject* dict_;
};

} // namespace

PyObject* decoded_error_to_dict(core::DecodedError record) {
    PyRef dict(PyDict_New());
    if (!dict) {
        DictFiller::api_call_failed();
        return nullptr;
    }
    DictFiller fill(dict.get());

    const std::string raw_data = hex_text(record.raw_data);
    std::optional<std::string> selector;
    if (record.selector) selector = hex_text(*record.selector);

    const bool common =
        fill.set("raw_data", make_text(raw_data)) &&
        fill.set("selector", make_optional_text(selector)) &&
        fill.set("suggestion", make_optional_text(record.suggestion)) &&
        fill.set("confidence", PyRef(PyFloat_FromDouble(static_cast<double>(record.confidence))));
    if (!common) return nullptr;

    if (!fill.set_kind_fields(core::kind_name(record.kind), kind_fields(record.kind)))
        return nullptr;
    return dict.release();
}

} // namespace kestrix::python
