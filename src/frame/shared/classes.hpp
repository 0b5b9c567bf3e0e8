// Classes made at import the way a class statement makes them.
#pragma once

#include "frame/ref.hpp"

namespace frame {

// The namespace a class body starts with: `__module__` (this module's dotted name), then
// `__qualname__`.
Ref class_namespace(PyObject* qualname) noexcept;

// type(name, (), namespace): a class whose only base is object; `type` is the built-in
// fetched at import.
Ref make_class(PyObject* name, PyObject* namespace_) noexcept;

} // namespace frame
