// The guard every function body runs under, so that input nested too deeply (or containing
// itself) raises RecursionError instead of overflowing the C stack.
#pragma once

#include "frame/internals.hpp"
#include "frame/ref.hpp"

namespace frame {

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
