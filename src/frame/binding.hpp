// Argument binding: from the interpreter's vectorcall arguments to one value per parameter,
// with the exact error texts, then the truth conversions and strict type tests.
#pragma once

#include "frame/function.hpp"

namespace frame {

// Binds positional and keyword arguments to the parameters of `function`, filling `bound`
// (one borrowed reference per parameter). Returns false with TypeError set.
bool bind_arguments(const Function& function, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, PyObject** bound) noexcept;

// Reduces truth-valued parameters to True or False (None is kept), in parameter order.
bool convert_truth_values(const Function& function, PyObject** bound) noexcept;

// Runs the strict type test of every typed parameter, in parameter order.
bool check_parameter_types(const Function& function, PyObject* const* bound) noexcept;

// Strict type test: `value` must be exactly of `type` (or None where allowed). Subclasses
// are refused too, with a note that says why.
bool check_exact_type(PyObject* value, PyTypeObject* type, const char* param_name,
                      bool none_allowed) noexcept;

} // namespace frame
