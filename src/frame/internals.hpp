// Every part of the interpreter that the frame relies on beyond the stable, documented C API:
// names that start with an underscore, fields of structures that may change between versions,
// and facts about the bytecode. Each entry says what it relies on and why it is worth it, so
// that moving to another interpreter version is this file's work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <opcode.h>

namespace frame::internals {

// --- code objects ------------------------------------------------------------------------

// The bytecode of every function's code object, `raise TypeError(<message>)` with the
// message and the exception class as its constants: a code object that describes a signature
// must still be safe to run (through types.FunctionType, say). Relies on the 3.13 encoding:
// two bytes an instruction, the call protocol [callable, NULL, args], and three inline cache
// entries after CALL.
// clang-format off
inline constexpr unsigned char unrunnable_bytecode[] = {
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
inline constexpr int unrunnable_stack_size = 3;

} // namespace frame::internals
