// The `nativefunction` type: the objects through which the interpreter sees a module's
// functions, their attributes, and the vectorcall that binds a call and runs the body.
#include "frame/nativefunction.hpp"

#include "frame/binding.hpp"
#include "frame/compiler.hpp"
#include "frame/internals.hpp"
#include "frame/recursion.hpp"
#include "frame/traceback.hpp"

#include <cstddef>
#include <iterator>

namespace frame {
namespace {

PyObject* vectorcall_binding(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept;
PyObject* vectorcall_in_place(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept;
Runner choose_runner(const Function& function) noexcept;

NativeFunction* as_function(PyObject* self) noexcept {
    return reinterpret_cast<NativeFunction*>(self);
}

PyObject* none_if_null(PyObject* obj) noexcept { return Py_NewRef(obj ? obj : Py_None); }

// Stores `value` in `field`, releasing what was there.
void store(PyObject*& field, PyObject* value) noexcept { Py_XSETREF(field, Py_XNewRef(value)); }

int refuse_write(const char* attribute, const char* type) noexcept {
    PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, type);
    return -1;
}

// Writes of the defaults are stored but do not reach calls, which bind the defaults fixed at
// definition; the warning says so.
int warn_defaults_ignored(const char* attribute) noexcept {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "changes to nativefunction.%s will not currently affect the values "
                            "used in function calls",
                            attribute);
}

// --- attributes ------------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept {
    NativeFunction* f = as_function(self);
    if (!f->name) {
        f->name = Py_NewRef(f->function->name());
    }
    return Py_NewRef(f->name);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        return refuse_write("__name__", "string");
    }
    store(as_function(self)->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        return refuse_write("__qualname__", "string");
    }
    store(as_function(self)->qualname, value);
    return 0;
}

PyObject* get_doc(PyObject* self, void*) noexcept {
    NativeFunction* f = as_function(self);
    if (!f->doc) {
        const char* doc = f->function->def().doc;
        f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
        if (!f->doc) {
            return nullptr;
        }
    }
    return Py_NewRef(f->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    store(as_function(self)->doc, value ? value : Py_None);
    return 0;
}

PyObject* get_module(PyObject* self, void*) noexcept {
    return none_if_null(as_function(self)->module);
}

int set_module(PyObject* self, PyObject* value, void*) noexcept {
    store(as_function(self)->module, value ? value : Py_None);
    return 0;
}

PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return none_if_null(as_function(self)->defaults);
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyTuple_Check(value)) {
        return refuse_write("__defaults__", "tuple");
    }
    store(as_function(self)->defaults, value);
    return warn_defaults_ignored("__defaults__");
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    return none_if_null(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        return refuse_write("__kwdefaults__", "dict");
    }
    store(as_function(self)->kwdefaults, value);
    return warn_defaults_ignored("__kwdefaults__");
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    NativeFunction* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        return refuse_write("__annotations__", "dict");
    }
    store(as_function(self)->annotations, value);
    return 0;
}

PyObject* get_is_coroutine(PyObject*, void*) noexcept { Py_RETURN_FALSE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__globals__", Py_T_OBJECT_EX, offsetof(NativeFunction, names.globals), Py_READONLY, nullptr},
    {"func_globals", Py_T_OBJECT_EX, offsetof(NativeFunction, names.globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(NativeFunction, code), Py_READONLY, nullptr},
    {"func_code", Py_T_OBJECT_EX, offsetof(NativeFunction, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// --- protocols ---------------------------------------------------------------------------

// Pickled by reference: the module and qualified name find the same object again.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<nativefunction %U at %p>", as_function(self)->qualname, self);
}

// Read through an instance, a function becomes a method of that instance.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (!instance || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    NativeFunction* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->names.globals);
    Py_VISIT(f->names.builtins);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int clear(PyObject* self) noexcept {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->name); // made again from the record if read
    // The repr and __reduce__ read the qualified name, and a cleared function may still be
    // reached (by a finalizer in its cycle, say): keep a str there.
    Py_SETREF(f->qualname, Py_NewRef(empty_str()));
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->names.globals);
    Py_CLEAR(f->names.builtins);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    clear(self);
    Py_CLEAR(as_function(self)->qualname);
    Py_TYPE(self)->tp_free(self);
}

// The type as written here, before PyType_Ready fills it in with what belongs to the
// interpreter that readies it (its dict, bases, MRO, subclasses and version tag).
// clang-format off
constexpr PyTypeObject unready_function_type() noexcept {
    return {
        .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
        .tp_name = "nativefunction",
        .tp_basicsize = sizeof(NativeFunction),
        .tp_dealloc = dealloc,
        .tp_vectorcall_offset = offsetof(NativeFunction, vectorcall),
        .tp_repr = repr,
        .tp_call = PyVectorcall_Call,
        .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE |
                    Py_TPFLAGS_DISALLOW_INSTANTIATION,
        .tp_doc = "A function of a native extension module: it binds its arguments as a Python\n"
                  "function does, then runs its body in native code.",
        .tp_traverse = traverse,
        .tp_clear = clear,
        .tp_weaklistoffset = offsetof(NativeFunction, weakrefs),
        .tp_methods = function_methods,
        .tp_members = function_members,
        .tp_getset = function_getset,
        .tp_descr_get = descr_get,
        .tp_dictoffset = offsetof(NativeFunction, dict),
    };
}
// clang-format on

constinit PyTypeObject function_type_object = unready_function_type();

} // namespace

PyTypeObject* function_type() noexcept { return &function_type_object; }

// What readying puts in the type's dict: the slot wrappers of tp_repr, tp_call and
// tp_descr_get, then the methods, members and getset entries (without their end markers).
constexpr Py_ssize_t type_dict_entries = 3 + Py_ssize_t(std::size(function_methods) - 1) +
                                         Py_ssize_t(std::size(function_members) - 1) +
                                         Py_ssize_t(std::size(function_getset) - 1);

bool ready_function_type() noexcept {
    // The dict is made here (tp_dict may hold the type's first attributes before readying),
    // with room for every entry, so that PyType_Ready fills it without ever resizing it. It fills
    // it with PyDict_SetDefaultRef, which in 3.13.0 reports success for an insertion whose resize
    // failed for want of memory and leaves the dict counting an entry it does not hold: the next
    // resize reads past the entries and crashes (plain `dict.setdefault` does the same). Without a
    // resize, an insertion cannot fail.
    if (!PyType_HasFeature(&function_type_object, Py_TPFLAGS_READY) &&
        !function_type_object.tp_dict) {
        function_type_object.tp_dict = internals::new_dict_presized(type_dict_entries);
        if (!function_type_object.tp_dict) {
            return false;
        }
    }
    if (PyType_Ready(&function_type_object) == 0) {
        return true;
    }
    // A static type whose readying failed cannot be readied again as it is: what the failed
    // attempt left in it (its dict above all) is not fit to be filled in once more. It goes
    // back to its unready state, so that the next import readies it afresh.
    forget_function_type();
    return false;
}

void forget_function_type() noexcept { function_type_object = unready_function_type(); }

Ref new_native_function(const Function& function, PyObject* globals, PyObject* builtins) noexcept {
    NativeFunction* f = PyObject_GC_New(NativeFunction, &function_type_object);
    if (!f) {
        return {};
    }
    // Chosen once: a function that converts none of its parameters may read them in place.
    f->vectorcall = function.converts() ? vectorcall_binding : vectorcall_in_place;
    f->run = choose_runner(function);
    f->function = &function;
    f->name = nullptr;
    f->qualname = Py_NewRef(function.qualname());
    f->doc = nullptr;
    f->module = Py_NewRef(function.module_name());
    f->names = {Py_NewRef(globals), Py_NewRef(builtins)};
    f->code = Py_NewRef(function.code());
    f->defaults = Py_XNewRef(function.defaults());
    f->kwdefaults = nullptr;
    f->annotations = Py_XNewRef(function.annotations());
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// --- calls -------------------------------------------------------------------------------

namespace {

PyObject* as_object(const NativeFunction* object) noexcept {
    return reinterpret_cast<PyObject*>(const_cast<NativeFunction*>(object));
}

// The failed body's traceback entry, at the line of the statement that failed. Everything is
// read again through the call, so that the body's caller keeps nothing live across the call.
FRAME_COLD FRAME_NOINLINE void add_entry_after_failure(const Invocation& call) noexcept {
    const NativeFunction* object = as_function(call.self());
    add_traceback_entry(object->function->traceback_name(), call.line, object->names.globals);
}

FRAME_COLD FRAME_NOINLINE void add_entry_at_definition(const NativeFunction* object) noexcept {
    const Function& function = *object->function;
    add_traceback_entry(function.traceback_name(), function.def().line, object->names.globals);
}

// Runs the body on arguments that are bound and checked, and adds the function's traceback
// entry if it fails.
FRAME_FORCE_INLINE PyObject* enter_body(const NativeFunction* object, PyObject* const* values,
                                        PyThreadState* thread) noexcept {
    const Function& function = *object->function;
    Invocation call{function, values, object->names, as_object(object), thread};
    PyObject* result = function.def().body(call);
    if (!result) [[unlikely]] {
        add_entry_after_failure(call);
    }
    return result;
}

PyObject* call_body(const NativeFunction* object, PyObject* const* values,
                    PyThreadState* thread) noexcept {
    return enter_body(object, values, thread);
}

// The same under the recursion guard, entered in full: reading the thread's state, finding
// its stack on its first call, and raising when the guard refuses.
FRAME_NOINLINE PyObject* guard_and_call_body_in_full(const NativeFunction* object,
                                                     PyObject* const* values,
                                                     PyThreadState* thread) noexcept {
    RecursionGuard guard{thread};
    if (!guard.entered()) [[unlikely]] {
        add_entry_at_definition(object);
        return nullptr;
    }
    return enter_body(object, values, guard.thread());
}

// The body under the recursion guard. Bodies that walk nested input call themselves through
// the interpreter; the guard turns input that is too deep (or contains itself) into
// RecursionError. A nested call, which has the thread's state, takes its unit in place.
PyObject* guard_and_call_body(const NativeFunction* object, PyObject* const* values,
                              PyThreadState* thread) noexcept {
    if (!thread || !take_recursion_unit_quickly(thread)) [[unlikely]] {
        return guard_and_call_body_in_full(object, values, thread);
    }
    PyObject* result = enter_body(object, values, thread);
    internals::give_back_recursion_unit(thread);
    return result;
}

// Whether every typed parameter's value passes the strict type test; raises nothing.
bool parameter_types_pass(const Function& function, PyObject* const* values) noexcept {
    for (const Function::TypedParam& typed : function.typed_params()) {
        PyObject* value = values[typed.index];
        if (!PyUnicode_CheckExact(value) && !(typed.none_allowed && value == Py_None)) {
            return false;
        }
    }
    return true;
}

// A value failed the test: the test again, in parameter order, raising for the first.
template <Runner run>
FRAME_COLD FRAME_NOINLINE PyObject* test_slowly_then(const NativeFunction* object,
                                                     PyObject* const* values,
                                                     PyThreadState* thread) noexcept {
    return check_parameter_types(*object->function, values) ? run(object, values, thread) : nullptr;
}

// The strict type tests, then `run`.
template <Runner run>
PyObject* test_then(const NativeFunction* object, PyObject* const* values,
                    PyThreadState* thread) noexcept {
    if (!parameter_types_pass(*object->function, values)) [[unlikely]] {
        return test_slowly_then<run>(object, values, thread);
    }
    return run(object, values, thread);
}

// What runs the body of `function`, so that no call asks again what the record says.
Runner choose_runner(const Function& function) noexcept {
    const bool guards_itself = function.def().guards_itself;
    if (function.tests_types()) {
        return guards_itself ? test_then<call_body> : test_then<guard_and_call_body>;
    }
    return guards_itself ? call_body : guard_and_call_body;
}

// Binds the arguments into a local array and converts them, then runs the body: every
// call of a function with parameters to convert, and every call whose arguments are not laid
// out as the parameters are.
FRAME_NOINLINE PyObject* bind_and_run(const NativeFunction* object, PyObject* const* args,
                                      std::size_t nargsf, PyObject* kwnames,
                                      PyThreadState* thread) noexcept {
    const Function& function = *object->function;
    PyObject* bound[max_params];
    if (!bind_arguments(function, args, nargsf, kwnames, bound) ||
        (function.converts() && !convert_truth_values(function, bound))) {
        add_entry_at_definition(object);
        return nullptr;
    }
    return object->run(object, bound, thread);
}

PyObject* vectorcall_binding(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept {
    return bind_and_run(as_function(self), args, nargsf, kwnames, nullptr);
}

// The values of the parameters, in order, where they already lie: the caller's vector when it
// holds one value per parameter (by position, then by keywords named as the remaining
// parameters, in order, as a call with literal keywords usually names them), or the defaults
// when the call passes nothing. Null when the call needs binding.
PyObject* const* arguments_in_place(const Function& function, PyObject* const* args,
                                    Py_ssize_t given, PyObject* kwnames) noexcept {
    if (!kwnames) {
        if (given == function.size()) {
            return args;
        }
        return given == 0 && function.required_count() == 0 ? function.unbound().data() : nullptr;
    }
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    if (given + keywords != function.size()) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        // Parameter names are interned, and so are the keywords of compiled calls.
        if (PyTuple_GET_ITEM(kwnames, k) != function.param_name(given + k)) {
            return nullptr;
        }
    }
    return args;
}

// A call of a function that converts no parameter: the body reads the values in place
// whenever it can.
PyObject* call_in_place(const NativeFunction* object, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames, PyThreadState* thread) noexcept {
    PyObject* const* values =
        arguments_in_place(*object->function, args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!values) [[unlikely]] {
        return bind_and_run(object, args, nargsf, kwnames, thread);
    }
    return object->run(object, values, thread);
}

PyObject* vectorcall_in_place(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
    return call_in_place(as_function(self), args, nargsf, kwnames, nullptr);
}

} // namespace

PyObject* call_nested(PyObject* function, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames, PyThreadState* thread) noexcept {
    const NativeFunction* object = as_function(function);
    return object->function->converts() ? bind_and_run(object, args, nargsf, kwnames, thread)
                                        : call_in_place(object, args, nargsf, kwnames, thread);
}

PyObject* call_global_looked_up(const Invocation& call, const Id& name, PyObject* const* args,
                                std::size_t nargsf, PyObject* kwnames) noexcept {
    const Ref function = call.lookup_global(name);
    if (!function) {
        return nullptr;
    }
    if (Py_IS_TYPE(function.get(), function_type())) {
        return call_nested(function, args, nargsf, kwnames, call.thread());
    }
    return PyObject_Vectorcall(function, args, nargsf, kwnames);
}

} // namespace frame
