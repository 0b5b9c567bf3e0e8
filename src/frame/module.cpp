#include "frame/module.hpp"

#include "frame/compiler.hpp"
#include "frame/context.hpp"
#include "frame/traceback.hpp"

#include <cinttypes>

namespace frame {
namespace {

// The deliverable's static state: one per process, kept until the process ends. Plain
// pointers on purpose: no destructor may touch the interpreter after it has finalised.
struct State {
    const Module* info = nullptr;
    std::int64_t owning_interpreter = -1;
    PyObject* module = nullptr;    // held from the start of exec; dropped when exec fails
    PyObject* globals = nullptr;   // the module's __dict__, borrowed from the module
    PyObject* builtins = nullptr;  // the builtins module
    PyObject* init_name = nullptr; // "init <dotted name>", for entries of a failing exec
};
constinit State state;

// --- create ------------------------------------------------------------------------------

// Called once the interpreter has been finalized (an embedding host may start a new one in
// the same process): every object this deliverable holds belonged to the old interpreter, so
// it is all dropped, unreleased, and the next import builds the module afresh. No C-API call
// is allowed here.
void start_over() noexcept {
    state = State{.info = state.info};
    module_context().builtins = nullptr;
    forget_constants();
    forget_traceback_code();
    forget_function_type();
}

// Makes `module` the owner of this deliverable, or refuses a second interpreter.
bool claim_interpreter() noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return false;
    }
    if (state.owning_interpreter == -1) {
        // Without the hook, a later interpreter of this process would be handed the objects
        // of this one; refusing the import is the safe answer then.
        if (Py_AtExit(start_over) < 0) {
            PyErr_SetString(PyExc_ImportError,
                            "cannot register the module's clean-up at interpreter exit");
            return false;
        }
        state.owning_interpreter = id;
    } else if (state.owning_interpreter != id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

// Copies what the import machinery knows of the module (loader, origin, parent package,
// search locations) into the new module.
bool copy_import_attributes(PyObject* import_spec, PyObject* module) noexcept {
    struct Copy {
        const char* from;
        const char* to;
        bool none_skipped;
    };
    static constexpr Copy copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    PyObject* dict = PyModule_GetDict(module);
    for (const Copy& copy : copies) {
        PyObject* found = nullptr;
        const int status = PyObject_GetOptionalAttrString(import_spec, copy.from, &found);
        Ref value = Ref::steal(found);
        if (status < 0) {
            return false;
        }
        if (status == 0 || (copy.none_skipped && value.get() == Py_None)) {
            continue; // a missing attribute is skipped
        }
        if (PyDict_SetItemString(dict, copy.to, value) < 0) {
            return false;
        }
    }
    return true;
}

PyObject* create_module(PyObject* import_spec, PyModuleDef*) noexcept {
    if (!claim_interpreter()) {
        return nullptr;
    }
    if (state.module) {
        return Py_NewRef(state.module); // initialised once, for good
    }
    Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name));
    if (!module || !copy_import_attributes(import_spec, module)) {
        return nullptr;
    }
    return module.release();
}

// --- exec --------------------------------------------------------------------------------

bool set_builtins() noexcept {
    if (!state.builtins) {
        state.builtins = PyImport_AddModuleRef("builtins");
        if (!state.builtins) {
            return false;
        }
        module_context().builtins = state.builtins;
    }
    return PyDict_SetItemString(state.globals, "__builtins__", state.builtins) == 0;
}

bool make_module_constants() noexcept {
    if (!make_constants() || !ready_function_type()) {
        return false;
    }
    if (!state.init_name) {
        state.init_name = PyUnicode_FromFormat("init %s", state.info->dotted_name);
    }
    return state.init_name != nullptr;
}

// Puts the module in sys.modules, unless an entry (whatever it holds) is there already.
bool register_module() noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    Ref name = Ref::steal(PyUnicode_FromString(state.info->dotted_name));
    if (!name) {
        return false;
    }
    const int present = PyDict_Contains(modules, name);
    return present > 0 || (present == 0 && PyDict_SetItem(modules, name, state.module) == 0);
}

bool set_test_dict() noexcept {
    Ref test = Ref::steal(PyDict_New());
    return test && PyDict_SetItemString(state.globals, "__test__", test) == 0;
}

FRAME_COLD bool fail_at(int line) noexcept {
    add_traceback_entry(state.init_name, line, state.globals);
    return false;
}

// Exec steps 3 to 8: everything after the module is held.
bool run_exec_steps() noexcept {
    if (!set_builtins() || !check_interpreter_version(Py_Version) || !make_module_constants()) {
        return false;
    }
    // From here on a failure names the failing statement's line.
    constexpr int frame_line = 1;
    if (!register_module()) {
        return fail_at(frame_line);
    }
    for (const Statement& statement : state.info->body) {
        if (!statement.run()) {
            return fail_at(statement.line);
        }
    }
    return set_test_dict() || fail_at(frame_line);
}

int exec_module(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.info->short_name);
        return -1;
    }
    state.module = Py_NewRef(module);
    state.globals = PyModule_GetDict(module);
    if (!run_exec_steps()) {
        // The next import starts afresh. Functions made by the failed body that escaped (a
        // decorator may keep them) hold the namespace they were defined in.
        Py_CLEAR(state.module);
        state.globals = nullptr;
        return -1;
    }
    return 0;
}

// clang-format off
PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = nullptr, // the deliverable's short name, set by initialize()
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
};
// clang-format on

} // namespace

PyObject* initialize(const Module& module) noexcept {
    state.info = &module;
    ModuleContext& context = module_context();
    context.short_name = module.short_name;
    context.dotted_name = module.dotted_name;
    context.source_path = module.source_path;
    definition.m_name = module.short_name;
    return PyModuleDef_Init(&definition);
}

bool check_interpreter_version(unsigned long runtime_version) noexcept {
    constexpr unsigned long compiled = 0x030D0000; // 3.13
    if ((runtime_version & 0xFFFF0000) == compiled) {
        return true;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 13, state.info->dotted_name, "does not match",
                  int((runtime_version >> 24) & 0xFF), int((runtime_version >> 16) & 0xFF));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// --- names -------------------------------------------------------------------------------

Ref lookup_module_global(const Id& name) noexcept {
    PyObject* value = nullptr;
    // Identifiers carry their hash, so neither lookup hashes the name again.
    if (PyDict_GetItemRef(state.globals, name, &value) != 0 ||
        PyObject_GetOptionalAttr(state.builtins, name, &value) != 0) {
        return Ref::steal(value); // found, or empty with the lookup's error set
    }
    raise_name_error(name);
    return {};
}

bool set_global(const Id& name, PyObject* value) noexcept {
    return PyDict_SetItem(state.globals, name, value) == 0;
}

Ref make_function(const Function& function) noexcept {
    return new_native_function(function, state.globals, state.builtins);
}

void add_body_traceback_entry(PyObject* name, int line) noexcept {
    add_traceback_entry(name, line, state.globals);
}

bool define(const Function& function) noexcept {
    Ref object = make_function(function);
    return object && PyDict_SetItem(state.globals, function.name(), object) == 0;
}

// --- imports -----------------------------------------------------------------------------

namespace {

// The module named `module_name` when sys.modules has it with all of `names`; else empty
// (with an exception set only when testing an attribute failed).
Ref loaded_module_with(const Id& module_name, std::span<const Id* const> names) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), module_name, &found) <= 0) {
        return {};
    }
    Ref module = Ref::steal(found);
    for (const Id* name : names) {
        const int has = PyObject_HasAttrWithError(module, *name);
        if (has <= 0) {
            return {};
        }
    }
    return module;
}

// ImportError for `name` missing from `module`, with the attributes the interpreter's own
// `from module import name` gives it: the module's name and file, and the missing name.
FRAME_COLD FRAME_NOINLINE void raise_cannot_import(PyObject* module, const Id& module_name,
                                                   const Id& name) noexcept {
    // The message quotes the name as Python's own import does: by its repr.
    Ref quoted = Ref::steal(PyObject_Repr(name));
    Ref message =
        quoted ? Ref::steal(PyUnicode_FromFormat("cannot import name %S", quoted.get())) : Ref{};
    if (!message) {
        return;
    }
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__file__", &found) < 0) {
        PyErr_Clear(); // a module without a readable file is reported without its path
    }
    Ref path = Ref::steal(found);
    PyErr_SetImportError(message, module_name,
                         path && PyUnicode_Check(path) ? path.get() : nullptr);
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (PyObject_SetAttrString(error, "name_from", name) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
}

// `name` read from `module`, or the loaded submodule of that name.
Ref imported_name(PyObject* module, const Id& module_name, const Id& name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value) {
        return value;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name.get()));
        PyObject* submodule = nullptr;
        if (full_name && PyDict_GetItemRef(PyImport_GetModuleDict(), full_name, &submodule) > 0) {
            return Ref::steal(submodule);
        }
    }
    PyErr_Clear();
    raise_cannot_import(module, module_name, name);
    return {};
}

Ref import_module_level(const Id& module_name, PyObject* fromlist) noexcept {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return {};
    }
    return Ref::steal(
        PyImport_ImportModuleLevelObject(module_name, state.globals, locals, fromlist, 0));
}

} // namespace

bool import_names(const Id& module_name, std::span<const Id* const> names) noexcept {
    Ref module = loaded_module_with(module_name, names);
    if (!module) {
        if (PyErr_Occurred()) {
            return false;
        }
        Ref fromlist = Ref::steal(PyList_New(Py_ssize_t(names.size())));
        if (!fromlist) {
            return false;
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyList_SET_ITEM(fromlist.get(), Py_ssize_t(i), Py_NewRef(names[i]->get()));
        }
        module = import_module_level(module_name, fromlist);
        if (!module) {
            return false;
        }
    }
    for (const Id* name : names) {
        Ref value = imported_name(module, module_name, *name);
        if (!value || !set_global(*name, value)) {
            return false;
        }
    }
    return true;
}

bool import_module(const Id& module_name) noexcept {
    Ref module = import_module_level(module_name, Py_None);
    return module && set_global(module_name, module);
}

} // namespace frame
