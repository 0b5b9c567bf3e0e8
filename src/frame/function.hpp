// Functions: the table that describes one, the record the frame keeps for it, and the
// `nativefunction` objects through which the interpreter calls it.
#pragma once

#include "frame/constants.hpp"

#include <array>
#include <cstdint>
#include <span>

namespace frame {

inline constexpr std::size_t max_params = 8;

// The default of a parameter, fixed at definition.
struct Default {
    enum class Kind : std::uint8_t { required, none, true_, false_, text };
    Kind kind = Kind::required;
    const char* text = nullptr;
};
inline constexpr Default required{};
inline constexpr Default none{Default::Kind::none};
inline constexpr Default true_{Default::Kind::true_};
inline constexpr Default false_{Default::Kind::false_};
constexpr Default text(const char* value) { return {Default::Kind::text, value}; }

// What binding does with a parameter's value before the body runs.
enum class Check : std::uint8_t {
    any,         // nothing
    str,         // strict type test: exactly `str`
    str_or_none, // strict type test: exactly `str`, or None
    truth,       // None stays None (the body applies the default); anything else becomes bool
};

struct Param {
    const char* name;
    const char* annotation = nullptr; // source text of the annotation, if any
    Default fallback = required;
    Check check = Check::any;
};

class Invocation;
// A function's own code: returns a new reference, or null with an exception set.
using Body = PyObject* (*)(Invocation&) noexcept;

// Everything that describes one function, as its module declares it.
struct FunctionDef {
    const char* name;
    const char* qualname;
    std::span<const Param> params; // all positional-or-keyword; required ones first
    const char* returns = nullptr; // source text of the return annotation, if any
    const char* doc = nullptr;
    std::span<const char* const> locals = {}; // local variable names after the parameters
    int line;                                 // line of the definition
    Body body;
    // Whether the body enters the recursion guard itself, on the paths that call out, so that
    // a call that returns at once pays nothing for it; otherwise the whole body runs under it.
    bool guards_itself = false;
};

// The frame's record of one function: its table plus the objects made from it when the
// module executes. Declare one per function, as a global of the module's source file.
class Function final : public Constant {
public:
    explicit Function(const FunctionDef& def) noexcept : def_{def} {}

    [[nodiscard]] const FunctionDef& def() const noexcept { return def_; }
    [[nodiscard]] Py_ssize_t size() const noexcept { return Py_ssize_t(def_.params.size()); }
    [[nodiscard]] Py_ssize_t required_count() const noexcept { return required_; }
    [[nodiscard]] PyObject* param_name(Py_ssize_t i) const noexcept { return names_[i]; }
    [[nodiscard]] PyObject* defaults() const noexcept { return defaults_; } // tuple or null
    // What binding starts from: each optional parameter's default (borrowed from the
    // defaults tuple), null for each required one, then null up to max_params.
    [[nodiscard]] const std::array<PyObject*, max_params>& unbound() const noexcept {
        return unbound_;
    }
    [[nodiscard]] PyObject* traceback_name() const noexcept { return traceback_name_; }
    // Whether binding turns some parameter's value into another (a truth value).
    [[nodiscard]] bool converts() const noexcept { return converts_; }
    // Whether some parameter's value goes through the strict type test.
    [[nodiscard]] bool tests_types() const noexcept { return !typed_.empty(); }
    // The parameters typed `str`, in order: their index, and whether None passes too.
    struct TypedParam {
        std::uint8_t index;
        bool none_allowed;
    };
    [[nodiscard]] std::span<const TypedParam> typed_params() const noexcept { return typed_; }
    [[nodiscard]] PyObject* name() const noexcept { return name_; } // interned
    [[nodiscard]] PyObject* qualname() const noexcept { return qualname_; }
    [[nodiscard]] PyObject* module_name() const noexcept { return module_name_; }
    [[nodiscard]] PyObject* code() const noexcept { return code_; }
    [[nodiscard]] PyObject* annotations() const noexcept { return annotations_; }

private:
    bool make() noexcept override;
    void forget() noexcept override;
    bool make_names() noexcept;
    bool make_defaults() noexcept;
    bool make_annotations() noexcept;
    bool make_code() noexcept;
    template <typename Drop> void clear_made(Drop drop) noexcept;

    FunctionDef def_;
    Py_ssize_t required_ = 0;
    bool converts_ = false;
    TypedParam typed_storage_[max_params] = {};
    std::span<const TypedParam> typed_;
    PyObject* names_[max_params] = {};
    PyObject* name_ = nullptr;
    PyObject* qualname_ = nullptr;
    PyObject* module_name_ = nullptr;
    PyObject* defaults_ = nullptr;
    std::array<PyObject*, max_params> unbound_ = {};
    PyObject* annotations_ = nullptr;
    PyObject* code_ = nullptr;
    PyObject* traceback_name_ = nullptr; // "<module>.<qualname>"
};

// Where a function's body finds its module-level names: the globals of the module it was
// defined in, then the built-ins. Both are owned by the function object.
struct Namespace {
    PyObject* globals;
    PyObject* builtins;
};

// One call in progress: the bound arguments; the namespace the function runs in (the
// globals and built-ins of its function object, as an interpreter frame carries them); the
// function object itself and the thread it runs on, which a nested call of the same function
// passes on; and the source line of the statement being run, which becomes the line of the
// traceback entry if the body fails.
class Invocation {
public:
    // `args` holds one value per parameter: the caller's own vector when it matches the
    // parameters as it stands, else the values that binding gathered. `thread` is the
    // thread's state when the caller has read it, else null.
    Invocation(const Function& function, PyObject* const* args, const Namespace& names,
               PyObject* self, PyThreadState* thread) noexcept
        : line{function.def().line}, args_{args}, names_{&names}, self_{self}, thread_{thread} {}

    // The value bound to parameter `i`; borrowed from the caller or from the defaults.
    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return args_[i]; }
    // Marks the statement at `source_line` as the one running.
    void at(int source_line) noexcept { line = source_line; }

    // The value of a module-level name, looked up at each use as a function body does: the
    // function's globals first, then its built-ins; NameError when both miss.
    [[nodiscard]] Ref lookup_global(const Id& name) const noexcept;
    // The value of a module-level name when the last lookup found it in these globals and they
    // have not changed since; else null. Borrowed, and looked up no further.
    [[nodiscard]] PyObject* global_found_unchanged(const Id& name) const noexcept {
        PyObject* globals = names_->globals;
        return globals ? name.found_in(globals) : nullptr;
    }

    [[nodiscard]] PyObject* globals() const noexcept { return names_->globals; }
    // The running function object; its caller holds it until the call returns.
    [[nodiscard]] PyObject* self() const noexcept { return self_; }
    // The state of the thread the call runs on, or null when it was not read.
    [[nodiscard]] PyThreadState* thread() const noexcept { return thread_; }

    int line;

private:
    PyObject* const* args_;  // borrowed
    const Namespace* names_; // the function object's
    PyObject* self_;
    PyThreadState* thread_;
};

// NameError for a module-level name that is not defined, carrying the name as the
// interpreter's own does.
void raise_name_error(const Id& name) noexcept;

} // namespace frame
