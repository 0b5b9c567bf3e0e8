#include "frame/constants.hpp"

#include "frame/context.hpp"

namespace frame {
namespace {

// The registry is a list threaded through the constants themselves; its ends are
// constant-initialised, so registration works whatever order the globals are built in.
constinit Constant* first_constant = nullptr;
constinit Constant** constant_tail = &first_constant;

struct {
    PyObject* tuple = nullptr;
    PyObject* bytes = nullptr;
    PyObject* str = nullptr;
} empties;

// Computes and caches the hash of a new str; returns it, or an empty Ref on failure.
Ref hashed(Ref str) noexcept {
    if (str && PyObject_Hash(str) == -1) {
        return {};
    }
    return str;
}

bool make_empties() noexcept {
    if (empties.tuple) {
        return true;
    }
    empties.tuple = PyTuple_New(0);
    empties.bytes = PyBytes_FromStringAndSize(nullptr, 0);
    empties.str = PyUnicode_New(0, 0);
    return empties.tuple && empties.bytes && empties.str;
}

} // namespace

Constant::Constant() noexcept {
    *constant_tail = this;
    constant_tail = &next_;
}

bool make_constants() noexcept {
    if (!make_empties()) {
        return false;
    }
    // Constants made by an earlier, failed exec are kept (they do not depend on the module),
    // unless they are made at each exec.
    for (Constant* constant = first_constant; constant; constant = constant->next_) {
        if (constant->made_) {
            if (!constant->made_at_each_exec()) {
                continue;
            }
            constant->release();
            constant->made_ = false;
        }
        if (!constant->make()) {
            return false;
        }
        constant->made_ = true;
    }
    return true;
}

void forget_constants() noexcept {
    empties = {};
    for (Constant* constant = first_constant; constant; constant = constant->next_) {
        constant->forget();
        constant->made_ = false;
    }
}

Ref identifier(const char* text) noexcept {
    return hashed(Ref::steal(PyUnicode_InternFromString(text)));
}

bool Id::make() noexcept {
    obj_ = identifier(text_).release();
    return obj_ != nullptr;
}

bool Text::make() noexcept {
    obj_ = hashed(Ref::steal(PyUnicode_FromString(text_))).release();
    return obj_ != nullptr;
}

bool Builtin::make() noexcept {
    Ref name = identifier(name_);
    if (!name) {
        return false;
    }
    obj_ = PyObject_GetAttr(module_context().builtins, name);
    return obj_ != nullptr;
}

Keywords::Keywords(std::initializer_list<const char*> names) noexcept {
    for (const char* name : names) {
        if (size_ < max_names) {
            names_[size_] = name;
        }
        ++size_;
    }
}

bool Keywords::make() noexcept {
    if (size_ > max_names) {
        PyErr_SetString(PyExc_SystemError, "too many keyword names in one call");
        return false;
    }
    Ref tuple = Ref::steal(PyTuple_New(size_));
    if (!tuple) {
        return false;
    }
    for (Py_ssize_t i = 0; i < size_; ++i) {
        PyObject* name = identifier(names_[i]).release();
        if (!name) {
            return false;
        }
        PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    obj_ = tuple.release();
    return true;
}

PyObject* empty_tuple() noexcept { return empties.tuple; }
PyObject* empty_bytes() noexcept { return empties.bytes; }
PyObject* empty_str() noexcept { return empties.str; }

} // namespace frame

#if !defined(_MSC_VER)
// Constant's own vtable (in place while a constant is being built) fills its pure slot with the
// Itanium C++ ABI's handler for a call of a pure virtual function, which the C++ runtime would
// define. The modules link no C++ runtime, so the frame defines it, hidden like everything but
// the entry point. Nothing calls it unless the frame itself is broken. (The Microsoft ABI's
// handler comes from the C runtime that every Windows module links anyway.)
extern "C" [[noreturn]] void __cxa_pure_virtual() { Py_FatalError("pure virtual method called"); }
#endif
