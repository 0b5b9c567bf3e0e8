// The `nativefunction` type: the objects through which the interpreter sees a module's
// functions and calls them.
#pragma once

#include "frame/function.hpp"
#include "frame/objects.hpp"

#include <array>

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

// The `nativefunction` type; ready once the first module has executed in an interpreter.
PyTypeObject* function_type() noexcept;
bool ready_function_type() noexcept;
// After the interpreter that readied the type has been finalized: the type goes back to its
// unready state, dropping unreleased what the old interpreter gave it, so that the next
// interpreter readies it afresh instead of reading the freed dict and MRO of the old one.
// The interpreter resets its own static types in the same way between two lives.
void forget_function_type() noexcept;

// callable(name=value, ...), as call_with_keywords makes it. A nativefunction (what a walk's
// nested call almost always finds) is entered through its own vectorcall, without the
// interpreter's generic dispatch and result check around it, which read the thread state.
template <typename... Args>
Ref call_with_keywords_direct(PyObject* callable, const Keywords& names, Args... values) noexcept {
    if (!Py_IS_TYPE(callable, function_type())) {
        return call_with_keywords(callable, names, values...);
    }
    std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, static_cast<PyObject*>(values)...};
    return Ref::steal(reinterpret_cast<NativeFunction*>(callable)->vectorcall(
        callable, vector.data() + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

} // namespace frame
