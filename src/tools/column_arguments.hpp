#pragma once
/// The columns a native writer is called with: (rows, names, layouts), each layout a
/// (kind, offset, validity, values, data) tuple of Arrow buffers, held while the GIL is released.

#define PY_SSIZE_T_CLEAN
#include "python/py_ref.hpp"
#include "tools/jsonl_writer.hpp"
#include "tools/python_buffers.hpp"

#include <Python.h>
#include <memory>
#include <vector>

namespace kestrix::tools {

struct ParsedColumns {
    long long rows = 0;
    python::PyRef names;
    python::PyRef layouts;
    std::vector<JsonColumn> columns;
    std::vector<std::unique_ptr<HeldBuffer>> held;
};

/// Parses args[0..2] = (rows, names, layouts) of `function`; false with an exception pending.
[[nodiscard]] bool parse_columns(const char* function, PyObject* const* args,
                                 ParsedColumns& parsed);

} // namespace kestrix::tools
