#include "tools/argument_values.hpp"

#include "python/py_ref.hpp"

#include <charconv>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace kestrix::tools {

namespace {

using python::PyRef;

/// An unsigned 128-bit value as a Python int.
PyObject* from_u128(core::uint128 value) {
    const auto low = static_cast<unsigned long long>(value);
    const auto high = static_cast<unsigned long long>(value >> 64);
    if (high == 0) return PyLong_FromUnsignedLongLong(low);
    PyRef high_object(PyLong_FromUnsignedLongLong(high));
    PyRef shift(PyLong_FromLong(64));
    if (!high_object || !shift) return nullptr;
    PyRef shifted(PyNumber_Lshift(high_object.get(), shift.get()));
    PyRef low_object(PyLong_FromUnsignedLongLong(low));
    if (!shifted || !low_object) return nullptr;
    return PyNumber_Or(shifted.get(), low_object.get());
}

PyObject* from_i128(core::int128 value) {
    if (value >= INT64_MIN && value <= INT64_MAX)
        return PyLong_FromLongLong(static_cast<long long>(value));
    // The magnitude of the most negative value does not fit the signed type; the unsigned one
    // holds every magnitude.
    const bool negative = value < 0;
    const core::uint128 magnitude = negative ? core::uint128{0} - static_cast<core::uint128>(value)
                                             : static_cast<core::uint128>(value);
    PyRef positive(from_u128(magnitude));
    if (!positive || !negative) return positive.release();
    return PyNumber_Negative(positive.get());
}

PyObject* from_decimal(const std::string& text) {
    return PyLong_FromString(text.c_str(), nullptr, 10);
}

/// The N of "bytesN", or 0 for any other type text.
std::size_t fixed_bytes_size(std::string_view type) noexcept {
    if (!type.starts_with("bytes") || type.size() == 5) return 0;
    std::size_t size = 0;
    const auto* end = type.data() + type.size();
    const auto [at, error] = std::from_chars(type.data() + 5, end, size);
    return error == std::errc() && at == end && size <= 32 ? size : 0;
}

/// The element type of an array type text: everything before the last "[".
std::string_view element_type(std::string_view type) noexcept {
    const auto open = type.rfind('[');
    return open == std::string_view::npos ? std::string_view() : type.substr(0, open);
}

PyObject* from_bytes(const core::Bytes& bytes, std::string_view type) {
    std::size_t size = bytes.size();
    // The compact form of bytesN holds the whole word.
    if (const std::size_t declared = fixed_bytes_size(type); declared != 0 && declared < size)
        size = declared;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(size));
}

PyObject* from_array(const core::InputArray& array, std::string_view type) {
    const std::string_view element = element_type(type);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(array.elements.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < array.elements.size(); ++i) {
        PyObject* item = argument_value(array.elements[i], element);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

/// The member types of a tuple type text "(a,b[2],(c,d))", split at the top level.
std::vector<std::string_view> member_types(std::string_view type) {
    std::vector<std::string_view> out;
    if (type.size() < 2 || type.front() != '(' || type.back() != ')') return out;
    const std::string_view inner = type.substr(1, type.size() - 2);
    std::size_t depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '(') ++depth;
        if (inner[i] == ')') --depth;
        if (inner[i] == ',' && depth == 0) {
            out.push_back(inner.substr(start, i - start));
            start = i + 1;
        }
    }
    if (!inner.empty()) out.push_back(inner.substr(start));
    return out;
}

PyObject* from_tuple(const core::InputTuple& tuple, std::string_view type) {
    const auto types = member_types(type);
    auto type_at = [&](std::size_t i) { return i < types.size() ? types[i] : std::string_view(); };
    bool named = !tuple.members.empty();
    for (const auto& member : tuple.members)
        named = named && !member.first.empty();
    if (!named) {
        PyRef out(PyTuple_New(static_cast<Py_ssize_t>(tuple.members.size())));
        if (!out) return nullptr;
        for (std::size_t i = 0; i < tuple.members.size(); ++i) {
            PyObject* item = argument_value(tuple.members[i].second, type_at(i));
            if (item == nullptr) return nullptr;
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    }
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t i = 0; i < tuple.members.size(); ++i) {
        PyRef item(argument_value(tuple.members[i].second, type_at(i)));
        if (!item) return nullptr;
        const std::string& name = tuple.members[i].first;
        PyRef key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key || PyDict_SetItem(out.get(), key.get(), item.get()) != 0) return nullptr;
    }
    return out.release();
}

} // namespace

PyObject* argument_value(const core::InputValue& value, std::string_view type) {
    return std::visit(
        [&](const auto& v) -> PyObject* {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, core::InputUint>) {
                return from_u128(v.value);
            } else if constexpr (std::is_same_v<T, core::InputInt>) {
                return from_i128(v.value);
            } else if constexpr (std::is_same_v<T, core::InputBigUint>) {
                return from_decimal(v.digits);
            } else if constexpr (std::is_same_v<T, core::InputBigInt>) {
                return from_decimal(v.text);
            } else if constexpr (std::is_same_v<T, core::InputBool>) {
                return Py_NewRef(v.value ? Py_True : Py_False);
            } else if constexpr (std::is_same_v<T, core::InputBytes>) {
                return from_bytes(v.value, type);
            } else if constexpr (std::is_same_v<T, core::InputStr>) {
                return PyUnicode_DecodeUTF8(v.value.data(), static_cast<Py_ssize_t>(v.value.size()),
                                            "replace");
            } else if constexpr (std::is_same_v<T, core::InputAddress>) {
                return PyUnicode_FromStringAndSize(v.text.data(),
                                                   static_cast<Py_ssize_t>(v.text.size()));
            } else if constexpr (std::is_same_v<T, core::InputArray>) {
                return from_array(v, type);
            } else {
                static_assert(std::is_same_v<T, core::InputTuple>);
                return from_tuple(v, type);
            }
        },
        value);
}

PyObject* argument_dict(std::span<const core::NamedInput> inputs,
                        std::span<const core::ErrorParam> params) {
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::string_view type = i < params.size() ? std::string_view(params[i].type) : "";
        PyRef item(argument_value(inputs[i].second, type));
        if (!item) return nullptr;
        const std::string& name = inputs[i].first;
        PyRef key(name.empty() ? PyUnicode_FromFormat("arg%zu", i)
                               : PyUnicode_FromStringAndSize(name.data(),
                                                             static_cast<Py_ssize_t>(name.size())));
        if (!key) return nullptr;
        // A name given twice (or one that looks like a position) keeps the first value; the
        // later one is reported by its position.
        const int taken = PyDict_Contains(out.get(), key.get());
        if (taken < 0) return nullptr;
        if (taken == 1) key = PyRef(PyUnicode_FromFormat("arg%zu", i));
        if (!key || PyDict_SetItem(out.get(), key.get(), item.get()) != 0) return nullptr;
    }
    return out.release();
}

} // namespace kestrix::tools
