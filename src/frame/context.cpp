#include "frame/context.hpp"

namespace frame {
namespace {

constinit ModuleContext context;

} // namespace

ModuleContext& module_context() noexcept { return context; }

} // namespace frame
