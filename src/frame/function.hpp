// Functions: the table that describes one, the record the frame keeps for it, and the
// `nativefunction` objects through which the interpreter calls it.
#pragma once

#include "frame/constants.hpp"

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

class Call;
// A function's own code: returns a new reference, or null with an exception set.
using Body = PyObject* (*)(Call&) noexcept;

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
    [[nodiscard]] PyObject* traceback_name() const noexcept { return traceback_name_; }
    [[nodiscard]] bool converts() const noexcept { return converts_; }
    [[nodiscard]] PyObject* name() const noexcept { return name_; } // interned

    // A new `nativefunction` object for this record.
    [[nodiscard]] Ref instantiate() const noexcept;

private:
    bool make() noexcept override;
    void forget() noexcept override;
    bool make_names() noexcept;
    bool make_defaults() noexcept;
    bool make_annotations() noexcept;
    bool make_code() noexcept;

    FunctionDef def_;
    Py_ssize_t required_ = 0;
    bool converts_ = false; // some parameter has a check
    PyObject* names_[max_params] = {};
    PyObject* name_ = nullptr;
    PyObject* qualname_ = nullptr;
    PyObject* module_name_ = nullptr;
    PyObject* defaults_ = nullptr;
    PyObject* annotations_ = nullptr;
    PyObject* code_ = nullptr;
    PyObject* traceback_name_ = nullptr; // "<module>.<qualname>"
};

// One call in progress: the bound arguments, and the source line of the statement being run,
// which becomes the line of the traceback entry if the body fails.
class Call {
public:
    explicit Call(const Function& function) noexcept : line{function.def().line} {}

    // The value bound to parameter `i`; borrowed from the caller or from the defaults.
    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return args_[i]; }
    // Marks the statement at `source_line` as the one running.
    void at(int source_line) noexcept { line = source_line; }

    int line;

private:
    friend PyObject* call_function(PyObject*, PyObject* const*, std::size_t, PyObject*) noexcept;
    PyObject* args_[max_params];
};

// The vectorcall entry of every `nativefunction`.
PyObject* call_function(PyObject* self, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames) noexcept;

// The `nativefunction` type; ready once the first module has executed.
PyTypeObject* function_type() noexcept;
bool ready_function_type() noexcept;

} // namespace frame
