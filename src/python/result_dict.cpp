#include "python/result_dict.hpp"

#include "python/inputs_json.hpp"
#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kestrix::python {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

/// "0x" and two lowercase digits per byte, from a lookup table.
std::string hex_text(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 + 2 * bytes.size());
    out.append("0x");
    for (const std::uint8_t byte : bytes) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0F]);
    }
    return out;
}

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

/// The values of keys 6 to 10 for one kind; absent ones become None.
struct KindFields {
    std::optional<std::string_view> message;
    std::optional<std::string_view> error_name;
    std::optional<std::string> inputs;
    std::optional<std::uint64_t> panic_code;
    std::optional<std::string_view> panic_meaning;
};

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

    KindFields fields;
    std::visit(
        Overloaded{
            [&](const core::RevertString& kind) { fields.message = kind.message; },
            [&](const core::CustomError& kind) {
                fields.error_name = kind.name;
                fields.inputs = inputs_to_json(kind.inputs);
            },
            [&](const core::Panic& kind) {
                fields.panic_code = kind.code;
                fields.panic_meaning = kind.meaning;
            },
            [&](const core::OutOfGas&) { fields.message = "out of gas"; },
            [&](const core::ContractNotDeployed&) { fields.message = "contract not deployed"; },
            [](const core::RawRevert&) {},
            [](const core::Empty&) {},
        },
        record.kind);
    const bool kind_fields = fill.set_kind_fields(core::kind_name(record.kind), fields);
    if (!kind_fields) return nullptr;
    return dict.release();
}

} // namespace kestrix::python
