#include "frame/recursion.hpp"

#include "frame/thread_stack.hpp"

#include <algorithm>
#include <cstdint>

namespace frame {
namespace {

constexpr const char* recursion_context = " while calling a Python object";

// Room kept free below the deepest call, for raising the error and unwinding: a quarter of a
// small stack, 256 KiB of a large one.
constexpr std::uintptr_t most_reserved = 256 * 1024;

using recursion_detail::in_zone;
using recursion_detail::not_looked_up;
using recursion_detail::reserved_zone;
using recursion_detail::ReservedZone;

ReservedZone find_reserved_zone() noexcept {
    const std::optional<StackExtent> stack = find_thread_stack();
    if (!stack) {
        return {0, 0};
    }
    const std::uintptr_t size = stack->highest - stack->lowest;
    return {stack->lowest, std::min(size / 4, most_reserved)};
}

// The thread's first call, or a frame truly near the end of the thread's stack.
FRAME_COLD FRAME_NOINLINE bool first_call_or_near_end(std::uintptr_t frame) noexcept {
    if (reserved_zone.size != not_looked_up.size) {
        return true;
    }
    reserved_zone = find_reserved_zone();
    return in_zone(frame, reserved_zone);
}

bool stack_nearly_used_up() noexcept {
    const std::uintptr_t frame = current_frame_address();
    return in_zone(frame, reserved_zone) && first_call_or_near_end(frame);
}

} // namespace

FRAME_INITIAL_EXEC_TLS constinit thread_local recursion_detail::ReservedZone
    recursion_detail::reserved_zone = recursion_detail::not_looked_up;

RecursionGuard::RecursionGuard(PyThreadState* known) noexcept
    : thread_{known ? known : PyThreadState_GetUnchecked()} {
    if (stack_nearly_used_up()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", recursion_context);
        thread_ = nullptr;
    } else if (!internals::take_recursion_unit(thread_) &&
               Py_EnterRecursiveCall(recursion_context)) {
        // The budget is spent, and the interpreter's own check raised (or else it lent its
        // error-handling headroom).
        thread_ = nullptr;
    }
}

} // namespace frame
