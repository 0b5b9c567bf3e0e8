#include "frame/internals.hpp"

#include <opcode.h> // the opcodes, kept out of the header: their names are bare macros

namespace frame::internals {

// Relies on the 3.13 encoding: two bytes an instruction, the call protocol
// [callable, NULL, args], and three inline cache entries after CALL.
// clang-format off
constexpr unsigned char bytecode[] = {
    RESUME,        0, // every code object starts here; tracing and monitoring hook in at it
    LOAD_CONST,    0, // the exception class
    PUSH_NULL,     0,
    LOAD_CONST,    1, // the message
    CALL,          1, // the call's inline caches follow
    0,             0,
    0,             0,
    0,             0,
    RAISE_VARARGS, 1,
};
// clang-format on

std::span<const unsigned char> unrunnable_bytecode() noexcept { return bytecode; }

} // namespace frame::internals
