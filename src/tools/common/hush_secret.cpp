// tools.common.hush_secret: a copy of a value in which every string that stands under a
// password-like name is masked with asterisks.
#include "frame/compiler.hpp"
#include "frame/module.hpp"
#include "frame/objects.hpp"
#include "frame/shared/walk.hpp"

#include <string_view>

namespace {

using frame::Ref;

namespace id {
frame::Id typing{"typing"}, Any{"Any"}, hush_secret{"hush_secret"};
} // namespace id

frame::Keywords name_and_value{"name", "value"};
frame::Text mask_character{"*"};

// hush_secret(name=name, value=element), through the module global: whatever is bound there
// now is called, and binds and checks its arguments as any call does.
Ref hush_nested(const frame::Invocation& call, PyObject* name, PyObject* element) noexcept {
    return frame::call_global_with_keywords(call, id::hush_secret, name_and_value, name, element);
}

// The tuple case's generator expression, as its traceback entries name it.
frame::Text genexpr_qualname{"hush_secret.<locals>.genexpr"};
frame::Text genexpr_created{"tools.common.hush_secret.hush_secret.genexpr"};

// A dict's keys name their values; list and tuple elements inherit the name of their container.
constexpr frame::WalkDef hush_walk{
    .lines = {.dict_test = 34,
              .dict_created = 35,
              .dict_entry = 36,
              .dict_items = 37,
              .list_test = 40,
              .list_created = 41,
              .list_element = 42,
              .list_iteration = 43,
              .tuple_test = 46,
              .tuple_built = 47,
              .genexpr_created = 48,
              .genexpr_element = 48,
              .genexpr_iteration = 49,
              .str_test = 52},
    .nested = hush_nested,
    .generator = {.qualname = genexpr_qualname, .created_name = genexpr_created, .first_line = 48},
    .tests_str = true,
};

// Whether "password" or "pwd" occurs in `text` with its ASCII letters lower-cased. Both
// markers start with 'p', so one pass over the text finds either.
template <typename Char> bool holds_a_marker(const Char* text, Py_ssize_t length) noexcept {
    const auto folded = [](Char c) noexcept { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    // Whether `rest` follows at `at`, folded.
    const auto follows = [&](Py_ssize_t at, std::string_view rest) noexcept {
        if (length - at < Py_ssize_t(rest.size())) {
            return false;
        }
        for (std::size_t i = 0; i < rest.size(); ++i) {
            if (folded(text[at + Py_ssize_t(i)]) != Char(rest[i])) {
                return false;
            }
        }
        return true;
    };
    constexpr Py_ssize_t shortest = 3; // "pwd"
    for (Py_ssize_t at = 0; at + shortest <= length; ++at) {
        if (folded(text[at]) == 'p' && (follows(at + 1, "wd") || follows(at + 1, "assword"))) {
            return true;
        }
    }
    return false;
}

// "password" in name.lower() or "pwd" in name.lower(); `name` is exactly a str. No character
// beyond ASCII lower-cases to text that holds a letter of either marker, nor to empty text, so
// the matches of a marker in name.lower() are its matches in `name` with the ASCII letters
// folded: the search folds them in place instead of making the lower-cased copy.
bool names_a_password(PyObject* name) noexcept {
    const void* data = PyUnicode_DATA(name);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    switch (PyUnicode_KIND(name)) {
    case PyUnicode_1BYTE_KIND:
        return holds_a_marker(static_cast<const Py_UCS1*>(data), length);
    case PyUnicode_2BYTE_KIND:
        return holds_a_marker(static_cast<const Py_UCS2*>(data), length);
    default:
        return holds_a_marker(static_cast<const Py_UCS4*>(data), length);
    }
}

// "*" * len(value): len() runs the __len__ of a str subclass.
Ref masked(PyObject* value) noexcept {
    const Py_ssize_t length =
        PyUnicode_CheckExact(value) ? PyUnicode_GET_LENGTH(value) : PyObject_Size(value);
    return length < 0 ? Ref{} : Ref::steal(PySequence_Repeat(mask_character, length));
}

// "*" * len(value), at its line.
FRAME_NOINLINE PyObject* hush_password(frame::Invocation& call, PyObject* value) noexcept {
    call.at(53);
    return masked(value).release();
}

// A string: masked under a password-like name, else the same object.
PyObject* hush_text(frame::Invocation& call, PyObject* name, PyObject* value) noexcept {
    call.at(52);
    return names_a_password(name) ? hush_password(call, value) : Py_NewRef(value);
}

PyObject* hush_shaped(frame::Invocation& call, PyObject* name, PyObject* value,
                      frame::Shape shape) noexcept {
    switch (shape) {
    case frame::Shape::str:
        return hush_text(call, name, value);
    case frame::Shape::other:
        return Py_NewRef(value);
    case frame::Shape::failed:
        return nullptr;
    default:
        return frame::walk(call, hush_walk, shape, value, name);
    }
}

// A value whose type leaves its shape to the isinstance() tests. Apart, so that the common
// paths of the body make no call that returns to it.
FRAME_NOINLINE PyObject* hush_undecided(frame::Invocation& call, PyObject* name,
                                        PyObject* value) noexcept {
    return hush_shaped(call, name, value, frame::shape_by_isinstance(call, hush_walk, value));
}

PyObject* hush_secret(frame::Invocation& call) noexcept {
    PyObject* name = call[0] == Py_None ? frame::empty_str() : call[0];
    PyObject* value = call[1] == Py_None ? frame::empty_str() : call[1];
    const frame::Shape shape = frame::shape_by_type(hush_walk, value);
    return shape == frame::Shape::undecided ? hush_undecided(call, name, value)
                                            : hush_shaped(call, name, value, shape);
}

constexpr frame::Param hush_secret_params[] = {
    {.name = "name",
     .annotation = "str",
     .fallback = frame::none,
     .check = frame::Check::str_or_none},
    {.name = "value", .annotation = "Any", .fallback = frame::none},
};
constexpr const char* hush_secret_locals[] = {"k", "v", "v", "genexpr", "genexpr"};

frame::Function hush_secret_function{{
    .name = "hush_secret",
    .qualname = "hush_secret",
    .params = hush_secret_params,
    .returns = "Any",
    .doc = "\n        Hush secret in the object.\n\n"
           "        :param name: 'param-name'\n"
           "        :param value: 'param-value'\n"
           "        :return: new object with masked password\n        ",
    .locals = hush_secret_locals,
    .line = 17,
    .body = hush_secret,
}};

constexpr frame::Statement module_body[] = {
    {14, []() noexcept { return frame::import_from(id::typing, id::Any); }},
    {17, []() noexcept { return frame::define(hush_secret_function); }},
};

constexpr frame::Module hush_secret_module{
    .short_name = "hush_secret",
    .dotted_name = "tools.common.hush_secret",
    .source_path = "src/tools/common/hush_secret.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_hush_secret() { return frame::initialize(hush_secret_module); }
