#include "python/result_dict.hpp"

#include "python/internal_failure.hpp"
#include "python/py_ref.hpp"
#include "python/result_fields.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kestrix::python {

namespace {

/// A new str of `length` ASCII characters, or nullptr with the exception pending. Writing
/// straight into the object's own storage saves building the text a second time.
PyRef new_ascii(std::size_t length) {
    return PyRef(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
}

char* ascii_data(const PyRef& text) noexcept {
    return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
}

/// "0x" and two lowercase digits per byte, written into a new str.
PyRef hex_object(std::span<const std::uint8_t> bytes) {
    PyRef text = new_ascii(2 + 2 * bytes.size());
    if (text) write_hex_text(ascii_data(text), bytes);
    return text;
}

/// Whether every byte is below 0x80, eight at a time.
bool is_ascii(std::string_view text) noexcept {
    std::size_t i = 0;
    std::uint64_t high_bits = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        high_bits |= word;
    }
    for (; i < text.size(); ++i)
        high_bits |= static_cast<unsigned char>(text[i]);
    return (high_bits & 0x8080808080808080ULL) == 0;
}

/// A str from text known to be ASCII (the keys and the kind names).
PyRef ascii_text(std::string_view text) {
    PyRef object = new_ascii(text.size());
    if (object && !text.empty()) std::memcpy(ascii_data(object), text.data(), text.size());
    return object;
}

/// A str from UTF-8 text: ASCII text (keys, kinds, hints, JSON) is copied straight into a new
/// object; anything else goes through CPython's strict UTF-8 decoder.
PyRef make_text(std::string_view text) {
    if (!is_ascii(text)) {
        return PyRef(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    return ascii_text(text);
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
        PyRef key_object = ascii_text(key);
        if (!key_object) return api_call_failed();
        return PyDict_SetItem(dict_, key_object.get(), value.get()) == 0;
    }

    /// Keys 5 to 10: the kind's name and its own values, None where they do not apply. Each
    /// object is made just before it is inserted, so nothing is made once a step has failed.
    bool set_kind_fields(std::string_view kind, const KindFields& fields) {
        return set("kind", ascii_text(kind)) &&
               set("message", make_optional_text(fields.message)) &&
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

    // The bytes of an unknown payload are held twice; neither copy is needed beyond this point,
    // and freeing them early keeps the peak near the size of the finished dict.
    if (auto* raw = std::get_if<core::RawRevert>(&record.kind)) core::Bytes().swap(raw->data);
    if (!fill.set("raw_data", hex_object(record.raw_data))) return nullptr;
    core::Bytes().swap(record.raw_data);

    const bool common =
        fill.set("selector", record.selector ? hex_object(*record.selector) : none()) &&
        fill.set("suggestion", make_optional_text(record.suggestion)) &&
        fill.set("confidence", PyRef(PyFloat_FromDouble(static_cast<double>(record.confidence))));
    if (!common) return nullptr;

    if (!fill.set_kind_fields(core::kind_name(record.kind), kind_fields(record.kind)))
        return nullptr;
    return dict.release();
}

} // namespace kestrix::python
