// Attribute reads that remember where they found their answer, as the interpreter's own
// specialised attribute loads do. Each cache serves one attribute name at one place in a
// module, and holds while the type it was filled from keeps its version tag, which the
// interpreter renews whenever that type or one of its bases is modified. A read the cache
// cannot serve is an ordinary attribute read, so results and errors are always the
// interpreter's own.
#pragma once

#include "frame/constants.hpp"

namespace frame {

// `cls.name`, where `cls` is usually one class whose metaclass is `type`: the attribute
// found in the class's MRO is remembered, and its `__get__` (if any) is called at each read,
// as type's own attribute lookup does.
//
// Each cache registers as a constant, so that it starts empty in every interpreter that
// loads the module.
class ClassAttribute final : public Constant {
public:
    explicit ClassAttribute(const Id& name) noexcept : name_{name} {}
    [[nodiscard]] Ref get(PyObject* cls) noexcept;

private:
    bool make() noexcept override { return true; }
    void forget() noexcept override { type_ = nullptr; }
    [[nodiscard]] bool holds_for(PyObject* cls) const noexcept;
    bool fill(PyObject* cls) noexcept;

    const Id& name_;
    // Neither is owned: while the class keeps the version tag it had when they were
    // stored, the class is what it was, and the attribute is still in its MRO.
    const PyTypeObject* type_ = nullptr;
    unsigned int version_ = 0;
    PyObject* found_ = nullptr;
};

// `obj.name`, where `name` is usually a slot (from `__slots__`) of one type: the slot's
// place in the instance is remembered and read directly. An empty slot is read the ordinary
// way, which raises the interpreter's AttributeError.
class SlotAttribute final : public Constant {
public:
    explicit SlotAttribute(const Id& name) noexcept : name_{name} {}
    [[nodiscard]] Ref get(PyObject* obj) noexcept;

private:
    bool make() noexcept override { return true; }
    void forget() noexcept override { type_ = nullptr; }
    [[nodiscard]] bool holds_for(const PyTypeObject* type) const noexcept;
    bool fill(PyTypeObject* type) noexcept;

    const Id& name_;
    const PyTypeObject* type_ = nullptr; // not owned, as above
    unsigned int version_ = 0;
    Py_ssize_t offset_ = 0;
};

// `obj.name`, where `obj` is usually an instance of one plain class that stores `name` in the
// instance itself: the attribute's place among the instance's inline values is remembered, and
// the value there is read at each call, under the guard of the interpreter's own specialised
// load: the same type with the same version tag (so no data descriptor of that name has come
// to the class, nor an attribute hook), values that are still the instance's own, and the
// place not empty. Anything else is an ordinary attribute read, so the value is always the
// current one: nothing but the place is cached.
class InstanceAttribute final : public Constant {
public:
    explicit InstanceAttribute(const Id& name) noexcept : name_{name} {}
    [[nodiscard]] Ref get(PyObject* obj) noexcept {
        PyObject* value = in_place(obj);
        return value ? Ref::borrow(value) : read_and_remember(obj);
    }
    // The value where it was remembered, if the guard holds; else null. Borrowed: for a reader
    // that runs no code before it is done with the value.
    [[nodiscard]] PyObject* in_place(PyObject* obj) const noexcept {
        return Py_TYPE(obj) == type_ && internals::version_tag(type_) == version_
                   ? internals::inline_value(obj, index_)
                   : nullptr;
    }

private:
    bool make() noexcept override { return true; }
    void forget() noexcept override { type_ = nullptr; }
    Ref read_and_remember(PyObject* obj) noexcept;
    void remember(PyObject* obj, PyObject* value) noexcept;

    const Id& name_;
    const PyTypeObject* type_ = nullptr; // not owned, as above
    unsigned int version_ = 0;           // never 0 while type_ is set
    Py_ssize_t index_ = 0;
};

} // namespace frame
