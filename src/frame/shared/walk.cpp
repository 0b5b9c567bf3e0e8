#include "frame/shared/walk.hpp"

#include "frame/compiler.hpp"
#include "frame/internals.hpp"
#include "frame/objects.hpp"
#include "frame/traceback.hpp"

#include <iterator>
#include <span>

namespace frame {
namespace {

Id items_name{"items"};
Id class_name{"__class__"};
Id genexpr_name{"genexpr"}; // the frame name of the tuple case's generator expression

// ---------------------------------------------------------------------------------------
// Iteration as a `for` loop does it.

// Steps through an iterable as a `for` loop does. Lists and tuples that iterate as their base
// type does are read by index, the very way their own iterators read them (a list's current
// size at every step), so most walks need no iterator object.
class ForLoop {
public:
    // Starts the loop over `iterable`, which the caller keeps alive. False with an exception
    // set when `iterable` has no iterator.
    bool start(PyObject* iterable) noexcept {
        const getiterfunc iter = Py_TYPE(iterable)->tp_iter;
        if (PyList_Check(iterable) && iter == PyList_Type.tp_iter) {
            sequence_ = iterable;
            list_ = true;
            return true;
        }
        if (PyTuple_Check(iterable) && iter == PyTuple_Type.tp_iter) {
            sequence_ = iterable;
            return true;
        }
        iterator_ = Ref::steal(PyObject_GetIter(iterable));
        return bool(iterator_);
    }

    // The next item; empty at the end (no exception set) or on failure (exception set).
    Ref next() noexcept {
        if (!sequence_) {
            return Ref::steal(PyIter_Next(iterator_));
        }
        if (list_) {
            return index_ < PyList_GET_SIZE(sequence_)
                       ? Ref::borrow(PyList_GET_ITEM(sequence_, index_++))
                       : Ref{};
        }
        return index_ < PyTuple_GET_SIZE(sequence_)
                   ? Ref::borrow(PyTuple_GET_ITEM(sequence_, index_++))
                   : Ref{};
    }

private:
    PyObject* sequence_ = nullptr; // read by index; borrowed
    bool list_ = false;
    Py_ssize_t index_ = 0;
    Ref iterator_; // otherwise
};

// ---------------------------------------------------------------------------------------
// Errors, kept out of the walks' own code.

FRAME_COLD FRAME_NOINLINE PyObject* raise_runtime_error(const char* message) noexcept {
    PyErr_SetString(PyExc_RuntimeError, message);
    return nullptr;
}

FRAME_COLD FRAME_NOINLINE bool raise_unpack_count(Py_ssize_t found) noexcept {
    constexpr Py_ssize_t expected = 2;
    if (found > expected) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                     found == 1 ? "" : "s");
    }
    return false;
}

// The exception in flight leaves the generator expression: the generator's frame gets its
// traceback entry, and a StopIteration turns into RuntimeError, as it does when it escapes any
// generator. The entry stays with the StopIteration, which becomes the cause; the RuntimeError
// starts a traceback of its own.
FRAME_COLD FRAME_NOINLINE PyObject* leave_generator(const Invocation& call, const WalkDef& def,
                                                    int line) noexcept {
    const GeneratorNames& generator = def.generator;
    add_nested_traceback_entry(genexpr_name, generator.qualname, generator.first_line, line,
                               call.globals());
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        Ref stop = Ref::steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        Ref error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(error, Ref::borrow(stop).release());
        PyException_SetContext(error, stop.release());
        PyErr_SetRaisedException(error.release());
    }
    return nullptr;
}

// Making the generator expression failed (iter(value) raised): the exception passes unchanged,
// StopIteration included, with the entry for the making.
FRAME_COLD FRAME_NOINLINE PyObject* generator_not_made(const Invocation& call,
                                                       const WalkDef& def) noexcept {
    add_traceback_entry(def.generator.created_name, def.lines.genexpr_created, call.globals());
    return nullptr;
}

// `key, element = item` for an item of a dict subclass's items().
bool unpack_pair(PyObject* item, Ref& key, Ref& element) noexcept {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != 2) {
            return raise_unpack_count(size);
        }
        key = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        element = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
        return true;
    }
    Ref parts = Ref::steal(PyObject_GetIter(item));
    if (!parts) {
        return false;
    }
    Py_ssize_t found = 0;
    for (Ref* part : {&key, &element}) {
        *part = Ref::steal(PyIter_Next(parts));
        if (!*part) {
            if (!PyErr_Occurred()) {
                raise_unpack_count(found);
            }
            return false;
        }
        ++found;
    }
    // The item must end here: a third part is one too many.
    Ref extra = Ref::steal(PyIter_Next(parts));
    if (extra) {
        return raise_unpack_count(found + 1);
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------------------
// The walks.

// {k: nested(k, v) for k, v in dict.items()}, for a dict whose type is exactly dict. The
// entries are read in place, with the checks of the dict's own iterator: its size must stay
// as it was, and it may not yield more entries than it had when the walk began.
FRAME_NOINLINE PyObject* walk_exact_dict(Invocation& call, const WalkDef& def,
                                         PyObject* dict) noexcept {
    const WalkLines& lines = def.lines;
    call.at(lines.dict_created);
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Ref result = Ref::steal(internals::new_dict_presized(size));
    if (!result) {
        return nullptr;
    }
    Py_ssize_t position = 0;
    Py_ssize_t remaining = size;
    PyObject* key = nullptr;
    PyObject* element = nullptr;
    for (;;) {
        call.at(lines.dict_items);
        if (PyDict_GET_SIZE(dict) != size) {
            return raise_runtime_error("dictionary changed size during iteration");
        }
        if (!PyDict_Next(dict, &position, &key, &element)) {
            return result.release();
        }
        if (remaining-- == 0) {
            return raise_runtime_error("dictionary keys changed during iteration");
        }
        // The nested call may change the dict; the pair stays alive until it is stored.
        const Ref held_key = Ref::borrow(key);
        const Ref held_element = Ref::borrow(element);
        call.at(lines.dict_entry);
        const Ref nested = def.nested(call, key, element);
        if (!nested || PyDict_SetItem(result, key, nested) < 0) {
            return nullptr;
        }
    }
}

// The same for a dict subclass, through whatever its items() returns.
FRAME_NOINLINE PyObject* walk_dict_items(Invocation& call, const WalkDef& def,
                                         PyObject* dict) noexcept {
    const WalkLines& lines = def.lines;
    call.at(lines.dict_created);
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return nullptr;
    }
    call.at(lines.dict_items);
    const Ref items = call_method(dict, items_name);
    ForLoop pairs;
    if (!items || !pairs.start(items)) {
        return nullptr;
    }
    for (;;) {
        call.at(lines.dict_items);
        const Ref item = pairs.next();
        if (!item) {
            return PyErr_Occurred() ? nullptr : result.release();
        }
        Ref key;
        Ref element;
        if (!unpack_pair(item, key, element)) {
            return nullptr;
        }
        call.at(lines.dict_entry);
        const Ref nested = def.nested(call, key, element);
        if (!nested || PyDict_SetItem(result, key, nested) < 0) {
            return nullptr;
        }
    }
}

// [nested(label, v) for v in list]
FRAME_NOINLINE PyObject* walk_list(Invocation& call, const WalkDef& def, PyObject* list,
                                   PyObject* label) noexcept {
    const WalkLines& lines = def.lines;
    call.at(lines.list_created);
    // Anything else that counts as a list (a proxy of one) is iterated as it comes.
    Ref result = internals::new_list_with_room(PyList_Check(list) ? PyList_GET_SIZE(list) : 0);
    if (!result) {
        return nullptr;
    }
    call.at(lines.list_iteration);
    ForLoop elements;
    if (!elements.start(list)) {
        return nullptr;
    }
    for (;;) {
        call.at(lines.list_iteration);
        const Ref element = elements.next();
        if (!element) {
            return PyErr_Occurred() ? nullptr : result.release();
        }
        call.at(lines.list_element);
        const Ref nested = def.nested(call, label, element);
        if (!nested) {
            return nullptr;
        }
        call.at(lines.list_created);
        if (PyList_Append(result, nested) < 0) {
            return nullptr;
        }
    }
}

// tuple(nested(label, v) for v in tuple), for a tuple subclass with an iteration of its own
// (or anything else that counts as a tuple): the iterator is made with the generator
// expression, then what the generator yields is gathered and made into the tuple.
FRAME_NOINLINE PyObject* walk_iterated_tuple(const Invocation& call, const WalkDef& def,
                                             PyObject* tuple, PyObject* label) noexcept {
    const WalkLines& lines = def.lines;
    ForLoop elements;
    if (!elements.start(tuple)) {
        return generator_not_made(call, def);
    }
    Ref yielded = Ref::steal(PyList_New(0));
    if (!yielded) {
        return nullptr;
    }
    for (;;) {
        const Ref element = elements.next();
        if (!element) {
            if (PyErr_Occurred()) {
                return leave_generator(call, def, lines.genexpr_iteration);
            }
            return PyList_AsTuple(yielded);
        }
        const Ref nested = def.nested(call, label, element);
        if (!nested) {
            return leave_generator(call, def, lines.genexpr_element);
        }
        if (PyList_Append(yielded, nested) < 0) {
            return nullptr;
        }
    }
}

// tuple(nested(label, v) for v in tuple). The generator expression is emulated, not made:
// its frame shows only in the traceback entries and in the StopIteration rule. A tuple that
// iterates as tuples do cannot change length, so the result is made at its final size.
FRAME_NOINLINE PyObject* walk_tuple(Invocation& call, const WalkDef& def, PyObject* tuple,
                                    PyObject* label) noexcept {
    call.at(def.lines.tuple_built);
    if (!PyTuple_Check(tuple) || Py_TYPE(tuple)->tp_iter != PyTuple_Type.tp_iter) {
        return walk_iterated_tuple(call, def, tuple, label);
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    Ref result = Ref::steal(PyTuple_New(size));
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        // Borrowed: the tuple holds its elements for as long as the caller holds the tuple.
        Ref nested = def.nested(call, label, PyTuple_GET_ITEM(tuple, i));
        if (!nested) {
            return leave_generator(call, def, def.lines.genexpr_element);
        }
        PyTuple_SET_ITEM(result.get(), i, nested.release());
    }
    return result.release();
}

// ---------------------------------------------------------------------------------------
// Shapes.

// Whether reading `obj.__class__`, for any `obj` of this type, runs only object's own
// descriptor, which answers type(obj): a generic attribute lookup that finds no other
// `__class__` on the way (an instance's dict cannot shadow a data descriptor). Then
// isinstance() has nothing to learn beyond the type.
bool reports_own_class(PyTypeObject* type) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    // Both borrowed; the lookups go through the interpreter's type cache and never fail.
    PyObject* found = internals::find_in_mro(type, class_name);
    return found && found == internals::find_in_mro(&PyBaseObject_Type, class_name);
}

// The isinstance() tests, in the order the walking functions make them.
struct ShapeTest {
    PyTypeObject* type;
    unsigned long subclass_flag; // which the type and all its subclasses carry
    Shape shape;
    int WalkLines::* line;
};

constexpr ShapeTest shape_tests[] = {
    {&PyDict_Type, Py_TPFLAGS_DICT_SUBCLASS, Shape::dict, &WalkLines::dict_test},
    {&PyList_Type, Py_TPFLAGS_LIST_SUBCLASS, Shape::list, &WalkLines::list_test},
    {&PyTuple_Type, Py_TPFLAGS_TUPLE_SUBCLASS, Shape::tuple, &WalkLines::tuple_test},
    {&PyUnicode_Type, Py_TPFLAGS_UNICODE_SUBCLASS, Shape::str, &WalkLines::str_test},
};

} // namespace

Shape shape_by_isinstance(Invocation& call, const WalkDef& def, PyObject* value) noexcept {
    PyTypeObject* type = Py_TYPE(value);
    const std::span<const ShapeTest> tests{
        std::begin(shape_tests), def.tests_str ? std::end(shape_tests) : std::end(shape_tests) - 1};
    if (reports_own_class(type)) {
        for (const ShapeTest& test : tests) {
            if (PyType_FastSubclass(type, test.subclass_flag)) {
                return test.shape;
            }
        }
        return Shape::other;
    }
    for (const ShapeTest& test : tests) {
        call.at(def.lines.*test.line);
        const int found = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(test.type));
        if (found != 0) {
            return found > 0 ? test.shape : Shape::failed;
        }
    }
    return Shape::other;
}

PyObject* walk(Invocation& call, const WalkDef& def, Shape shape, PyObject* value,
               PyObject* label) noexcept {
    switch (shape) {
    case Shape::dict:
        return PyDict_CheckExact(value) ? walk_exact_dict(call, def, value)
                                        : walk_dict_items(call, def, value);
    case Shape::list:
        return walk_list(call, def, value, label);
    default:
        return walk_tuple(call, def, value, label);
    }
}

} // namespace frame
