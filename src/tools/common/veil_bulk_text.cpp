// tools.common.veil_bulk_text: a copy of a value in which every leaf whose text form is too
// long is cut down to a marked excerpt.
#include "frame/compiler.hpp"
#include "frame/module.hpp"
#include "frame/objects.hpp"
#include "frame/shared/attribute_cache.hpp"
#include "frame/shared/classes.hpp"
#include "frame/shared/walk.hpp"

#include <algorithm>

namespace {

using frame::Ref;

namespace id {
frame::Id dataclasses{"dataclasses"}, dataclass{"dataclass"}, typing{"typing"}, Any{"Any"};
frame::Id Const{"_Const"}, const_{"_const"}, char_limit{"char_limit"};
frame::Id veil_bulk_text{"veil_bulk_text"};
frame::Id annotations{"__annotations__"};
} // namespace id

frame::Keywords value_keyword{"value"};
frame::Keywords frozen_keyword{"frozen"};
frame::Text int_annotation{"int"};

// What stands in for a leaf: the notice when its text form cannot be made, else the opening,
// the first `char_limit` characters and the closing.
frame::Text conversion_notice{"\n{\nHidden: Content too large for string conversion\n"
                              "...big-content hidden...\n}\n                "};
frame::Text opening{"\n{\n"};
frame::Text closing{"\n...big-content hidden...\n}\n                "};

constexpr long default_char_limit = 4000;

// ---------------------------------------------------------------------------------------
// The walk.

// veil_bulk_text(value=element), through the module global: whatever is bound there now is
// called, and binds its arguments as any call does.
Ref veil_nested(const frame::Invocation& call, PyObject*, PyObject* element) noexcept {
    return frame::call_global_with_keywords(call, id::veil_bulk_text, value_keyword, element);
}

// The tuple case's generator expression, as its traceback entries name it.
frame::Text genexpr_qualname{"veil_bulk_text.<locals>.genexpr"};
frame::Text genexpr_created{"tools.common.veil_bulk_text.veil_bulk_text.genexpr"};

constexpr frame::WalkDef veil_walk{
    .lines = {.dict_test = 43,
              .dict_created = 44,
              .dict_entry = 45,
              .dict_items = 46,
              .list_test = 49,
              .list_created = 50,
              .list_element = 51,
              .list_iteration = 52,
              .tuple_test = 55,
              .tuple_built = 56,
              .genexpr_created = 57,
              .genexpr_element = 57,
              .genexpr_iteration = 58,
              .str_test = 0}, // not asked
    .nested = veil_nested,
    .generator = {.qualname = genexpr_qualname, .created_name = genexpr_created, .first_line = 57},
    .tests_str = false,
};

// ---------------------------------------------------------------------------------------
// Leaves.

// The text form as f"{value}" makes it: an exact str is its own, an exact int or float is its
// repr, anything else is format(value, "").
Ref make_text_form(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    if (PyLong_CheckExact(value)) {
        return Ref::steal(PyLong_Type.tp_repr(value));
    }
    if (PyFloat_CheckExact(value)) {
        return Ref::steal(PyFloat_Type.tp_repr(value));
    }
    return Ref::steal(PyObject_Format(value, frame::empty_str()));
}

// The number of characters of an integer's decimal form.
Py_ssize_t decimal_length(long long number) noexcept {
    unsigned long long magnitude = number < 0 ? 0ULL - static_cast<unsigned long long>(number)
                                              : static_cast<unsigned long long>(number);
    Py_ssize_t digits = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++digits;
    }
    return digits + (number < 0 ? 1 : 0);
}

// The longest repr of a float: a sign, 17 significant digits, the point and "e-308".
constexpr Py_ssize_t longest_float_text = 24;

// length > limit, with the interpreter's comparison and truth rules; -1 on failure.
int exceeds(Py_ssize_t length, PyObject* limit) noexcept {
    if (Py_ssize_t bound = 0; frame::internals::compact_int(limit, bound)) {
        return length > bound;
    }
    if (PyLong_CheckExact(limit)) {
        int overflow = 0;
        const long long bound = PyLong_AsLongLongAndOverflow(limit, &overflow);
        return overflow != 0 ? overflow < 0 : length > bound;
    }
    const Ref measured = Ref::steal(PyLong_FromSsize_t(length));
    const Ref longer = measured ? Ref::steal(PyObject_RichCompare(measured, limit, Py_GT)) : Ref{};
    return longer ? PyObject_IsTrue(longer) : -1;
}

// A leaf's text form (value_str), or as much of it as the comparison with the limit needs.
// Small ints, bools and floats are measured without writing their text out: a 64-bit int has
// as many characters as digits and sign, a bool's text is its name, and a float's repr is at
// most 24 characters, which settles any limit from 24 up.
class TextForm {
public:
    // Makes the text form of `value`, or measures it; false with an exception set.
    bool make(PyObject* value) noexcept {
        value_ = value;
        if (Py_ssize_t number = 0; frame::internals::compact_int(value, number)) {
            length_ = decimal_length(number);
            return true;
        }
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                length_ = decimal_length(number);
                return true;
            }
        } else if (PyBool_Check(value)) {
            length_ = value == Py_True ? 4 : 5;
            return true;
        } else if (PyFloat_CheckExact(value)) {
            length_ = longest_float_text;
            exact_ = false;
            return true;
        }
        return make_text();
    }

    // len(value_str), which runs the __len__ of a str subclass that a __format__ returned; it
    // comes before the limit is read. False with an exception set.
    bool measure() noexcept {
        if (text_ && !PyUnicode_CheckExact(text_.get())) {
            length_ = PyObject_Size(text_);
            return length_ >= 0;
        }
        return true;
    }

    // len(value_str) > limit, with the length that `measure` took; -1 on failure.
    int longer_than(PyObject* limit) noexcept {
        if (exact_) {
            return exceeds(length_, limit);
        }
        // A bound settles an int limit that it does not exceed; else the text is made (a
        // float's repr, an exact str, so measuring it now is measuring it then).
        if (PyLong_CheckExact(limit) && exceeds(length_, limit) == 0) {
            return 0;
        }
        return make_text() ? exceeds(length_, limit) : -1;
    }

    // len(value_str) > bound, for an int limit of that value; -1 on failure.
    int longer_than(Py_ssize_t bound) noexcept {
        if (length_ <= bound) {
            return 0; // settled by a bound on the length, too
        }
        return exact_ || make_text() ? length_ > bound : -1;
    }

    // value_str itself, made now if only its length was known; null on failure.
    PyObject* text() noexcept { return text_ || make_text() ? text_.get() : nullptr; }

private:
    bool make_text() noexcept {
        text_ = make_text_form(value_);
        exact_ = true;
        if (text_ && PyUnicode_CheckExact(text_.get())) {
            length_ = PyUnicode_GET_LENGTH(text_.get());
        }
        return bool(text_);
    }

    PyObject* value_ = nullptr;
    Ref text_;
    Py_ssize_t length_ = 0; // of the text, or a bound on it when not exact_
    bool exact_ = true;
};

// _const.char_limit, with `_const` looked up afresh and its current limit read where the
// instance keeps it.
frame::InstanceAttribute char_limit_of{id::char_limit};

Ref read_limit(const frame::Invocation& call) noexcept {
    const Ref constants = call.lookup_global(id::const_);
    return constants ? char_limit_of.get(constants) : Ref{};
}

// len(value_str) > _const.char_limit. The common limit, a small int stored in `_const` found
// unchanged in the namespace, is compared where it lies, since nothing runs in between; any
// other is read and compared as the interpreter does it. -1 on failure.
int longer_than_limit(const frame::Invocation& call, TextForm& form) noexcept {
    PyObject* constants = call.global_found_unchanged(id::const_);
    PyObject* limit = constants ? char_limit_of.in_place(constants) : nullptr;
    if (Py_ssize_t bound = 0; limit && frame::internals::compact_int(limit, bound)) {
        return form.longer_than(bound);
    }
    const Ref read = read_limit(call);
    return read ? form.longer_than(read) : -1;
}

// The kind of string the first `count` characters need, as a character of that width: or-ing
// the characters crosses a width's threshold (a power of two) exactly when one of them does.
template <typename Char> Py_UCS4 widest_of(const Char* chars, Py_ssize_t count) noexcept {
    Py_UCS4 bits = 0x7F;
    for (Py_ssize_t i = 0; i < count; ++i) {
        bits |= chars[i];
    }
    return std::min<Py_UCS4>(bits, 0x10FFFF);
}

Py_UCS4 widest_char(PyObject* text, Py_ssize_t count) noexcept {
    const void* data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) {
        return 0x7F;
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return widest_of(static_cast<const Py_UCS1*>(data), count);
    case PyUnicode_2BYTE_KIND:
        return widest_of(static_cast<const Py_UCS2*>(data), count);
    default:
        return widest_of(static_cast<const Py_UCS4*>(data), count);
    }
}

// opening + text[:stop] + closing, written into one new string.
Ref excerpt(PyObject* text, Py_ssize_t stop) noexcept {
    const Py_ssize_t head = PyUnicode_GET_LENGTH(opening);
    const Py_ssize_t tail = PyUnicode_GET_LENGTH(closing);
    Ref result = Ref::steal(PyUnicode_New(head + stop + tail, widest_char(text, stop)));
    if (!result || PyUnicode_CopyCharacters(result, 0, opening, 0, head) < 0 ||
        PyUnicode_CopyCharacters(result, head, text, 0, stop) < 0 ||
        PyUnicode_CopyCharacters(result, head + stop, closing, 0, tail) < 0) {
        return {};
    }
    return result;
}

// opening + text[:limit] + closing, sliced and joined as the interpreter does.
Ref truncated(frame::Invocation& call, PyObject* text, PyObject* limit) noexcept {
    if (PyUnicode_CheckExact(text) && PyLong_CheckExact(limit)) {
        // The slice's stop, clamped as slicing clamps it.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const Py_ssize_t stop = PyNumber_AsSsize_t(limit, nullptr);
        return excerpt(text,
                       stop < 0 ? std::max<Py_ssize_t>(stop + length, 0) : std::min(stop, length));
    }
    const Ref bounds = Ref::steal(PySlice_New(nullptr, limit, nullptr));
    const Ref part = bounds ? Ref::steal(PyObject_GetItem(text, bounds)) : Ref{};
    if (!part) {
        return {};
    }
    call.at(73);
    const Ref head = Ref::steal(PyNumber_Add(opening, part));
    return head ? Ref::steal(PyNumber_Add(head, closing)) : Ref{};
}

// A text form that fails with ValueError (or a subclass) makes the leaf the notice; the error
// is dropped, and whatever exception was being handled stays so.
FRAME_COLD FRAME_NOINLINE PyObject* notice_for_value_error() noexcept {
    if (!frame::error_matches(PyExc_ValueError)) {
        return nullptr;
    }
    PyErr_Clear();
    return Py_NewRef(conversion_notice.get());
}

// The commonest leaf, settled without a call: an exact str, a small int or a bool, whose text
// form is no longer than a small int limit stored in `_const`, found unchanged. Making those
// text forms and reading the limit in place run no code, so skipping them changes nothing.
bool short_at_once(const frame::Invocation& call, PyObject* value) noexcept {
    Py_ssize_t length = 0;
    if (PyUnicode_CheckExact(value)) {
        length = PyUnicode_GET_LENGTH(value);
    } else if (Py_ssize_t number = 0; frame::internals::compact_int(value, number)) {
        length = decimal_length(number);
    } else if (PyBool_Check(value)) {
        length = value == Py_True ? 4 : 5;
    } else {
        return false;
    }
    PyObject* constants = call.global_found_unchanged(id::const_);
    PyObject* limit = constants ? char_limit_of.in_place(constants) : nullptr;
    Py_ssize_t bound = 0;
    return limit && frame::internals::compact_int(limit, bound) && length <= bound;
}

// Every other leaf, the whole way.
FRAME_NOINLINE PyObject* veil_leaf(frame::Invocation& call, PyObject* value) noexcept {
    call.at(63);
    TextForm form;
    if (!form.make(value)) {
        return notice_for_value_error();
    }
    call.at(72);
    if (!form.measure()) {
        return nullptr;
    }
    const int longer = longer_than_limit(call, form);
    if (longer <= 0) {
        return longer == 0 ? Py_NewRef(value) : nullptr;
    }
    PyObject* text = form.text();
    if (!text) {
        return nullptr;
    }
    call.at(75);
    const Ref limit_again = read_limit(call);
    return limit_again ? truncated(call, text, limit_again).release() : nullptr;
}

PyObject* veil_shaped(frame::Invocation& call, PyObject* value, frame::Shape shape) noexcept {
    switch (shape) {
    case frame::Shape::other:
        return short_at_once(call, value) ? Py_NewRef(value) : veil_leaf(call, value);
    case frame::Shape::failed:
        return nullptr;
    default:
        return frame::walk(call, veil_walk, shape, value, nullptr);
    }
}

// A value whose type leaves its shape to the isinstance() tests. Apart, so that the common
// paths of the body make no call that returns to it.
FRAME_NOINLINE PyObject* veil_undecided(frame::Invocation& call, PyObject* value) noexcept {
    return veil_shaped(call, value, frame::shape_by_isinstance(call, veil_walk, value));
}

PyObject* veil_bulk_text(frame::Invocation& call) noexcept {
    PyObject* value = call[0] == Py_None ? frame::empty_str() : call[0];
    const frame::Shape shape = frame::shape_by_type(veil_walk, value);
    return shape == frame::Shape::undecided ? veil_undecided(call, value)
                                            : veil_shaped(call, value, shape);
}

constexpr frame::Param veil_bulk_text_params[] = {
    {.name = "value", .annotation = "Any", .fallback = frame::none},
};
constexpr const char* veil_bulk_text_locals[] = {"value_str", "k", "v", "v", "genexpr", "genexpr"};

frame::Function veil_bulk_text_function{{
    .name = "veil_bulk_text",
    .qualname = "veil_bulk_text",
    .params = veil_bulk_text_params,
    .returns = "Any",
    .doc = "\n        Veil bulk-text in the object.\n\n"
           "        :param value: 'param-value'\n"
           "        :return: new object with hidden big-content\n        ",
    .locals = veil_bulk_text_locals,
    .line = 30,
    .body = veil_bulk_text,
}};

// ---------------------------------------------------------------------------------------
// The module body.

// The class statement
//
//     @dataclass(frozen=True)        # line 19
//     class _Const:                  # line 20
//         char_limit: int = 4000     # line 21
//
// runs as steps, each one statement of the module body with its own line. What the steps
// make is held here until `_Const` is bound; a failing step drops it all.
struct {
    Ref namespace_;
    Ref decorator;
    Ref cls;
} pending_const_class;

bool kept(bool done) noexcept {
    if (!done) {
        pending_const_class = {};
    }
    return done;
}

bool prepare_const_namespace() noexcept {
    Ref namespace_ = frame::class_namespace(id::Const);
    Ref annotations = Ref::steal(PyDict_New());
    const bool done = namespace_ && annotations &&
                      PyDict_SetItem(annotations, id::char_limit, int_annotation) == 0 &&
                      PyDict_SetItem(namespace_, id::annotations, annotations) == 0;
    pending_const_class.namespace_ = std::move(namespace_);
    return kept(done);
}

bool set_const_char_limit() noexcept {
    const Ref limit = Ref::steal(PyLong_FromLong(default_char_limit));
    return kept(limit &&
                PyDict_SetItem(pending_const_class.namespace_, id::char_limit, limit) == 0);
}

bool make_const_decorator() noexcept {
    const Ref dataclass = frame::lookup_module_global(id::dataclass);
    pending_const_class.decorator =
        dataclass ? frame::call_with_keywords(dataclass, frozen_keyword, Py_True) : Ref{};
    return kept(bool(pending_const_class.decorator));
}

bool create_const_class() noexcept {
    pending_const_class.cls = frame::make_class(id::Const, pending_const_class.namespace_);
    return kept(bool(pending_const_class.cls));
}

bool decorate_const_class() noexcept {
    pending_const_class.cls =
        frame::call_object(pending_const_class.decorator, pending_const_class.cls.get());
    return kept(bool(pending_const_class.cls));
}

bool bind_const_class() noexcept {
    const bool bound = frame::set_global(id::Const, pending_const_class.cls);
    pending_const_class = {};
    return bound;
}

// _const = _Const()
bool make_const() noexcept {
    const Ref cls = frame::lookup_module_global(id::Const);
    const Ref instance = cls ? frame::call_object(cls) : Ref{};
    return instance && frame::set_global(id::const_, instance);
}

constexpr frame::Statement module_body[] = {
    {14, []() noexcept { return frame::import_from(id::dataclasses, id::dataclass); }},
    {15, []() noexcept { return frame::import_from(id::typing, id::Any); }},
    {20, []() noexcept { return prepare_const_namespace(); }},
    {21, []() noexcept { return set_const_char_limit(); }},
    {19, []() noexcept { return make_const_decorator(); }},
    {20, []() noexcept { return create_const_class(); }},
    {19, []() noexcept { return decorate_const_class(); }},
    {20, []() noexcept { return bind_const_class(); }},
    {26, []() noexcept { return make_const(); }},
    {30, []() noexcept { return frame::define(veil_bulk_text_function); }},
};

constexpr frame::Module veil_bulk_text_module{
    .short_name = "veil_bulk_text",
    .dotted_name = "tools.common.veil_bulk_text",
    .source_path = "src/tools/common/veil_bulk_text.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_veil_bulk_text() { return frame::initialize(veil_bulk_text_module); }
