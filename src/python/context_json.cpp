#include "python/context_json.hpp"

#include "python/arguments.hpp"
#include "python/internal_failure.hpp"
#include "python/json_text.hpp"
#include "python/py_ref.hpp"
#include "python/raise_error.hpp"

#include <cstddef>
#include <map>
#include <string_view>

namespace kestrix::python {

namespace {

std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (utf8 == nullptr) return std::nullopt;
    return std::string_view(utf8, static_cast<std::size_t>(length));
}

/// True when the bytes are well-formed UTF-8 (used for the type name of the fallback text).
bool is_valid_utf8(std::string_view text) {
    PyRef decoded(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (decoded) return true;
    PyErr_Clear();
    return false;
}

/// The text of str(value). A str holding lone surrogates is passed through the "surrogatepass"
/// encoder and decoded back with U+FFFD for every invalid sequence. When str() itself raises,
/// the exception is reported as unraisable and the text names the type instead.
std::optional<std::string> str_text(PyObject* value) {
    PyRef text(PyObject_Str(value));
    if (!text) {
        PyErr_WriteUnraisable(value);
        const std::string_view type_name = Py_TYPE(value)->tp_name;
        if (!is_valid_utf8(type_name)) return std::string("<unprintable object>");
        return "<unprintable " + std::string(type_name) + " object>";
    }
    if (auto utf8 = utf8_of(text.get())) return std::string(*utf8);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
    PyErr_Clear();
    PyRef encoded(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!encoded) return std::nullopt;
    PyRef replaced(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()),
                                        PyBytes_GET_SIZE(encoded.get()), "replace"));
    if (!replaced) return std::nullopt;
    auto utf8 = utf8_of(replaced.get());
    if (!utf8) return std::nullopt;
    return std::string(*utf8);
}

/// A str value stands for itself when it has a UTF-8 form; everything else goes through str().
std::optional<std::string> value_text(PyObject* value) {
    if (PyUnicode_Check(value)) {
        if (auto utf8 = utf8_of(value)) return std::string(*utf8);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
        PyErr_Clear();
    }
    return str_text(value);
}

} // namespace

std::optional<std::string> context_dict_to_json(PyObject* dict) {
    // Byte-wise ordering: std::string compares its chars as unsigned char.
    std::map<std::string, std::string> pairs;
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t position = 0;
    Py_ssize_t read = 0;
    while (true) {
        // str() of a value runs arbitrary code, which may have changed the dict.
        if (PyDict_Size(dict) != size) {
            raise_internal_failure("dictionary changed size during iteration");
            return std::nullopt;
        }
        PyObject* borrowed_key = nullptr;
        PyObject* borrowed_value = nullptr;
        if (!PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) break;
        if (++read > size) {
            raise_internal_failure("dictionary keys changed during iteration");
            return std::nullopt;
        }
        // Held for the step: str() of the value may drop the dict's references.
        const PyRef key = PyRef::borrow(borrowed_key);
        const PyRef value = PyRef::borrow(borrowed_value);

        if (!PyUnicode_Check(key.get())) {
            raise_error(PyExc_TypeError, type_mismatch_message(key.get(), "PyString"));
            return std::nullopt;
        }
        const auto key_text = utf8_of(key.get());
        if (!key_text) return std::nullopt;
        std::string key_copy(*key_text);
        auto text = value_text(value.get());
        if (!text) return std::nullopt;
        pairs.insert_or_assign(std::move(key_copy), std::move(*text));
    }

    std::string json = "{";
    bool first = true;
    for (const auto& [key, text] : pairs) {
        if (!first) json.push_back(',');
        first = false;
        append_json_string(json, key);
        json.push_back(':');
        append_json_string(json, text);
    }
    json.push_back('}');
    return json;
}

} // namespace kestrix::python
