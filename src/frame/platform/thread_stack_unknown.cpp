// Any other platform: no portable way to find a thread's stack. The recursion guard then
// relies on the interpreter's recursion budget alone.
#include "frame/thread_stack.hpp"

namespace frame {

std::optional<StackExtent> find_thread_stack() noexcept { return std::nullopt; }

} // namespace frame
