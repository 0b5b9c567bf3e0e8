// The guard every function body runs under, so that input nested too deeply (or containing
// itself) raises RecursionError instead of overflowing the C stack.
#pragma once

#include "frame/compiler.hpp"
#include "frame/internals.hpp"
#include "frame/ref.hpp"

#include <cstdint>

namespace frame {

namespace recursion_detail {

// The deep end of this thread's own stack, where no function body may start:
// [lowest, lowest + size). Frames on any other stack (a fiber's, an embedding host's) lie
// outside it, and there only the interpreter's budget applies; so it does where the thread's
// stack cannot be found (an empty zone). Until the thread's first call the zone spans every
// address, which sends that call to look the stack up.
struct ReservedZone {
    std::uintptr_t lowest;
    std::uintptr_t size;
};
inline constexpr ReservedZone not_looked_up{0, UINTPTR_MAX};

FRAME_INITIAL_EXEC_TLS extern constinit thread_local ReservedZone reserved_zone;

inline bool in_zone(std::uintptr_t frame, const ReservedZone& zone) noexcept {
    // One unsigned compare: addresses below `lowest` wrap around to large differences.
    return frame - zone.lowest < zone.size;
}

} // namespace recursion_detail

// Takes one unit of the budget of `thread` (the caller's own, already read) for the caller's
// frame when nothing stands in the way: the frame lies outside the reserved zone and the
// budget is not spent. False when it does not; the caller then enters a RecursionGuard,
// which decides and raises. The unit goes back with internals::give_back_recursion_unit.
FRAME_FORCE_INLINE bool take_recursion_unit_quickly(PyThreadState* thread) noexcept {
    return !recursion_detail::in_zone(current_frame_address(), recursion_detail::reserved_zone) &&
           internals::take_recursion_unit(thread);
}

// Holds one unit of the thread's C recursion budget (the counter that Py_EnterRecursiveCall
// and Py_LeaveRecursiveCall move) for its lifetime, and refuses to enter when the budget is
// spent or when the thread's C stack is nearly used up: threads with small stacks, and
// builds with larger frames, run out of stack before they run out of budget.
class RecursionGuard {
public:
    // `known` is the thread's state when the caller has it already (a call nested in another
    // on this thread), else null.
    explicit RecursionGuard(PyThreadState* known) noexcept;
    ~RecursionGuard() {
        if (thread_) {
            internals::give_back_recursion_unit(thread_);
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False when entering was refused; RecursionError is set then.
    [[nodiscard]] bool entered() const noexcept { return thread_ != nullptr; }
    // The thread's state, once entered.
    [[nodiscard]] PyThreadState* thread() const noexcept { return thread_; }

private:
    PyThreadState* thread_;
};

} // namespace frame
