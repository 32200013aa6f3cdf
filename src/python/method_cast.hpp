#pragma once
/// Storing a METH_FASTCALL | METH_KEYWORDS function in a PyMethodDef.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrix::python {

/// `function` as the PyCFunction a method table holds; CPython calls it with its real signature.
template <class Function>
[[nodiscard]] PyCFunction as_method(Function* function) noexcept {
    // The generic function pointer type keeps the cast free of type-mismatch warnings.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

} // namespace kestrix::python
