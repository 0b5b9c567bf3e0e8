#include "frame/recursion.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace frame {
namespace {

constexpr const char* recursion_context = " while calling a Python object";

// Room kept free below the deepest call, for raising the error and unwinding: a quarter of a
// small stack, 256 KiB of a large one.
constexpr std::size_t most_reserved = 256 * 1024;

// The lowest frame address at which this thread may still enter a function body; 0 until the
// thread's first call, 1 when its stack cannot be found (then only the budget applies).
// Initial-exec: reading it is one load, not a call into the dynamic linker.
[[gnu::tls_model("initial-exec")]] constinit thread_local std::uintptr_t stack_floor = 0;

std::uintptr_t find_stack_floor() noexcept {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return 1;
    }
    void* lowest = nullptr;
    std::size_t size = 0;
    const int found = pthread_attr_getstack(&attributes, &lowest, &size);
    pthread_attr_destroy(&attributes);
    if (found != 0) {
        return 1;
    }
    return reinterpret_cast<std::uintptr_t>(lowest) + std::min(size / 4, most_reserved);
}

bool stack_nearly_used_up() noexcept {
    if (stack_floor == 0) {
        stack_floor = find_stack_floor();
    }
    // The frame address, not a local's: sanitizers may move locals off the stack.
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor;
}

} // namespace

RecursionGuard::RecursionGuard() noexcept : thread_{PyThreadState_GetUnchecked()} {
    if (stack_nearly_used_up()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", recursion_context);
        thread_ = nullptr;
    } else if (thread_->c_recursion_remaining > 0) {
        --thread_->c_recursion_remaining;
    } else if (Py_EnterRecursiveCall(recursion_context)) {
        // The interpreter's own check: it raises, or lends its error-handling headroom.
        thread_ = nullptr;
    }
}

} // namespace frame
