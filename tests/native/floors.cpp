// tools._testing.floors: a module built only for the benchmarks and their tests. It holds the
// cheapest possible versions of what the package's functions do, so that a benchmark can say
// how far a function is from the work it cannot avoid:
//
//   call_floor      an object whose vectorcall returns None at once: the cost of the
//                   interpreter's generic path for calling an extension object, which no
//                   function type can go below;
//   copy_containers a copy of nested dicts, lists and tuples that shares every leaf: the
//                   containers any copying walk must build, and nothing else.
//
// Plain C API, on purpose: the module frame's own call path is what these floors measure.
#include "frame/internals.hpp"
#include "frame/ref.hpp"

#include <cstddef>

namespace {

using frame::Ref;

// ---------------------------------------------------------------------------------------
// The call floor.

struct CallFloor {
    PyObject_HEAD vectorcallfunc vectorcall;
};

PyObject* return_none(PyObject*, PyObject* const*, std::size_t, PyObject*) noexcept {
    return Py_None; // immortal: no reference to count
}

void free_call_floor(PyObject* self) noexcept { PyObject_Free(self); }

// clang-format off
PyTypeObject call_floor_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tools._testing.floors.CallFloor",
    .tp_basicsize = sizeof(CallFloor),
    .tp_dealloc = free_call_floor,
    .tp_vectorcall_offset = offsetof(CallFloor, vectorcall),
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
                Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A callable that takes any arguments and returns None at once.",
};
// clang-format on

Ref make_call_floor() noexcept {
    CallFloor* floor = PyObject_New(CallFloor, &call_floor_type);
    if (floor) {
        floor->vectorcall = return_none;
    }
    return Ref::steal(reinterpret_cast<PyObject*>(floor));
}

// ---------------------------------------------------------------------------------------
// The container-copy floor. Each container is read through its base type's own storage
// (a subclass's __iter__ or items() is not called) and copied into a new plain dict, list
// or tuple; every other object is shared. Only the recursion guard and the checks that keep
// the copy memory-safe while a key's __hash__ or __eq__ runs are added to the copying itself.

PyObject* copy_value(PyObject* value) noexcept;

[[gnu::cold, gnu::noinline]] PyObject* changed_during_copy(const char* kind) noexcept {
    PyErr_Format(PyExc_RuntimeError, "%s changed size during copy", kind);
    return nullptr;
}

PyObject* copy_dict(PyObject* dict) noexcept {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Ref result = Ref::steal(frame::internals::new_dict_presized(size));
    if (!result) {
        return nullptr;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* element = nullptr;
    while (PyDict_Next(dict, &position, &key, &element)) {
        // Copying and storing can run a key's __hash__ or __eq__, which may change the dict being
        // read: the pair stays alive until it is stored.
        const Ref held_key = Ref::borrow(key);
        const Ref held_element = Ref::borrow(element);
        const Ref copy = Ref::steal(copy_value(held_element));
        if (!copy || PyDict_SetItem(result, held_key, copy) < 0) {
            return nullptr;
        }
        if (PyDict_GET_SIZE(dict) != size) {
            return changed_during_copy("dict");
        }
    }
    return result.release();
}

PyObject* copy_list(PyObject* list) noexcept {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    Ref result = Ref::steal(PyList_New(size));
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        // A dict key's __hash__ or __eq__, run while copying an element, may resize the list.
        if (PyList_GET_SIZE(list) != size) {
            return changed_during_copy("list");
        }
        const Ref element = Ref::borrow(PyList_GET_ITEM(list, i));
        PyObject* copy = copy_value(element);
        if (!copy) {
            return nullptr;
        }
        PyList_SET_ITEM(result.get(), i, copy);
    }
    return result.release();
}

PyObject* copy_tuple(PyObject* tuple) noexcept {
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    Ref result = Ref::steal(PyTuple_New(size));
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        // Borrowed: a tuple holds its elements for as long as the caller holds the tuple.
        PyObject* copy = copy_value(PyTuple_GET_ITEM(tuple, i));
        if (!copy) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), i, copy);
    }
    return result.release();
}

PyObject* copy_container(PyObject* value) noexcept {
    if (PyDict_Check(value)) {
        return copy_dict(value);
    }
    if (PyList_Check(value)) {
        return copy_list(value);
    }
    return copy_tuple(value);
}

// A new reference to the copy of `value`: a new container, or the leaf itself.
PyObject* copy_value(PyObject* value) noexcept {
    if (!PyType_FastSubclass(Py_TYPE(value), Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                                 Py_TPFLAGS_TUPLE_SUBCLASS)) {
        return Py_NewRef(value);
    }
    // Deep or self-containing input ends in RecursionError, not in a crashed C stack.
    if (Py_EnterRecursiveCall(" while copying containers")) {
        return nullptr;
    }
    PyObject* copy = copy_container(value);
    Py_LeaveRecursiveCall();
    return copy;
}

PyObject* copy_containers(PyObject*, PyObject* value) noexcept { return copy_value(value); }

// ---------------------------------------------------------------------------------------
// The module.

PyMethodDef floor_functions[] = {
    {"copy_containers", copy_containers, METH_O,
     "copy_containers(value, /)\n--\n\n"
     "A copy of value in which every dict, list and tuple (or subclass) is a new plain dict,\n"
     "list or tuple, and every other object is the same object."},
    {},
};

int exec_floors(PyObject* module) noexcept {
    if (PyType_Ready(&call_floor_type) < 0) {
        return -1;
    }
    Ref floor = make_call_floor();
    return floor ? PyModule_AddObjectRef(module, "call_floor", floor) : -1;
}

PyModuleDef_Slot floor_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_floors)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {},
};

PyModuleDef floors_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tools._testing.floors",
    .m_doc = "The work a call or a container walk cannot avoid, for the benchmarks.",
    .m_size = 0,
    .m_methods = floor_functions,
    .m_slots = floor_slots,
};

} // namespace

PyMODINIT_FUNC PyInit_floors() { return PyModuleDef_Init(&floors_module); }
