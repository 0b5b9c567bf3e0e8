#include "frame/shared/classes.hpp"

#include "frame/context.hpp"
#include "frame/objects.hpp"

namespace frame {
namespace {

Builtin type_builtin{"type"};
Id module_key{"__module__"}, qualname_key{"__qualname__"};

} // namespace

Ref class_namespace(PyObject* qualname) noexcept {
    Ref namespace_ = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyUnicode_FromString(module_context().dotted_name));
    if (!namespace_ || !module_name || PyDict_SetItem(namespace_, module_key, module_name) < 0 ||
        PyDict_SetItem(namespace_, qualname_key, qualname) < 0) {
        return {};
    }
    return namespace_;
}

Ref make_class(PyObject* name, PyObject* namespace_) noexcept {
    return call_object(type_builtin, name, empty_tuple(), namespace_);
}

} // namespace frame
