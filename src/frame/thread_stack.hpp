// Where the calling thread's own stack lies. Each platform answers in its own file under
// platform/, and the build picks the one that fits; where the platform has no way to tell,
// the answer is "unknown".
#pragma once

#include <cstdint>
#include <optional>

namespace frame {

// The addresses [lowest, highest) of a stack that grows down towards `lowest`.
struct StackExtent {
    std::uintptr_t lowest;
    std::uintptr_t highest;
};

// The stack the calling thread was started with, or nothing when it cannot be found.
[[nodiscard]] std::optional<StackExtent> find_thread_stack() noexcept;

} // namespace frame
