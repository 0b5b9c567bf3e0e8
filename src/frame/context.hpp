// What the parts of the frame below the module life cycle know of the module they serve: its
// names, and the `builtins` module its exec step took. The life cycle fills it in; the
// function records, the traceback entries and the constants read it, so none of them needs
// the life cycle itself.
#pragma once

#include "frame/ref.hpp"

namespace frame {

struct ModuleContext {
    const char* short_name = nullptr;  // "find_origin"
    const char* dotted_name = nullptr; // "tools.common.find_origin"
    const char* source_path = nullptr; // as tracebacks and code objects show it
    PyObject* builtins = nullptr;      // borrowed; set while the module executes
};

// The deliverable's one context; process-wide, like every static state of a deliverable.
ModuleContext& module_context() noexcept;

} // namespace frame
