// The owned-reference handle: the one place where references are counted by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

// Owns one strong reference, or none. An empty Ref is how a failed C-API call shows: the
// interpreter's error indicator is set, and the caller returns its own failure value.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : obj_{Py_XNewRef(other.obj_)} {}
    Ref(Ref&& other) noexcept : obj_{std::exchange(other.obj_, nullptr)} {}
    ~Ref() { Py_XDECREF(obj_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Takes over a new reference, as returned by most C-API calls (null stays empty).
    [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref{obj}; }
    // Takes a new reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept { return Ref{Py_XNewRef(obj)}; }
    [[nodiscard]] static Ref none() noexcept { return Ref{Py_None}; } // immortal

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller, leaving this handle empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() noexcept { Py_CLEAR(obj_); }

    explicit operator bool() const noexcept { return obj_ != nullptr; }
    operator PyObject*() const noexcept { return obj_; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_{obj} {}
    PyObject* obj_ = nullptr;
};

} // namespace frame
