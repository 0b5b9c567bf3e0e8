#include "frame/shared/attribute_cache.hpp"

#include "frame/compiler.hpp"
#include "frame/internals.hpp"
#include "frame/objects.hpp"

namespace frame {
namespace {

using internals::version_tag;

// The MRO lookup of `name` in `type`, with the version tag that the answer belongs to: 0 when the
// lookup itself changed the type (it may compare keys with `==`) or it has no tag.
PyObject* find_in_mro(PyTypeObject* type, PyObject* name, unsigned int& version) noexcept {
    version = internals::assign_version_tag(type);
    PyObject* found = internals::find_in_mro(type, name); // borrowed; never sets an exception
    if (version != version_tag(type)) {
        version = 0;
    }
    return found;
}

} // namespace

// --- class attributes --------------------------------------------------------------------

// The address alone proves nothing (the class may be gone and the memory reused), so `cls`
// must be a class before its version tag is read; the tag then tells whether it is the same
// class, unchanged.
bool ClassAttribute::holds_for(PyObject* cls) const noexcept {
    return reinterpret_cast<const PyTypeObject*>(cls) == type_ && Py_IS_TYPE(cls, &PyType_Type) &&
           version_ != 0 && version_tag(type_) == version_;
}

// Only a class whose metaclass is `type` itself is remembered: `type` is immutable, so when it
// has no attribute of this name now, it never will, and the class's own MRO decides.
bool ClassAttribute::fill(PyObject* cls) noexcept {
    if (!Py_IS_TYPE(cls, &PyType_Type) || internals::find_in_mro(&PyType_Type, name_)) {
        return false;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    unsigned int version = 0;
    PyObject* found = find_in_mro(type, name_, version);
    if (!found || version == 0) {
        return false;
    }
    type_ = type;
    version_ = version;
    found_ = found;
    return true;
}

Ref ClassAttribute::get(PyObject* cls) noexcept {
    if (!holds_for(cls) && !fill(cls)) {
        return get_attr(cls, name_);
    }
    // A static method's `__get__` only hands out its function; any other `__get__` may run
    // code that changes the class, so the attribute is held while it runs.
    if (Py_IS_TYPE(found_, &PyStaticMethod_Type)) {
        return Ref::steal(PyStaticMethod_Type.tp_descr_get(found_, nullptr, cls));
    }
    Ref found = Ref::borrow(found_);
    descrgetfunc descriptor_get = Py_TYPE(found.get())->tp_descr_get;
    return descriptor_get ? Ref::steal(descriptor_get(found, nullptr, cls)) : found;
}

// --- slots -------------------------------------------------------------------------------

bool SlotAttribute::holds_for(const PyTypeObject* type) const noexcept {
    return type == type_ && version_ != 0 && version_tag(type) == version_;
}

// Remembered only when an ordinary read would run the generic lookup and find a plain object
// slot of this very type (or a base) as a data descriptor: then that lookup always ends in
// reading the slot.
bool SlotAttribute::fill(PyTypeObject* type) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    unsigned int version = 0;
    PyObject* found = find_in_mro(type, name_, version);
    if (!found || version == 0 || !Py_IS_TYPE(found, &PyMemberDescr_Type) ||
        !PyType_IsSubtype(type, internals::owner_of(found))) {
        return false;
    }
    const PyMemberDef* member = internals::member_of(found);
    if (member->type != Py_T_OBJECT_EX || (member->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET))) {
        return false;
    }
    type_ = type;
    version_ = version;
    offset_ = member->offset;
    return true;
}

Ref SlotAttribute::get(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (holds_for(type) || fill(type)) {
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset_);
        if (value) {
            return Ref::borrow(value);
        }
    }
    return get_attr(obj, name_);
}

// --- instance attributes -----------------------------------------------------------------

FRAME_NOINLINE Ref InstanceAttribute::read_and_remember(PyObject* obj) noexcept {
    Ref value = get_attr(obj, name_);
    if (value) {
        remember(obj, value);
    }
    return value;
}

// Remembered only when an ordinary read runs the generic lookup and the instance's own value
// decides it: the class has no data descriptor of this name (nor anything whose type could
// become one later: a class attribute of an immutable type without __set__, or nothing), so
// the instance's value comes first as long as the type keeps its version tag.
void InstanceAttribute::remember(PyObject* obj, PyObject* value) noexcept {
    type_ = nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return;
    }
    unsigned int version = 0;
    PyObject* found = find_in_mro(type, name_, version);
    if (version == 0 || (found && (!PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_IMMUTABLETYPE) ||
                                   Py_TYPE(found)->tp_descr_set))) {
        return;
    }
    const Py_ssize_t index = internals::inline_value_index(type, name_);
    // The value just read must be the one in that place: the layout is the one described.
    if (index < 0 || internals::inline_value(obj, index) != value) {
        return;
    }
    type_ = type;
    version_ = version;
    index_ = index;
}

} // namespace frame
