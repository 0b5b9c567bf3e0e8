// macOS: the system reports the top of each thread's stack (the end it grows down from) and
// its size, the main thread's included.
#include "frame/thread_stack.hpp"

#include <pthread.h>

#include <cstddef>

namespace frame {

std::optional<StackExtent> find_thread_stack() noexcept {
    const pthread_t self = pthread_self();
    const auto highest = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    const std::size_t size = pthread_get_stacksize_np(self);
    if (highest == 0 || size == 0 || size > highest) {
        return std::nullopt;
    }
    return StackExtent{highest - size, highest};
}

} // namespace frame
