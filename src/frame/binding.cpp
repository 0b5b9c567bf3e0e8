#include "frame/binding.hpp"

#include "frame/compiler.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace frame {
namespace {

constexpr Py_ssize_t not_found = -1;
constexpr Py_ssize_t failed = -2;

// The count error. `too_few` picks "at least" over "at most" when the count is not fixed.
FRAME_COLD FRAME_NOINLINE bool raise_count_error(const Function& function, bool too_few,
                                                 Py_ssize_t given) noexcept {
    const Py_ssize_t all = function.size();
    const Py_ssize_t required = function.required_count();
    const char* qualifier = required == all ? "exactly" : too_few ? "at least" : "at most";
    const Py_ssize_t number = too_few ? required : all;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function.def().name, qualifier, number, number == 1 ? "" : "s", given);
    return false;
}

FRAME_COLD FRAME_NOINLINE bool raise_keyword_error(const Function& function, bool bound_already,
                                                   PyObject* key) noexcept {
    if (bound_already) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     function.def().name, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     function.def().name, key);
    }
    return false;
}

// Two exact strs are equal when hash, length, width and characters all agree.
bool same_text(PyObject* a, PyObject* b) noexcept {
    if (PyObject_Hash(a) != PyObject_Hash(b)) { // cached for both after the first call
        return false;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), std::size_t(length) * kind) == 0;
}

Py_ssize_t find_identical(const Function& function, PyObject* key, Py_ssize_t from) noexcept {
    for (Py_ssize_t i = from; i < function.size(); ++i) {
        if (function.param_name(i) == key) {
            return i;
        }
    }
    return not_found;
}

Py_ssize_t find_same_text(const Function& function, PyObject* key, Py_ssize_t from,
                          Py_ssize_t to) noexcept {
    for (Py_ssize_t i = from; i < to; ++i) {
        if (same_text(key, function.param_name(i))) {
            return i;
        }
    }
    return not_found;
}

// For keys of a str subclass, whose `==` may be overridden (and may fail).
Py_ssize_t find_equal(const Function& function, PyObject* key, Py_ssize_t from,
                      Py_ssize_t to) noexcept {
    for (Py_ssize_t i = from; i < to; ++i) {
        const int equal = PyObject_RichCompareBool(key, function.param_name(i), Py_EQ);
        if (equal != 0) {
            return equal > 0 ? i : failed;
        }
    }
    return not_found;
}

// The index of the parameter that keyword `key` names, given `positional` values by position;
// raises the keyword errors.
Py_ssize_t match_keyword(const Function& function, PyObject* key, Py_ssize_t positional) noexcept {
    // Callers pass interned names almost always, so identity settles most keywords.
    Py_ssize_t index = find_identical(function, key, positional);
    if (index != not_found) {
        return index;
    }
    auto find = PyUnicode_CheckExact(key) ? find_same_text
                : PyUnicode_Check(key)    ? find_equal
                                          : nullptr;
    if (!find) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function.def().name);
        return failed;
    }
    index = find(function, key, positional, function.size());
    if (index != not_found) {
        return index;
    }
    const Py_ssize_t earlier = find(function, key, 0, positional);
    if (earlier == failed) {
        return failed;
    }
    raise_keyword_error(function, earlier != not_found, key);
    return failed;
}

// The keyword half of binding: `given` values are bound by position already.
FRAME_NOINLINE bool bind_keywords(const Function& function, PyObject* const* args, Py_ssize_t given,
                                  PyObject* kwnames, PyObject** bound) noexcept {
    // One bit per parameter, set once it is bound; max_params fits in it.
    static_assert(max_params < 32);
    std::uint32_t bound_now = (std::uint32_t{1} << given) - 1;
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = match_keyword(function, key, given);
        if (index < 0) {
            return false;
        }
        // Two keys of equal text (a str subclass beside an exact str, or a names tuple that
        // repeats a name) reach the same parameter: the second is one value too many.
        const std::uint32_t bit = std::uint32_t{1} << index;
        if (bound_now & bit) {
            return raise_keyword_error(function, true, key);
        }
        bound_now |= bit;
        bound[index] = args[given + k];
    }
    const std::uint32_t required = (std::uint32_t{1} << function.required_count()) - 1;
    if ((bound_now & required) != required) {
        // The first required parameter still unbound; those bound by position come before.
        return raise_count_error(function, true, std::countr_one(bound_now));
    }
    return true;
}

} // namespace

bool bind_arguments(const Function& function, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, PyObject** bound) noexcept {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) != 0;
    if (given > function.size() || (!keywords && given < function.required_count())) [[unlikely]] {
        return raise_count_error(function, given < function.required_count(), given);
    }
    // Every parameter starts at its default (null when it has none): a copy of fixed size,
    // so no loop. Then the values given by position, then those by keyword.
    std::copy_n(function.unbound().data(), max_params, bound);
    for (Py_ssize_t i = 0; i < given; ++i) {
        bound[i] = args[i];
    }
    return !keywords || bind_keywords(function, args, given, kwnames, bound);
}

bool convert_truth_values(const Function& function, PyObject** bound) noexcept {
    for (std::size_t i = 0; i < function.def().params.size(); ++i) {
        if (function.def().params[i].check != Check::truth || bound[i] == Py_None) {
            continue;
        }
        const int truth = PyObject_IsTrue(bound[i]);
        if (truth < 0) {
            return false;
        }
        bound[i] = truth ? Py_True : Py_False; // immortal, so borrowing them is safe
    }
    return true;
}

bool check_parameter_types(const Function& function, PyObject* const* bound) noexcept {
    for (const Function::TypedParam& typed : function.typed_params()) {
        PyObject* value = bound[typed.index];
        // The passing values are tested here; the test that raises is out of line.
        if (!PyUnicode_CheckExact(value) && !(typed.none_allowed && value == Py_None) &&
            !check_exact_type(value, &PyUnicode_Type, function.def().params[typed.index].name,
                              typed.none_allowed)) {
            return false;
        }
    }
    return true;
}

FRAME_COLD FRAME_NOINLINE static void add_subclass_note() noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref added = Ref::steal(
        PyObject_CallMethod(error, "add_note", "s",
                            "Subclasses of builtin types are rejected for typed parameters, "
                            "a stricter rule than PEP 484 type hints."));
    if (!added) {
        PyErr_Clear(); // the TypeError itself matters more than its note
    }
    PyErr_SetRaisedException(error.release());
}

bool check_exact_type(PyObject* value, PyTypeObject* type, const char* param_name,
                      bool none_allowed) noexcept {
    if (Py_IS_TYPE(value, type) || (none_allowed && value == Py_None)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param_name,
                 type->tp_name, Py_TYPE(value)->tp_name);
    if (PyObject_TypeCheck(value, type)) {
        add_subclass_note();
    }
    return false;
}

} // namespace frame
