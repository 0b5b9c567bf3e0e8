// tools._testing.foreign_stack: runs a call on a stack that the program allocated itself, as a
// coroutine library or an embedding host does, then returns to the thread's own stack.
#include "frame/ref.hpp"

#include <ucontext.h>

#include <cstdlib>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define FOREIGN_STACK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FOREIGN_STACK_ASAN 1
#endif
#endif
#ifdef FOREIGN_STACK_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

// One call to make on the other stack, and its outcome. makecontext passes the entry function
// only int arguments, so the call travels through a thread-local.
struct ForeignCall {
    PyObject* callable;
    PyObject* const* args;
    std::size_t nargs;
    PyObject* result = nullptr;
    ucontext_t caller{};
    ucontext_t callee{};
    // AddressSanitizer is told of each switch, so that it tracks the right stack.
    void* fake_stack = nullptr;
    const void* caller_bottom = nullptr;
    std::size_t caller_size = 0;
};

thread_local ForeignCall* pending = nullptr;

void run_pending_call() {
    ForeignCall& call = *pending;
#ifdef FOREIGN_STACK_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &call.caller_bottom, &call.caller_size);
#endif
    call.result = PyObject_Vectorcall(call.callable, call.args, call.nargs, nullptr);
#ifdef FOREIGN_STACK_ASAN
    __sanitizer_start_switch_fiber(nullptr, call.caller_bottom, call.caller_size);
#endif
    // Never resumed: the caller frees this stack as soon as it is back.
    swapcontext(&call.callee, &call.caller);
}

struct FreeMemory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};

// call_on_foreign_stack(stack_size, callable, *args): callable(*args), run on a fresh stack of
// stack_size bytes.
PyObject* call_on_foreign_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 2) {
        PyErr_SetString(PyExc_TypeError, "call_on_foreign_stack(stack_size, callable, *args)");
        return nullptr;
    }
    const std::size_t stack_size = PyLong_AsSize_t(args[0]);
    if (stack_size == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    std::unique_ptr<void, FreeMemory> stack{std::malloc(stack_size)};
    if (!stack) {
        return PyErr_NoMemory();
    }
    ForeignCall call{
        .callable = args[1], .args = args + 2, .nargs = static_cast<std::size_t>(nargs - 2)};
    if (getcontext(&call.callee) != 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    call.callee.uc_stack.ss_sp = stack.get();
    call.callee.uc_stack.ss_size = stack_size;
    call.callee.uc_link = nullptr;
    makecontext(&call.callee, run_pending_call, 0);
    pending = &call;
#ifdef FOREIGN_STACK_ASAN
    __sanitizer_start_switch_fiber(&call.fake_stack, stack.get(), stack_size);
#endif
    const int switched = swapcontext(&call.caller, &call.callee);
#ifdef FOREIGN_STACK_ASAN
    __sanitizer_finish_switch_fiber(call.fake_stack, nullptr, nullptr);
#endif
    pending = nullptr;
    if (switched != 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return call.result;
}

PyMethodDef methods[] = {
    {"call_on_foreign_stack",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_on_foreign_stack)),
     METH_FASTCALL, "callable(*args), run on a fresh stack of stack_size bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module{
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tools._testing.foreign_stack",
    .m_doc = "Calls run on a stack that the program allocated itself.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

} // namespace

PyMODINIT_FUNC PyInit_foreign_stack() { return PyModuleDef_Init(&module); }
