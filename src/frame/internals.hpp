// Every part of the interpreter that the frame relies on beyond the stable, documented C API:
// names that start with an underscore, fields of structures that may change between versions,
// and facts about the bytecode. Each entry says what it relies on and why it is worth it, so
// that moving to another interpreter version is this file's work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

namespace frame::internals {

// --- dicts -------------------------------------------------------------------------------

// The version of a dict's contents: the interpreter gives a dict a new, never reused value each
// time it is modified (deprecated since 3.12, read here alone; a dict watcher on the module
// globals is the route once it is gone). A global lookup that finds its name unchanged skips
// the dict probe: about 110 instructions of the 510 that a hush_secret walk spends per node
// beyond building its copy.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
}

// --- code objects ------------------------------------------------------------------------

// The bytecode of every function's code object: `raise TypeError(<message>)`, with the
// exception class and the message as the code object's constants 0 and 1. A code object that
// describes a signature must still be safe to run (through types.FunctionType, say).
// Correctness, not speed: the interpreter refuses to run a zero-filled placeholder.
std::span<const unsigned char> unrunnable_bytecode() noexcept;
inline constexpr int unrunnable_stack_size = 3;

} // namespace frame::internals
