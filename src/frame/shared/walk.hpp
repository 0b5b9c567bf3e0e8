// Container walks: functions that copy nested dicts, lists and tuples by calling themselves,
// through their module global, once per element. The walk behaves as these comprehensions
// would in the walking function's body:
//
//     {k: nested(k, v) for k, v in value.items()}     # isinstance(value, dict)
//     [nested(label, v) for v in value]                # isinstance(value, list)
//     tuple(nested(label, v) for v in value)           # isinstance(value, tuple)
//
// with the interpreter's iteration rules (a dict that changes size fails the walk), the
// generator rules for the tuple case (`iter(value)` runs where the generator expression is
// made; a StopIteration that escapes the generator becomes RuntimeError) and traceback entries
// at the lines the walking function gives.
#pragma once

#include "frame/compiler.hpp"
#include "frame/function.hpp"

namespace frame {

// The source lines a walking function reports, one for each step that can fail.
struct WalkLines {
    int dict_test;         // isinstance(value, dict)
    int dict_created;      // making the new dict
    int dict_entry;        // a nested call for an entry, or storing its result
    int dict_items;        // calling items(), iterating the pairs, or unpacking one
    int list_test;         // isinstance(value, list)
    int list_created;      // making the new list, or appending to it
    int list_element;      // a nested call for an element
    int list_iteration;    // iterating the list
    int tuple_test;        // isinstance(value, tuple)
    int tuple_built;       // building the tuple (also when the generator expression failed)
    int genexpr_created;   // making the generator expression, iter(value) included
    int genexpr_element;   // inside the generator expression: a nested call
    int genexpr_iteration; // inside the generator expression: iterating the value
    int str_test;          // isinstance(value, str), for a function that asks it
};

// The nested call for one element: the walking function, looked up (through the running
// `call`) and called again. `label`
// is the entry's key in a dict walk; in a list or tuple walk it is whatever the walking
// function passed to `walk` for its elements to inherit. Returns a new reference, or an empty
// Ref with an exception set.
using NestedCall = Ref (*)(const Invocation& call, PyObject* label, PyObject* element) noexcept;

// The tuple case's generator expression, as its traceback entries name it.
struct GeneratorNames {
    const Text& qualname;     // "<function>.<locals>.genexpr"
    const Text& created_name; // the entry for making it: "<module>.<function>.genexpr"
    int first_line;
};

// Everything that describes one walking function's walk.
struct WalkDef {
    WalkLines lines;
    NestedCall nested;
    GeneratorNames generator;
    bool tests_str; // whether the function asks isinstance(value, str) after the containers
};

// What the walking function's isinstance() tests make of a value: the first of dict, list,
// tuple (and str, where asked) that it is an instance of, or none of them. `undecided` only
// from shape_by_type, for a type that it leaves to the isinstance() tests.
enum class Shape : unsigned char { dict, list, tuple, str, other, failed, undecided };

// The shape of a value of exactly one of these types, or of a few other built-in types, which
// its type decides at once; `undecided` for any other.
inline Shape shape_by_type(const WalkDef& def, PyObject* value) noexcept {
    const PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return def.tests_str ? Shape::str : Shape::other;
    }
    if (type == &PyDict_Type) {
        return Shape::dict;
    }
    if (type == &PyList_Type) {
        return Shape::list;
    }
    if (type == &PyTuple_Type) {
        return Shape::tuple;
    }
    // The commonest other leaves of configuration data.
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type) {
        return Shape::other;
    }
    return Shape::undecided;
}

// The shape as the walking function's tests decide it: isinstance(value, dict), then list, then
// tuple, then str (if `def` asks it), stopping at the first that holds. isinstance() honours a
// `__class__` that reports another class (a weak proxy's, for one). `failed`, with the line marked
// on `call`, when reading
// `__class__` raised. Out of line, as is `walk`: a body that decides its common values by
// type alone then needs no saved registers on those paths.
FRAME_NOINLINE Shape shape_by_isinstance(Invocation& call, const WalkDef& def,
                                         PyObject* value) noexcept;

// A new plain dict, list or tuple holding the results of the nested calls for the elements
// of `value`, whose shape (dict, list or tuple) shape_by_type or shape_by_isinstance gave.
// Marks the failing step's line on `call`; returns a new reference, or null with an exception
// set.
FRAME_NOINLINE PyObject* walk(Invocation& call, const WalkDef& def, Shape shape, PyObject* value,
                              PyObject* label) noexcept;

} // namespace frame
