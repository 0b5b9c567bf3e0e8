// The module life cycle: the entry point, the create and exec steps, module-level imports,
// and the module namespace that function bodies read their globals from.
#pragma once

#include "frame/nativefunction.hpp"

#include <span>

namespace frame {

// One top-level statement of a module body, with its source line.
struct Statement {
    int line;
    bool (*run)() noexcept; // returns false with an exception set
};

// A deliverable: its names and its module body.
struct Module {
    const char* short_name;  // "find_origin"
    const char* dotted_name; // "tools.common.find_origin"
    const char* source_path; // as tracebacks show it
    std::span<const Statement> body;
};

// All the entry point of a deliverable does: `return frame::initialize(module);`.
PyObject* initialize(const Module& module) noexcept;

// What the statements of the module body read and write while it runs (function bodies
// read their own globals, through their Invocation).
// The value of a module-level name: the module namespace first, then the built-ins;
// NameError when both miss.
Ref lookup_module_global(const Id& name) noexcept;
bool set_global(const Id& name, PyObject* value) noexcept;
// A new function object for `function`, defined in the module namespace (for a method, the
// class statement stores it in the class namespace).
Ref make_function(const Function& function) noexcept;
// Adds a traceback entry for a step of the module body (such as a method's decorator
// inside a class statement) named `name`, at `line`.
void add_body_traceback_entry(PyObject* name, int line) noexcept;

// Statements of a module body.
bool import_names(const Id& module, std::span<const Id* const> names) noexcept;
// `from module import name, ...`
template <typename... Names> bool import_from(const Id& module, const Names&... names) noexcept {
    const Id* const list[] = {&names...};
    return import_names(module, list);
}
// `import module`
bool import_module(const Id& module) noexcept;
// `def name(...)`: binds a new function object under its name.
bool define(const Function& function) noexcept;

// Exec step 4: warns when `runtime_version` (in the form of Py_Version) is not 3.13.
bool check_interpreter_version(unsigned long runtime_version) noexcept;

} // namespace frame
