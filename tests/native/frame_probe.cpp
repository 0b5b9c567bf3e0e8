// tools._testing.frame_probe: a module built only for the test suite. Its functions reach the
// parts of the frame that the package's own modules do not all exercise: typed and truth-valued
// parameters, required parameters, methods, self-recursion, and a few doors into the frame.
#include "frame/module.hpp"
#include "frame/objects.hpp"
#include "frame/shared/classes.hpp"

namespace {

using frame::Ref;

namespace id {
frame::Id Probe{"Probe"}, descend{"descend"}, depth{"depth"};
frame::Id one{"one"};
} // namespace id

frame::Keywords depth_keyword{"depth"};
frame::Text probe_name{"Probe"};

// Returns its bound arguments as a tuple, so tests can see what binding produced.
PyObject* echo(frame::Invocation& call, std::size_t count) noexcept {
    Ref result = Ref::steal(PyTuple_New(Py_ssize_t(count)));
    if (!result) {
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(result.get(), Py_ssize_t(i), Py_NewRef(call[i]));
    }
    return result.release();
}

PyObject* echo_two(frame::Invocation& call) noexcept { return echo(call, 2); }
PyObject* echo_three(frame::Invocation& call) noexcept { return echo(call, 3); }

// descend(depth): calls itself through the module global, one level deeper, forever.
PyObject* descend(frame::Invocation& call) noexcept {
    call.at(31);
    Ref self = call.lookup_global(id::descend);
    return self ? frame::call_with_keywords(self, depth_keyword, call[0]).release() : nullptr;
}

// fail(error, line): raises `error` (an exception, or a class to instantiate) from the
// statement at `line`.
PyObject* fail(frame::Invocation& call) noexcept {
    const long line = PyLong_AsLong(call[1]);
    if (line == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    call.at(int(line));
    if (PyExceptionClass_Check(call[0])) {
        PyErr_SetNone(call[0]);
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(call[0])), call[0]);
    }
    return nullptr;
}

// call_vector(func, args, kwnames): a vectorcall with any tuple of keyword names, as C code
// may make it.
PyObject* call_vector(frame::Invocation& call) noexcept {
    PyObject* args = call[1];
    PyObject* kwnames = call[2] == Py_None ? nullptr : call[2];
    if (!PyTuple_Check(args) || (kwnames && !PyTuple_Check(kwnames))) {
        PyErr_SetString(PyExc_TypeError, "args and kwnames must be tuples");
        return nullptr;
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t positional = PyTuple_GET_SIZE(args) - keywords;
    if (positional < 0) {
        PyErr_SetString(PyExc_ValueError, "fewer values than keyword names");
        return nullptr;
    }
    return PyObject_Vectorcall(call[0], &PyTuple_GET_ITEM(args, 0), std::size_t(positional),
                               kwnames);
}

// exec_foreign(): runs this module's exec step on a module object other than the held one.
PyObject* exec_foreign(frame::Invocation&) noexcept {
    PyObject* held = PyDict_GetItemString(PyImport_GetModuleDict(), "tools._testing.frame_probe");
    PyModuleDef* definition = held ? PyModule_GetDef(held) : nullptr;
    if (!definition) {
        PyErr_SetString(PyExc_SystemError, "the probe module is not loaded");
        return nullptr;
    }
    Ref other = Ref::steal(PyModule_New("other"));
    if (!other || PyModule_ExecDef(other, definition) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// warn_version(version): the exec step's version check, for a chosen running version.
PyObject* warn_version(frame::Invocation& call) noexcept {
    const unsigned long version = PyLong_AsUnsignedLong(call[0]);
    if ((version == static_cast<unsigned long>(-1) && PyErr_Occurred()) ||
        !frame::check_interpreter_version(version)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Counts the interpreter's allocations (object and raw-memory domains) during one call.
struct AllocationCounter {
    static inline PyMemAllocatorEx object_allocator, mem_allocator;
    static inline std::size_t count = 0;

    template <PyMemAllocatorEx* original> static void* malloc(void*, std::size_t size) noexcept {
        ++count;
        return original->malloc(original->ctx, size);
    }
    template <PyMemAllocatorEx* original>
    static void* calloc(void*, std::size_t n, std::size_t size) noexcept {
        ++count;
        return original->calloc(original->ctx, n, size);
    }
    template <PyMemAllocatorEx* original>
    static void* realloc(void*, void* ptr, std::size_t size) noexcept {
        ++count;
        return original->realloc(original->ctx, ptr, size);
    }
    template <PyMemAllocatorEx* original> static void free(void*, void* ptr) noexcept {
        original->free(original->ctx, ptr);
    }
    template <PyMemAllocatorEx* original> static PyMemAllocatorEx counting() noexcept {
        return {nullptr, malloc<original>, calloc<original>, realloc<original>, free<original>};
    }
};

// count_allocations(func, args): how many blocks func(*args) allocates; the result must be
// a borrowed, preexisting object (None, a small int) for the count to mean binding alone.
PyObject* count_allocations(frame::Invocation& call) noexcept {
    PyObject* args = call[1];
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_TypeError, "args must be a tuple");
        return nullptr;
    }
    using Counter = AllocationCounter;
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &Counter::object_allocator);
    PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &Counter::mem_allocator);
    PyMemAllocatorEx object_counter = Counter::counting<&Counter::object_allocator>();
    PyMemAllocatorEx mem_counter = Counter::counting<&Counter::mem_allocator>();
    Counter::count = 0;
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &object_counter);
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem_counter);
    Ref result = Ref::steal(PyObject_Vectorcall(call[0], &PyTuple_GET_ITEM(args, 0),
                                                std::size_t(PyTuple_GET_SIZE(args)), nullptr));
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &Counter::object_allocator);
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &Counter::mem_allocator);
    if (!result) {
        return nullptr;
    }
    return PyLong_FromSize_t(Counter::count);
}

constexpr frame::Param typed_params[] = {
    {.name = "text", .annotation = "str", .check = frame::Check::str},
    {.name = "maybe",
     .annotation = "str",
     .fallback = frame::none,
     .check = frame::Check::str_or_none},
};
constexpr frame::Param flag_params[] = {
    {.name = "first", .fallback = frame::true_, .check = frame::Check::truth},
    {.name = "second", .fallback = frame::false_, .check = frame::Check::truth},
    {.name = "label", .fallback = frame::text("*"), .check = frame::Check::str_or_none},
};
constexpr frame::Param required_params[] = {
    {.name = "a"}, {.name = "b"}, {.name = "c", .fallback = frame::none}};
constexpr frame::Param method_params[] = {{.name = "self"}, {.name = "x", .annotation = "int"}};
constexpr frame::Param depth_params[] = {{.name = "depth"}};
constexpr frame::Param fail_params[] = {{.name = "error"}, {.name = "line"}};
constexpr frame::Param call_vector_params[] = {
    {.name = "func"}, {.name = "args"}, {.name = "kwnames", .fallback = frame::none}};
constexpr frame::Param version_params[] = {{.name = "version"}};
constexpr frame::Param allocation_params[] = {{.name = "func"}, {.name = "args"}};

frame::Function typed_function{{.name = "typed",
                                .qualname = "typed",
                                .params = typed_params,
                                .returns = "tuple",
                                .line = 10,
                                .body = echo_two}};
frame::Function flags_function{
    {.name = "flags", .qualname = "flags", .params = flag_params, .line = 12, .body = echo_three}};
frame::Function required_function{{.name = "required",
                                   .qualname = "required",
                                   .params = required_params,
                                   .line = 14,
                                   .body = echo_three}};
frame::Function method_function{{.name = "one",
                                 .qualname = "Probe.one",
                                 .params = method_params,
                                 .doc = "One argument.",
                                 .line = 18,
                                 .body = echo_two}};
frame::Function descend_function{{.name = "descend",
                                  .qualname = "descend",
                                  .params = depth_params,
                                  .line = 30,
                                  .body = descend}};
frame::Function fail_function{
    {.name = "fail", .qualname = "fail", .params = fail_params, .line = 40, .body = fail}};
frame::Function call_vector_function{{.name = "call_vector",
                                      .qualname = "call_vector",
                                      .params = call_vector_params,
                                      .line = 50,
                                      .body = call_vector}};
frame::Function exec_foreign_function{
    {.name = "exec_foreign", .qualname = "exec_foreign", .line = 60, .body = exec_foreign}};
frame::Function warn_version_function{{.name = "warn_version",
                                       .qualname = "warn_version",
                                       .params = version_params,
                                       .line = 70,
                                       .body = warn_version}};
frame::Function count_allocations_function{{.name = "count_allocations",
                                            .qualname = "count_allocations",
                                            .params = allocation_params,
                                            .line = 80,
                                            .body = count_allocations}};

// class Probe: def one(self, x: int)
bool define_probe_class() noexcept {
    Ref namespace_ = frame::class_namespace(probe_name);
    Ref method = frame::make_function(method_function);
    if (!namespace_ || !method || PyDict_SetItem(namespace_, id::one, method) < 0) {
        return false;
    }
    Ref cls = frame::make_class(probe_name, namespace_);
    return cls && frame::set_global(id::Probe, cls);
}

constexpr frame::Statement module_body[] = {
    {10, []() noexcept { return frame::define(typed_function); }},
    {12, []() noexcept { return frame::define(flags_function); }},
    {14, []() noexcept { return frame::define(required_function); }},
    {17, []() noexcept { return define_probe_class(); }},
    {30, []() noexcept { return frame::define(descend_function); }},
    {40, []() noexcept { return frame::define(fail_function); }},
    {50, []() noexcept { return frame::define(call_vector_function); }},
    {60, []() noexcept { return frame::define(exec_foreign_function); }},
    {70, []() noexcept { return frame::define(warn_version_function); }},
    {80, []() noexcept { return frame::define(count_allocations_function); }},
};

constexpr frame::Module probe_module{
    .short_name = "frame_probe",
    .dotted_name = "tools._testing.frame_probe",
    .source_path = "tests/native/frame_probe.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_frame_probe() { return frame::initialize(probe_module); }
