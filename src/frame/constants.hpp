// Module constants: objects a deliverable makes once, while its module executes, and keeps
// for the life of the process. Each one is declared as a global next to the code that uses
// it and registers itself, so the exec step can make them all, in declaration order.
#pragma once

#include "frame/internals.hpp"
#include "frame/ref.hpp"

#include <cstdint>

#include <initializer_list>

namespace frame {

class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    // The object; borrowed, and valid once the module's constants are made.
    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }

protected:
    Constant() noexcept;
    ~Constant() = default;
    // Makes the object; returns false with an exception set.
    virtual bool make() noexcept = 0;
    // Whether the object is made again at every exec of the module, instead of once: true
    // for what is read from names that the host may rebind between two imports.
    [[nodiscard]] virtual bool made_at_each_exec() const noexcept { return false; }
    // Releases the object before it is made again.
    virtual void release() noexcept { Py_CLEAR(obj_); }
    // Drops the object unreleased: the interpreter it belonged to is gone.
    virtual void forget() noexcept { obj_ = nullptr; }
    PyObject* obj_ = nullptr;

private:
    Constant* next_ = nullptr;
    bool made_ = false;
    friend bool make_constants() noexcept;
    friend void forget_constants() noexcept;
};

// Makes every constant not made yet, and again those made at each exec, in the order of
// declaration within each source file.
bool make_constants() noexcept;

// After the interpreter that the constants were made in has been finalized: every constant
// counts as never made, and nothing of the old interpreter is touched.
void forget_constants() noexcept;

// An identifier: an interned str whose hash is computed up front, so keyword matching can
// compare it by identity and dict lookups never hash it again.
//
// An identifier also remembers where a function body last found it as a module global, so
// that the next lookup in the same, unchanged namespace needs no dict probe.
class Id final : public Constant {
public:
    explicit Id(const char* text) noexcept : text_{text} {}
    [[nodiscard]] const char* text() const noexcept { return text_; }

    // The value last found under this name in `globals`, if the dict has not changed since
    // (so it still holds the value); else null. Borrowed.
    [[nodiscard]] PyObject* found_in(PyObject* globals) const noexcept {
        return globals == found_.globals && internals::dict_version(globals) == found_.version
                   ? found_.value
                   : nullptr;
    }
    // Remembers `value` as found in `globals` at the dict's `version`.
    void remember(PyObject* globals, std::uint64_t version, PyObject* value) const noexcept {
        found_ = {globals, version, value};
    }

private:
    bool make() noexcept override;
    void forget() noexcept override {
        obj_ = nullptr;
        found_ = {};
    }
    const char* text_;
    struct Found {
        PyObject* globals = nullptr; // not owned: compared only
        std::uint64_t version = 0;
        PyObject* value = nullptr; // held by `globals` while its version stays
    };
    mutable Found found_;
};

// A literal text (a message, a marker, a docstring), with its hash computed up front.
class Text final : public Constant {
public:
    explicit Text(const char* text) noexcept : text_{text} {}

private:
    bool make() noexcept override;
    const char* text_;
};

// A built-in object (such as `print` or `object`), fetched once while the module executes,
// so that rebinding the name later changes nothing for the module.
class Builtin final : public Constant {
public:
    explicit Builtin(const char* name) noexcept : name_{name} {}

private:
    bool make() noexcept override;
    // A failed import may have run while the name was rebound; the import that succeeds
    // fetches it again.
    [[nodiscard]] bool made_at_each_exec() const noexcept override { return true; }
    const char* name_;
};

// A tuple of interned keyword names, for calls that pass their arguments by keyword.
class Keywords final : public Constant {
public:
    Keywords(std::initializer_list<const char*> names) noexcept;
    [[nodiscard]] Py_ssize_t size() const noexcept { return size_; }

private:
    bool make() noexcept override;
    static constexpr Py_ssize_t max_names = 4;
    const char* names_[max_names] = {};
    Py_ssize_t size_ = 0;
};

// A new interned str with its hash computed; empty on failure.
Ref identifier(const char* text) noexcept;

// Constants every module has: the empty tuple, bytes and str.
PyObject* empty_tuple() noexcept;
PyObject* empty_bytes() noexcept;
PyObject* empty_str() noexcept;

} // namespace frame
