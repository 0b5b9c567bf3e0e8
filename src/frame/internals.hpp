// Every part of the interpreter that the frame relies on beyond the stable, documented C API:
// names that start with an underscore, the unstable API, fields of structures that may change
// between versions, and facts about the bytecode. Each entry says what it relies on and why it
// is worth it: instructions counted with callgrind against a build that takes the public route
// instead (per call of the named function, loop included; a walk over ~10 000 nodes per node),
// so that moving to another interpreter version is this file's work. tests/test_internals.py
// keeps every other file of the frame and the modules from reaching past it.
#pragma once

#include "frame/compiler.hpp"
#include "frame/ref.hpp"

#include <frameobject.h> // PyFrame_New

#include <cstdint>
#include <span>

namespace frame::internals {

// --- types -------------------------------------------------------------------------------

// `name` in the type's MRO (borrowed, or null; never raises), through the interpreter's type
// cache: _PyType_Lookup. Public route: PyType_GetDict and PyDict_GetItemRef along tp_mro,
// which makes the walks' `__class__` check on instances of plain classes (one and three bases
// deep) 590 instructions more per instance, 700 -> 1290.
inline PyObject* find_in_mro(PyTypeObject* type, PyObject* name) noexcept {
    return _PyType_Lookup(type, name);
}

// The type's version tag, assigned if it has none yet; 0 when it cannot have one. The tag
// changes whenever the type or a base changes, so (type, tag) says a remembered MRO lookup
// still holds: PyUnstable_Type_AssignVersionTag and tp_version_tag. No public route to
// remembering a lookup; looking up in full at each call instead (PyObject_GetAttr) costs
// PropKeeper.get_attribute 310 instructions more (2820 -> 3130) and set_attribute 300 more.
inline unsigned int assign_version_tag(PyTypeObject* type) noexcept {
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

// The type's version tag as it is now: 0 once the type changed and has not been tagged anew.
inline unsigned int version_tag(const PyTypeObject* type) noexcept { return type->tp_version_tag; }

// --- descriptors -------------------------------------------------------------------------

// The slot function that a slot wrapper (a wrapper_descriptor) calls: its d_wrapped field.
// Calling it directly skips packing the arguments and the wrapper's checks, so only for a
// wrapper whose checks the caller makes itself. Public route: calling the wrapper, 735 more
// instructions per PropKeeper.get_attribute (2820 -> 3555) and 850 more per set_attribute.
inline void* wrapped_slot(PyObject* wrapper) noexcept {
    return reinterpret_cast<PyWrapperDescrObject*>(wrapper)->d_wrapped;
}

// The member a member descriptor (a __slots__ entry) reads, and the class that defines it:
// PyMemberDescrObject's d_member and PyDescrObject's d_type. No public route to the offset;
// with the version tag it lets PropKeeper.value read its slots in place: without both (a
// PyObject_GetAttr each), 1125 instructions more per read (3390 -> 4520).
inline const PyMemberDef* member_of(PyObject* descriptor) noexcept {
    return reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
}
inline PyTypeObject* owner_of(PyObject* descriptor) noexcept { return PyDescr_TYPE(descriptor); }

// --- instance attributes -----------------------------------------------------------------

// Where an instance of a plain class keeps its attributes in 3.13: their values lie right
// after the object's header (the "inline values", a PyDictValues), in the order of the
// class's shared keys (PyHeapTypeObject's ht_cached_keys, a split PyDictKeysObject). The
// interpreter's specialised attribute load reads a remembered index there, guarded by the
// type's version tag and the values' `valid` flag (which drops when the values move out to a
// dict of their own); inline_value_index and inline_value give the frame the same read. The
// layouts below are 3.13's (Include/internal/pycore_dict.h), mirrored since that header needs
// the interpreter's own build. Public route: PyObject_GetAttr at every read; with it (and
// without compact_int) veil_bulk_text takes 192 instructions more per node of the synthetic
// walk of ~10 000 nodes above the copy floor (519 -> 327). See attribute_cache.hpp's
// InstanceAttribute.
namespace inline_layout {
struct Values {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
    PyObject* values[1];
};
struct Keys {
    Py_ssize_t refcount;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t entries;
    char indices[1];
};
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};
inline constexpr std::uint8_t split_kind = 2; // DICT_KEYS_SPLIT
} // namespace inline_layout

// The index of `name` among the inline values of `type`'s instances; -1 when the type keeps
// no inline values or its shared keys do not hold the name (compared by identity: attribute
// names are interned). The index stays the same for the life of the type, since shared keys
// only grow at their end.
inline Py_ssize_t inline_value_index(PyTypeObject* type, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) ||
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_basicsize != sizeof(PyObject)) {
        return -1;
    }
    const auto* keys = reinterpret_cast<const inline_layout::Keys*>(
        reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (!keys || keys->kind != inline_layout::split_kind) {
        return -1;
    }
    const auto* entries = reinterpret_cast<const inline_layout::UnicodeEntry*>(
        keys->indices + (std::size_t{1} << keys->log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->entries; ++i) {
        if (entries[i].key == name) {
            return i;
        }
    }
#else
    (void)type;
    (void)name;
#endif
    return -1;
}

// The value at `index` of `obj`'s inline values, where inline_value_index(Py_TYPE(obj), name)
// gave `index`: borrowed, or null when the values are no longer valid (the instance's
// attributes moved to a dict) or hold nothing there.
inline PyObject* inline_value(PyObject* obj, Py_ssize_t index) noexcept {
    const auto* values = reinterpret_cast<const inline_layout::Values*>(
        reinterpret_cast<const char*>(obj) + sizeof(PyObject));
    return values->valid && index < values->capacity ? values->values[index] : nullptr;
}

// --- ints --------------------------------------------------------------------------------

// An exact int's value when it is compact (it fits in one digit, at least 30 bits): the value
// stored in place, PyUnstable_Long_IsCompact and PyUnstable_Long_CompactValue. Public route:
// PyLong_AsLongLongAndOverflow, a call into the interpreter at every comparison of a text's
// length with the limit of veil_bulk_text and every measure of an int leaf (counted together
// with inline_value above).
inline bool compact_int(PyObject* obj, Py_ssize_t& value) noexcept {
    if (!PyLong_CheckExact(obj)) {
        return false;
    }
    const auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    value = PyUnstable_Long_CompactValue(number);
    return true;
}

// --- dicts -------------------------------------------------------------------------------

// The version of a dict's contents: the interpreter gives a dict a new, never reused value each
// time it is modified (PyDictObject's ma_version_tag, deprecated since 3.12 and read here
// alone; a dict watcher on the module globals is the route once it is gone). A function body's
// global lookup that finds its name's namespace unchanged returns the value it found there
// before, with no dict probe: 150 instructions less per node of hush_secret on the real-data
// walk (309 -> 266 million a pass) and 210 less per node of veil_bulk_text (359 -> 302).
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    FRAME_ALLOW_DEPRECATED_BEGIN
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    FRAME_ALLOW_DEPRECATED_END
}

// --- containers --------------------------------------------------------------------------

// A new dict sized for `size` items, so that filling it never resizes: _PyDict_NewPresized.
// Public route: PyDict_New, which grows while it is filled: 12 instructions more per node of
// veil_bulk_text and 9 of hush_secret (1%), about 75 per dict copied.
inline PyObject* new_dict_presized(Py_ssize_t size) noexcept { return _PyDict_NewPresized(size); }

// An empty list with room for `room` items, so that appending that many moves nothing (the
// way list() prepares itself for an iterable of known length): a list made with `room` empty
// items whose size is then set to 0 with Py_SET_SIZE, which keeps the room (its `allocated`).
// Public route: PyList_New(0), which grows while it is filled: 7.5 instructions more per node
// of veil_bulk_text and 4 of hush_secret (0.4-0.7%).
inline Ref new_list_with_room(Py_ssize_t room) noexcept {
    Ref list = Ref::steal(PyList_New(room));
    if (list) {
        Py_SET_SIZE(list.get(), 0);
    }
    return list;
}

// --- recursion ---------------------------------------------------------------------------

// The thread's C recursion budget, moved in place: PyThreadState's c_recursion_remaining, the
// counter that Py_EnterRecursiveCall and Py_LeaveRecursiveCall move (they are functions, not
// inline, in 3.13). Taking a unit fails when the budget is spent; the caller then leaves the
// decision (and the error) to Py_EnterRecursiveCall. Public route: those two calls, 49
// instructions more per find_origin() (522 -> 571) and 50 more per node of the walks (5%).
inline bool take_recursion_unit(PyThreadState* thread) noexcept {
    if (thread->c_recursion_remaining > 0) {
        --thread->c_recursion_remaining;
        return true;
    }
    return false;
}
inline void give_back_recursion_unit(PyThreadState* thread) noexcept {
    ++thread->c_recursion_remaining;
}

// --- code objects and frames -------------------------------------------------------------

// The bytecode of every function's code object, `raise TypeError(<message>)` with the
// exception class and the message as its constants: a code object that describes a signature
// must still be safe to run (through types.FunctionType, say). Defined in internals.cpp, which
// alone includes the opcodes (bare macros); it relies on the 3.13 encoding.
std::span<const unsigned char> unrunnable_bytecode() noexcept;
inline constexpr int unrunnable_stack_size = 3;

// What a code object made by new_unrunnable_code shows: `params` positional parameters, the
// first `varnames`; the rest of `varnames` are its locals.
struct CodeShape {
    int params;
    PyObject* varnames; // a tuple of str
    PyObject* consts;   // (exception class, message), as unrunnable_bytecode reads them
    PyObject* filename;
    PyObject* name; // also its qualified name
    int first_line;
    PyObject* empty_tuple;
    PyObject* empty_bytes;
};

// A code object that runs unrunnable_bytecode: PyUnstable_Code_NewWithPosOnlyArgs. The bytecode
// ties it to the version anyway; the public route, code.replace() on PyCode_NewEmpty's code,
// is the same constructor behind a keyword call. Made once per function at import: kept for
// being one plain call, not for speed.
inline Ref new_unrunnable_code(const CodeShape& shape) noexcept {
    const std::span<const unsigned char> unrunnable = unrunnable_bytecode();
    Ref bytecode = Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(unrunnable.data()), Py_ssize_t(unrunnable.size())));
    if (!bytecode) {
        return {};
    }
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        shape.params, 0, 0, int(PyTuple_GET_SIZE(shape.varnames)), unrunnable_stack_size,
        CO_OPTIMIZED | CO_NEWLOCALS, bytecode, shape.consts, shape.empty_tuple, shape.varnames,
        shape.empty_tuple, shape.empty_tuple, shape.filename, shape.name, shape.name,
        shape.first_line, shape.empty_bytes, shape.empty_bytes)));
}

// A frame that runs nothing, made only to be added to a traceback: PyFrame_New, from
// frameobject.h, which Python.h leaves out. No public route; made only on the error path.
inline Ref new_frame(PyCodeObject* code, PyObject* globals) noexcept {
    return Ref::steal(
        reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
}

} // namespace frame::internals
