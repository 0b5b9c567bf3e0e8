#include "frame/function.hpp"

#include "frame/compiler.hpp"
#include "frame/context.hpp"
#include "frame/internals.hpp"

#include <cstddef>

namespace frame {

// ---------------------------------------------------------------------------------------
// The record: objects made from a function's table when its module executes.

namespace {

Ref default_value(const Default& fallback) noexcept {
    switch (fallback.kind) {
    case Default::Kind::true_:
        return Ref::borrow(Py_True);
    case Default::Kind::false_:
        return Ref::borrow(Py_False);
    case Default::Kind::text:
        return identifier(fallback.text);
    case Default::Kind::none:
    case Default::Kind::required:
        break;
    }
    return Ref::none();
}

} // namespace

// Empties every field that make() fills, passing each owned object to `drop`.
template <typename Drop> void Function::clear_made(Drop drop) noexcept {
    for (PyObject*& name : names_) {
        drop(name);
    }
    for (PyObject** field :
         {&name_, &qualname_, &module_name_, &defaults_, &annotations_, &code_, &traceback_name_}) {
        drop(*field);
    }
    unbound_ = {}; // borrowed from the defaults
    required_ = 0;
    converts_ = false;
    typed_ = {};
}

bool Function::make() noexcept {
    // A make that failed (an earlier import) may have left some of the objects behind.
    clear_made([](PyObject*& field) noexcept { Py_CLEAR(field); });
    if (def_.params.size() > max_params) {
        PyErr_Format(PyExc_SystemError, "%s() has more than %zu parameters", def_.name, max_params);
        return false;
    }
    while (std::size_t(required_) < def_.params.size() &&
           def_.params[std::size_t(required_)].fallback.kind == Default::Kind::required) {
        ++required_;
    }
    std::size_t typed = 0;
    for (std::size_t i = 0; i < def_.params.size(); ++i) {
        const Check check = def_.params[i].check;
        converts_ = converts_ || check == Check::truth;
        if (check == Check::str || check == Check::str_or_none) {
            typed_storage_[typed++] = {std::uint8_t(i), check == Check::str_or_none};
        }
    }
    typed_ = {typed_storage_, typed};
    return make_names() && make_defaults() && make_annotations() && make_code();
}

void Function::forget() noexcept {
    clear_made([](PyObject*& field) noexcept { field = nullptr; });
}

bool Function::make_names() noexcept {
    for (std::size_t i = 0; i < def_.params.size(); ++i) {
        names_[i] = identifier(def_.params[i].name).release();
        if (!names_[i]) {
            return false;
        }
    }
    const ModuleContext& module = module_context();
    name_ = identifier(def_.name).release();
    qualname_ = identifier(def_.qualname).release();
    module_name_ = identifier(module.dotted_name).release();
    traceback_name_ = PyUnicode_FromFormat("%s.%s", module.dotted_name, def_.qualname);
    return name_ && qualname_ && module_name_ && traceback_name_;
}

bool Function::make_defaults() noexcept {
    const Py_ssize_t optional = size() - required_;
    if (optional == 0) {
        return true; // __defaults__ is None
    }
    Ref tuple = Ref::steal(PyTuple_New(optional));
    if (!tuple) {
        return false;
    }
    for (Py_ssize_t i = 0; i < optional; ++i) {
        Ref value = default_value(def_.params[std::size_t(required_ + i)].fallback);
        if (!value) {
            return false;
        }
        unbound_[std::size_t(required_ + i)] = value.get();
        PyTuple_SET_ITEM(tuple.get(), i, value.release());
    }
    defaults_ = tuple.release();
    return true;
}

bool Function::make_annotations() noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return false;
    }
    auto annotate = [&](PyObject* key, const char* text) {
        Ref value = Ref::steal(PyUnicode_FromString(text));
        return value && PyDict_SetItem(annotations, key, value) == 0;
    };
    for (std::size_t i = 0; i < def_.params.size(); ++i) {
        if (def_.params[i].annotation && !annotate(names_[i], def_.params[i].annotation)) {
            return false;
        }
    }
    if (def_.returns) {
        Ref key = identifier("return");
        if (!key || !annotate(key, def_.returns)) {
            return false;
        }
    }
    annotations_ = annotations.release();
    return true;
}

// A code object that describes the signature only: `inspect` reads the argument count and
// names from it. Its bytecode raises TypeError at once, should anything run it.
bool Function::make_code() noexcept {
    const Py_ssize_t params = size();
    Ref varnames = Ref::steal(PyTuple_New(params + Py_ssize_t(def_.locals.size())));
    if (!varnames) {
        return false;
    }
    for (Py_ssize_t i = 0; i < params; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(names_[i]));
    }
    for (std::size_t i = 0; i < def_.locals.size(); ++i) {
        PyObject* local = identifier(def_.locals[i]).release();
        if (!local) {
            return false;
        }
        PyTuple_SET_ITEM(varnames.get(), params + Py_ssize_t(i), local);
    }
    Ref consts = Ref::steal(
        Py_BuildValue("(Os)", PyExc_TypeError,
                      "the code object of a nativefunction describes its signature only; "
                      "it cannot be run"));
    Ref filename = Ref::steal(PyUnicode_FromString(module_context().source_path));
    if (!consts || !filename) {
        return false;
    }
    code_ = internals::new_unrunnable_code({int(params), varnames, consts, filename, name_,
                                            def_.line, empty_tuple(), empty_bytes()})
                .release();
    return code_ != nullptr;
}

// ---------------------------------------------------------------------------------------
// Module-level names, as a running body sees them.

FRAME_COLD FRAME_NOINLINE void raise_name_error(const Id& name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (PyObject_SetAttrString(error, "name", name) < 0) {
        PyErr_Clear(); // the NameError itself matters more than its attribute
    }
    PyErr_SetRaisedException(error.release());
}

Ref Invocation::lookup_global(const Id& name) const noexcept {
    const auto [globals, builtins] = *names_;
    if (!globals) [[unlikely]] {
        // A function whose references the garbage collector cleared has no namespace left.
        raise_name_error(name);
        return {};
    }
    if (PyObject* found = name.found_in(globals)) {
        return Ref::borrow(found);
    }
    PyObject* value = nullptr;
    // Identifiers carry their hash, so neither lookup hashes the name again. The version is
    // read before the probe: should the probe change the dict (a key's __eq__ may), the
    // value is not remembered.
    const std::uint64_t version = internals::dict_version(globals);
    const int found = PyDict_GetItemRef(globals, name, &value);
    if (found > 0 && internals::dict_version(globals) == version) {
        name.remember(globals, version, value);
    }
    if (found != 0 || PyObject_GetOptionalAttr(builtins, name, &value) != 0) {
        return Ref::steal(value); // found, or empty with the lookup's error set
    }
    raise_name_error(name);
    return {};
}

} // namespace frame
