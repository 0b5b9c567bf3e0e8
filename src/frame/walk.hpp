// Container walks: functions that copy nested dicts, lists and tuples by calling themselves,
// through their module global, once per element. The walk behaves as these comprehensions
// would in the walking function's body:
//
//     {k: nested(k, v) for k, v in value.items()}     # dict, or a subclass
//     [nested(label, v) for v in value]                # list, or a subclass
//     tuple(nested(label, v) for v in value)           # tuple, or a subclass
//
// with the interpreter's iteration rules (a dict that changes size fails the walk), the
// generator rule for the tuple case (a StopIteration that escapes becomes RuntimeError) and
// traceback entries at the lines the walking function gives.
#pragma once

#include "frame/function.hpp"

namespace frame {

// The source lines a walking function reports, one for each step that can fail.
struct WalkLines {
    int dict_created;      // making the new dict
    int dict_entry;        // a nested call for an entry, or storing its result
    int dict_items;        // calling items(), iterating the pairs, or unpacking one
    int list_created;      // making the new list, or appending to it
    int list_element;      // a nested call for an element
    int list_iteration;    // iterating the list
    int tuple_built;       // building the tuple (also when the generator expression failed)
    int genexpr_element;   // inside the generator expression: a nested call
    int genexpr_iteration; // inside the generator expression: iterating the value
};

// The nested call for one element: the walking function, looked up (through the running
// `call`) and called again. `label`
// is the entry's key in a dict walk; in a list or tuple walk it is whatever the walking
// function passed to `walk` for its elements to inherit. Returns a new reference, or an empty
// Ref with an exception set.
using NestedCall = Ref (*)(const Call& call, PyObject* label, PyObject* element) noexcept;

// Everything that describes one walking function's walk.
struct WalkDef {
    WalkLines lines;
    NestedCall nested;
};

// Whether `value` is a container that walks copy: a dict, list or tuple, or a subclass.
inline bool is_walked_container(PyObject* value) noexcept {
    return PyType_FastSubclass(Py_TYPE(value), Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                                   Py_TPFLAGS_TUPLE_SUBCLASS);
}

// A new plain dict, list or tuple holding the results of the nested calls for the elements
// of `value`, which must be a walked container. Marks the failing step's line on `call`;
// returns a new reference, or null with an exception set.
PyObject* walk(Call& call, const WalkDef& def, PyObject* value, PyObject* label) noexcept;

} // namespace frame
