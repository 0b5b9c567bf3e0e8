// Thin, reference-safe wrappers over the object calls that module bodies make most.
#pragma once

#include "frame/constants.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace frame {

// callable(*args), through vectorcall.
template <typename... Args> Ref call_object(PyObject* callable, Args... args) noexcept {
    // One leading spare slot lets the callee prepend a bound `self` without copying.
    std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(
        callable, vector.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(name=value, ...): every argument passed by keyword, named by `names` in order.
template <typename... Args>
Ref call_with_keywords(PyObject* callable, const Keywords& names, Args... values) noexcept {
    std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, static_cast<PyObject*>(values)...};
    return Ref::steal(PyObject_Vectorcall(callable, vector.data() + 1,
                                          PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

// obj.name(*args), without making a bound method.
template <typename... Args> Ref call_method(PyObject* obj, const Id& name, Args... args) noexcept {
    std::array<PyObject*, sizeof...(Args) + 1> vector{obj, static_cast<PyObject*>(args)...};
    return Ref::steal(
        PyObject_VectorcallMethod(name.get(), vector.data(),
                                  (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref get_attr(PyObject* obj, const Id& name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name.get()));
}

// The parts (each an exact str) joined into one new str, as an f-string of bare fields builds
// it: in a single allocation.
Ref concat(std::initializer_list<PyObject*> parts) noexcept;

// Whether the current exception is an instance of `type`; false when none is set.
inline bool error_matches(PyObject* type) noexcept { return PyErr_ExceptionMatches(type) != 0; }

} // namespace frame
