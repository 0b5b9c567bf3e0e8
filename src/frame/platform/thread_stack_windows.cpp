// Windows: the thread's stack limits, reserved size included (not only the pages committed so
// far). On a fiber these are the fiber's own limits, which is where the call runs.
#include "frame/thread_stack.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace frame {

std::optional<StackExtent> find_thread_stack() noexcept {
    ULONG_PTR lowest = 0;
    ULONG_PTR highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    if (lowest == 0 || highest <= lowest) {
        return std::nullopt;
    }
    return StackExtent{static_cast<std::uintptr_t>(lowest), static_cast<std::uintptr_t>(highest)};
}

} // namespace frame
