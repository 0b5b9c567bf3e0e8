// The `nativefunction` type: the objects through which the interpreter sees a module's
// functions and calls them.
#pragma once

#include "frame/function.hpp"

namespace frame {

// One `nativefunction` object: its record, the namespace it runs in, and the attributes
// that the interpreter's own functions have.
struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Function* function;
    PyObject* name; // null until first read
    PyObject* qualname;
    PyObject* doc; // null until first read
    PyObject* module;
    Namespace names; // the module's globals, and the `builtins` module it took at exec
    PyObject* code;
    PyObject* defaults; // null stands for None
    PyObject* kwdefaults;
    PyObject* annotations; // null until first read, after a write of None
    PyObject* dict;
    PyObject* weakrefs;
};

// A new `nativefunction` for `function`, whose body will look its module-level names up in
// `globals`, then in `builtins`.
[[nodiscard]] Ref new_native_function(const Function& function, PyObject* globals,
                                      PyObject* builtins) noexcept;

// The `nativefunction` type; ready once the first module has executed.
PyTypeObject* function_type() noexcept;
bool ready_function_type() noexcept;

} // namespace frame
