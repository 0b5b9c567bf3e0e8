// The `nativefunction` type: the objects through which the interpreter sees a module's
// functions and calls them.
#pragma once

#include "frame/compiler.hpp"
#include "frame/function.hpp"
#include "frame/objects.hpp"

#include <array>

namespace frame {

struct NativeFunction;

// Runs a function's body on values bound to its parameters, doing first what the function
// needs around it (the strict type tests, the recursion guard). `thread` is the thread's state
// where the caller has read it, else null.
using Runner = PyObject* (*)(const NativeFunction* object, PyObject* const* values,
                             PyThreadState* thread) noexcept;

// One `nativefunction` object: its record, the namespace it runs in, and the attributes
// that the interpreter's own functions have.
struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    Runner run; // chosen once, from the record, when the object is made
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

// Calls `function`, a nativefunction, from the body of another on the same thread, as its
// vectorcall would be called; `thread` is the state of that thread if the calling body has it
// (Invocation::thread), else null.
PyObject* call_nested(PyObject* function, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames, PyThreadState* thread) noexcept;

// name(keyword=value, ...), where `name` is a module-level name of the running function's
// module, looked up as `call` looks names up, and every argument is passed by keyword, named by
// `names` in order. A nativefunction (what a walk's nested call almost always finds) is entered
// without the interpreter's generic dispatch and result check around it, which read the thread
// state; the running function itself, found in the unchanged namespace, is entered without
// being looked up or held again, since its caller holds it.
// The rest of call_global_with_keywords, for a name that does not find the running function:
// looked up, then called. Out of line, so that the common case stays short at every call site.
FRAME_NOINLINE PyObject* call_global_looked_up(const Invocation& call, const Id& name,
                                               PyObject* const* args, std::size_t nargsf,
                                               PyObject* kwnames) noexcept;

template <typename... Args>
Ref call_global_with_keywords(const Invocation& call, const Id& name, const Keywords& names,
                              Args... values) noexcept {
    // One leading spare slot lets the callee prepend a bound `self` without copying.
    std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, static_cast<PyObject*>(values)...};
    PyObject* const* args = vector.data() + 1;
    constexpr std::size_t nargsf = PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (call.global_found_unchanged(name) == call.self()) [[likely]] {
        return Ref::steal(call_nested(call.self(), args, nargsf, names.get(), call.thread()));
    }
    return Ref::steal(call_global_looked_up(call, name, args, nargsf, names.get()));
}

} // namespace frame
