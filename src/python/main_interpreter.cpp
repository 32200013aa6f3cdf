#include "python/main_interpreter.hpp"

#include "python/raise_error.hpp"

#include <string>

namespace kestrix::python {

bool require_main_interpreter(std::string_view module_name) noexcept {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    try {
        raise_error(PyExc_ImportError,
                    std::string(module_name) +
                        " does not support sub-interpreters: it can only be imported in the "
                        "interpreter that imported it first");
    } catch (...) {
        PyErr_NoMemory();
    }
    return false;
}

} // namespace kestrix::python
