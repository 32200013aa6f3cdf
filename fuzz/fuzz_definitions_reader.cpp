/// The companion's reader of error definitions from Python objects (what `_native.Decoder`
/// takes), in an embedded interpreter. Input: a small program whose operations push objects
/// on a stack (text of any code points, lone surrogates included; ASCII from a table of type
/// names; None, int, bytes; tuples, lists, generators, dicts and str subclasses of the items
/// below; objects whose iteration raises), then the stack as a list is read.
///
/// The reader either gives definitions with no exception pending, every text valid UTF-8 and
/// every parameter list as long as the sequence it came from, or nothing with one exception
/// pending: a ValueError or TypeError that is no UnicodeError, or the error a hostile object
/// raised itself. A registry built from what was read either fails with a valid UTF-8 message
/// or files every definition.

#define PY_SSIZE_T_CLEAN
#include "fuzz_checks.hpp"
#include "python/py_ref.hpp"
#include "tools/definitions_argument.hpp"
#include "tools/user_registry.hpp"

#include <Python.h>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace {

using kestrix::fuzz::check;
using kestrix::python::PyRef;
namespace tools = kestrix::tools;

/// Hostile shapes the program can make: iteration that raises, a list that lies about its
/// length, a str subclass, a generator over given items.
constexpr char kHelpers[] = R"(
class Boom:
    def __iter__(self):
        raise RuntimeError("boom")
class Liar(list):
    def __len__(self):
        return 1000
class Text(str):
    pass
def generator(items):
    return (item for item in items)
)";

constexpr std::array<std::string_view, 16> kTypes{"uint256",
                                                  "uint",
                                                  "tuple",
                                                  "tuple[]",
                                                  "tuple[2][]",
                                                  "bool[2]",
                                                  "string",
                                                  "bytes",
                                                  "address[]",
                                                  "(uint8,bytes)",
                                                  "()[]",
                                                  "int7",
                                                  "Lib.E",
                                                  "uint8[][][][][][][][][][][][][][][][][]",
                                                  "(((((((((((((((((bool)))))))))))))))))",
                                                  "bytes32[18446744073709551615]"};

PyObject* helpers = nullptr;

PyRef helper(const char* name) {
    return PyRef(Py_NewRef(PyDict_GetItemString(helpers, name)));
}

/// Reads the input one byte at a time; zero past the end.
struct Cursor {
    std::span<const std::uint8_t> data;
    std::size_t at = 0;
    [[nodiscard]] bool done() const noexcept { return at >= data.size(); }
    std::uint8_t next() noexcept { return done() ? 0 : data[at++]; }
};

/// Text of up to 31 code points, two bytes each, spread over ASCII, the surrogates, the
/// bidirectional controls, and the whole range.
PyRef text_from(Cursor& in) {
    const std::size_t count = in.next() % 32;
    std::vector<Py_UCS4> points;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t low = in.next();
        const std::uint8_t high = in.next();
        switch (high % 4) {
        case 0:
            points.push_back(0x20 + low % 0x5F);
            break;
        case 1:
            points.push_back(0xD800 + low * 8U);
            break;
        case 2:
            points.push_back(0x2000 + low);
            break;
        default:
            points.push_back((static_cast<Py_UCS4>(high) << 12 | low * 17U) % 0x110000);
            break;
        }
    }
    return PyRef(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.data(),
                                           static_cast<Py_ssize_t>(points.size())));
}

/// The top `count` items of the stack (fewer when it holds fewer) as a new tuple.
PyRef pop_tuple(std::vector<PyRef>& stack, std::size_t count) {
    count = std::min(count, stack.size());
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(count - 1 - i),
                         stack.back().release());
        stack.pop_back();
    }
    return tuple;
}

PyRef call(const char* name, PyObject* argument) {
    PyRef function = helper(name);
    return PyRef(argument == nullptr ? PyObject_CallNoArgs(function.get())
                                     : PyObject_CallOneArg(function.get(), argument));
}

/// Runs the program; nullptr only when Python itself failed.
PyRef build(Cursor& in) {
    std::vector<PyRef> stack;
    while (!in.done() && stack.size() < 64) {
        const std::uint8_t op = in.next();
        PyRef made;
        switch (op % 14) {
        case 0:
            made = text_from(in);
            break;
        case 1:
        case 2: {
            const std::string_view type = kTypes[in.next() % kTypes.size()];
            made = PyRef(
                PyUnicode_FromStringAndSize(type.data(), static_cast<Py_ssize_t>(type.size())));
            break;
        }
        case 3:
            made = PyRef(Py_NewRef(Py_None));
            break;
        case 4:
            made = PyRef(PyLong_FromLong(in.next()));
            break;
        case 5:
            made = PyRef(PyBytes_FromStringAndSize("hint", in.next() % 5));
            break;
        case 6:
        case 7:
            made = pop_tuple(stack, in.next() % 5);
            break;
        case 8: {
            PyRef items = pop_tuple(stack, in.next() % 5);
            if (items) made = PyRef(PySequence_List(items.get()));
            break;
        }
        case 9: {
            PyRef items = pop_tuple(stack, in.next() % 5);
            if (items) made = call(in.next() % 2 ? "generator" : "Liar", items.get());
            break;
        }
        case 10:
            made = call("Boom", nullptr);
            break;
        case 11: {
            PyRef inner = text_from(in);
            if (inner) made = call("Text", inner.get());
            break;
        }
        case 12: {
            PyRef items = pop_tuple(stack, 1);
            made = PyRef(PyDict_New());
            if (made && items && PyTuple_GET_SIZE(items.get()) == 1 &&
                PyDict_SetItem(made.get(), PyTuple_GET_ITEM(items.get(), 0), Py_None) != 0) {
                PyErr_Clear(); // an unhashable key: the dict stays empty
            }
            break;
        }
        default:
            if (!stack.empty())
                made = PyRef(Py_NewRef(stack.back().get()));
            else
                made = PyRef(Py_NewRef(Py_None));
            break;
        }
        if (!made) return PyRef();
        stack.push_back(std::move(made));
    }
    PyRef all = pop_tuple(stack, stack.size());
    return all ? PyRef(PySequence_List(all.get())) : PyRef();
}

void check_read(const std::vector<tools::ParamDefinition>& params) {
    for (const tools::ParamDefinition& param : params) {
        check(kestrix::fuzz::is_valid_utf8(param.name), "a parameter name is valid UTF-8");
        check(kestrix::fuzz::is_valid_utf8(param.type), "a type is valid UTF-8");
        if (param.components) check_read(*param.components);
    }
}

bool is_expected_failure() {
    if (PyErr_ExceptionMatches(PyExc_UnicodeError)) return false;
    return PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
           PyErr_ExceptionMatches(PyExc_RuntimeError) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Python objects come from malloc, so that AddressSanitizer sees every one of them.
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&preconfig);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    PyObject* main = PyImport_AddModule("__main__");
    helpers = PyModule_GetDict(main);
    PyRef ran(PyRun_String(kHelpers, Py_file_input, helpers, helpers));
    check(static_cast<bool>(ran), "the helpers are defined");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Cursor in{std::span(data, size)};
    PyRef definitions = build(in);
    if (!definitions) {
        check(PyErr_ExceptionMatches(PyExc_MemoryError),
              "building the input fails only for memory");
        PyErr_Clear();
        return 0;
    }
    const auto read = tools::read_definitions(definitions.get());
    if (!read) {
        check(PyErr_Occurred() != nullptr, "a failed read leaves an exception");
        check(is_expected_failure(), "a failed read raises ValueError or TypeError, or the "
                                     "hostile object's own error");
        PyErr_Clear();
        return 0;
    }
    check(PyErr_Occurred() == nullptr, "a read that succeeds leaves no exception");
    check(static_cast<Py_ssize_t>(read->size()) == PyList_GET_SIZE(definitions.get()),
          "one definition per item");
    for (const tools::ErrorDefinition& definition : *read) {
        check(kestrix::fuzz::is_valid_utf8(definition.name), "an error name is valid UTF-8");
        if (definition.suggestion)
            check(kestrix::fuzz::is_valid_utf8(*definition.suggestion), "a hint is valid UTF-8");
        check_read(definition.params);
    }
    const auto built = tools::build_user_registry(*read);
    if (!built) {
        check(kestrix::fuzz::is_valid_utf8(built.error()), "a build failure is valid UTF-8");
        return 0;
    }
    check(built->signatures.size() == read->size(), "every definition is filed");
    return 0;
}
