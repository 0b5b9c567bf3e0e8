// Traceback entries for errors that leave a module's functions or its module body.
#pragma once

#include "frame/ref.hpp"

namespace frame {

// Adds an entry to the traceback of the exception in flight: the module's source path, the
// given function name and source line, on a frame whose globals are `globals`.
void add_traceback_entry(PyObject* function_name, int line, PyObject* globals) noexcept;

// The same for a code block nested in a function (a generator expression): the entry's code
// object is named `name`, qualified as `qualname` and starts at `first_line`; the entry shows
// `line`, the failing step's.
void add_nested_traceback_entry(PyObject* name, PyObject* qualname, int first_line, int line,
                                PyObject* globals) noexcept;

// After the interpreter has been finalized: the cached code objects are dropped unreleased.
void forget_traceback_code() noexcept;

} // namespace frame
