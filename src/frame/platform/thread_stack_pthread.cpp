// Linux (glibc and musl) and other systems with pthread_getattr_np: the thread's attributes
// hold its stack, the main thread's included (sized by its resource limit).
#include "frame/thread_stack.hpp"

#include <pthread.h>

#include <cstddef>

namespace frame {

std::optional<StackExtent> find_thread_stack() noexcept {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return std::nullopt;
    }
    void* lowest = nullptr;
    std::size_t size = 0;
    const int found = pthread_attr_getstack(&attributes, &lowest, &size);
    pthread_attr_destroy(&attributes);
    if (found != 0 || lowest == nullptr || size == 0) {
        return std::nullopt;
    }
    const auto low = reinterpret_cast<std::uintptr_t>(lowest);
    return StackExtent{low, low + size};
}

} // namespace frame
