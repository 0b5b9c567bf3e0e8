// Module constants: objects a deliverable makes once, while its module executes, and keeps
// for the life of the process. Each one is declared as a global next to the code that uses
// it and registers itself, so the exec step can make them all, in declaration order.
#pragma once

#include "frame/ref.hpp"

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
class Id final : public Constant {
public:
    explicit Id(const char* text) noexcept : text_{text} {}
    [[nodiscard]] const char* text() const noexcept { return text_; }

private:
    bool make() noexcept override;
    const char* text_;
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
