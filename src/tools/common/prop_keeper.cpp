// tools.common.prop_keeper: the class PropKeeper, which reads, writes and tests attributes of
// any object by their plain names. It mangles private names (`__count` of a class `Owner` is
// stored as `_Owner__count`) itself, and goes through object's own generic attribute access, so
// the target class's attribute hooks are never called.
//
// Line numbers are those of the module's source layout:
//    1  from typing import Any
//    4  class PropKeeper:
//    5      __slots__ = ("__obj", "__attr")
//    7      def __init__(self, obj: Any, attr: str):        (body: 8, 9)
//   11      @property name                                  (body: 13)
//   15      @property value                                 (body: 17)
//   19      @value.setter value                             (body: 21)
//   23      @property exists                                (body: 25)
//   27      @staticmethod get_name                          (body: 36, 38, 39)
//   41      @staticmethod get_attribute                     (body: 50)
//   52      @staticmethod set_attribute                     (body: 62)
//   64      @staticmethod has_attribute                     (body: 67)
#include "frame/compiler.hpp"
#include "frame/internals.hpp"
#include "frame/module.hpp"
#include "frame/objects.hpp"
#include "frame/shared/attribute_cache.hpp"
#include "frame/shared/classes.hpp"

namespace {

using frame::Ref;

namespace id {
frame::Id typing{"typing"}, Any{"Any"}, PropKeeper{"PropKeeper"};
frame::Id slots{"__slots__"}, init{"__init__"};
frame::Id obj_slot_name{"__obj"}, attr_slot_name{"__attr"};
frame::Id obj_slot{"_PropKeeper__obj"}, attr_slot{"_PropKeeper__attr"};
frame::Id name{"name"}, value{"value"}, exists{"exists"};
frame::Id get_name{"get_name"}, get_attribute{"get_attribute"};
frame::Id set_attribute{"set_attribute"}, has_attribute{"has_attribute"};
frame::Id class_{"__class__"}, name_{"__name__"}, lstrip{"lstrip"};
frame::Id getattribute{"__getattribute__"}, setattr{"__setattr__"};
} // namespace id

frame::Builtin object_builtin{"object"};
frame::Builtin property_builtin{"property"}, staticmethod_builtin{"staticmethod"};
frame::Keywords obj_attr{"obj", "attr"};
frame::Keywords obj_attr_value{"obj", "attr", "value"};
frame::Text underscore{"_"};

// `object.__getattribute__` or `object.__setattr__`, read from the `object` fetched while the
// module executes. Normally that is the interpreter's `object`, and the attribute its slot
// wrapper: calling the slot function the wrapper holds is what calling the wrapper does,
// without packing the arguments into tuples. A rebound `object` may give anything else, which
// is then called as it is.
class ObjectSlot final : public frame::Constant {
public:
    explicit ObjectSlot(const frame::Id& name) noexcept : name_{name} {}
    // The slot function, or null when the attribute is not object's own slot wrapper.
    [[nodiscard]] void* function() const noexcept { return function_; }

private:
    // Its objects are declared after `object_builtin` and their names, so those are made
    // first; and made again with `object_builtin`, at each exec.
    bool make() noexcept override;
    [[nodiscard]] bool made_at_each_exec() const noexcept override { return true; }
    const frame::Id& name_;
    void* function_ = nullptr;
};

bool ObjectSlot::make() noexcept {
    obj_ = PyObject_GetAttr(object_builtin, name_);
    if (!obj_) {
        return false;
    }
    // Only object's own wrapper may be bypassed: another type's wrapper checks the type of the
    // instance it is given before its slot may run. Both lookups are borrowed and cannot fail.
    function_ = obj_ == frame::internals::find_in_mro(&PyBaseObject_Type, name_)
                    ? frame::internals::wrapped_slot(obj_)
                    : nullptr;
    return true;
}

ObjectSlot object_getattribute{id::getattribute};
ObjectSlot object_setattr{id::setattr};

// object.__getattribute__(obj, name)
Ref generic_get(PyObject* obj, PyObject* name) noexcept {
    if (auto get = reinterpret_cast<getattrofunc>(object_getattribute.function())) {
        return Ref::steal(get(obj, name));
    }
    return frame::call_object(object_getattribute, obj, name);
}

// object.__setattr__(obj, name, value). The wrapper refuses a target whose type has a C-level
// setattr of its own (a class object, for one); only a target whose type uses the generic
// slot itself, which the wrapper accepts, is written through the slot directly.
bool generic_set(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    auto set = reinterpret_cast<setattrofunc>(object_setattr.function());
    if (set && Py_TYPE(obj)->tp_setattro == set) {
        return set(obj, name, value) == 0;
    }
    return bool(frame::call_object(object_setattr, obj, name, value));
}

// ---------------------------------------------------------------------------------------
// The private-name rule.

// Whether `attr` (an exact str) is a private name: it starts with exactly two underscores
// and does not end with two. The three tests read the characters in place.
bool is_private_name(PyObject* attr) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(attr);
    const int kind = PyUnicode_KIND(attr);
    const void* data = PyUnicode_DATA(attr);
    auto underscore_at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i) == '_'; };
    if (length < 2 || !underscore_at(0) || !underscore_at(1)) {
        return false; // no "__" prefix
    }
    if (length > 2 && underscore_at(2)) {
        return false; // "___" prefix
    }
    return !(underscore_at(length - 1) && underscore_at(length - 2)); // "__" suffix
}

// The class that names a private attribute: a class names itself; anything else is named
// after its `__class__`, read as an ordinary attribute so a reported class is honoured.
Ref owner_class(PyObject* obj) noexcept {
    return PyType_Check(obj) ? Ref::borrow(obj) : frame::get_attr(obj, id::class_);
}

// `owner.__name__`. For a class whose metaclass is `type` itself, that is type's own
// `__name__` descriptor, which PyType_GetName implements; anything else is asked.
Ref name_of(PyObject* owner) noexcept {
    if (Py_IS_TYPE(owner, &PyType_Type)) {
        return Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(owner)));
    }
    return frame::get_attr(owner, id::name_);
}

// `name.lstrip("_")`: done in place for an exact str, whose methods cannot be replaced.
Ref without_leading_underscores(PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name)) {
        return frame::call_method(name, id::lstrip, underscore.get());
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    Py_ssize_t start = 0;
    while (start < length && PyUnicode_READ(kind, data, start) == '_') {
        ++start;
    }
    return Ref::steal(PyUnicode_Substring(name, start, length)); // `name` itself when start is 0
}

// `owner.__name__.lstrip("_")`
Ref stripped_class_name(PyObject* obj) noexcept {
    Ref owner = owner_class(obj);
    Ref name = owner ? name_of(owner) : Ref{};
    return name ? without_leading_underscores(name) : Ref{};
}

// The text of a replacement field: a str as it is, anything else through format(value, "").
Ref field_text(Ref value) noexcept {
    if (PyUnicode_CheckExact(value.get())) {
        return value;
    }
    return Ref::steal(PyObject_Format(value, frame::empty_str()));
}

PyObject* get_name(frame::Invocation& call) noexcept {
    PyObject* obj = call[0];
    PyObject* attr = call[1];
    if (!is_private_name(attr)) {
        return Py_NewRef(attr);
    }
    call.at(38);
    Ref class_name = stripped_class_name(obj);
    if (!class_name) {
        return nullptr;
    }
    call.at(39);
    Ref class_text = field_text(std::move(class_name));
    return class_text ? frame::concat({underscore, class_text.get(), attr}).release() : nullptr;
}

// ---------------------------------------------------------------------------------------
// Static methods: each reaches the others through the module-level name, looked up afresh.

namespace member {
frame::ClassAttribute get_name{id::get_name}, get_attribute{id::get_attribute};
frame::ClassAttribute set_attribute{id::set_attribute}, has_attribute{id::has_attribute};
} // namespace member

// `PropKeeper.<member>`, with `PropKeeper` looked up in the module namespace.
Ref keeper_member(const frame::Invocation& call, frame::ClassAttribute& callee) noexcept {
    Ref keeper = call.lookup_global(id::PropKeeper);
    return keeper ? callee.get(keeper) : Ref{};
}

// `PropKeeper.get_name(obj=obj, attr=attr)`
Ref stored_name(const frame::Invocation& call, PyObject* obj, PyObject* attr) noexcept {
    Ref method = keeper_member(call, member::get_name);
    return method ? frame::call_with_keywords(method, obj_attr, obj, attr) : Ref{};
}

PyObject* get_attribute(frame::Invocation& call) noexcept {
    PyObject* obj = call[0];
    call.at(50);
    Ref name = stored_name(call, obj, call[1]);
    return name ? generic_get(obj, name).release() : nullptr;
}

PyObject* set_attribute(frame::Invocation& call) noexcept {
    PyObject* obj = call[0];
    call.at(62);
    Ref name = stored_name(call, obj, call[1]);
    return name && generic_set(obj, name, call[2]) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* has_attribute(frame::Invocation& call) noexcept {
    call.at(67);
    Ref method = keeper_member(call, member::get_attribute);
    if (method && frame::call_with_keywords(method, obj_attr, call[0], call[1])) {
        Py_RETURN_TRUE;
    }
    if (!frame::error_matches(PyExc_AttributeError)) {
        return nullptr;
    }
    PyErr_Clear(); // a missing attribute is the answer, not an error
    Py_RETURN_FALSE;
}

// ---------------------------------------------------------------------------------------
// The initialiser and the properties.

PyObject* init(frame::Invocation& call) noexcept {
    PyObject* self = call[0];
    call.at(8);
    if (PyObject_SetAttr(self, id::obj_slot, call[1]) < 0) {
        return nullptr;
    }
    call.at(9);
    if (PyObject_SetAttr(self, id::attr_slot, call[2]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The object and name a keeper is bound to, read as ordinary attributes of `self`.
struct Binding {
    Ref obj, attr;
    explicit operator bool() const noexcept { return obj && attr; }
};

frame::SlotAttribute obj_slot{id::obj_slot}, attr_slot{id::attr_slot};

Binding read_binding(PyObject* self) noexcept {
    Binding binding;
    binding.obj = obj_slot.get(self);
    if (binding.obj) {
        binding.attr = attr_slot.get(self);
    }
    return binding;
}

FRAME_COLD FRAME_NOINLINE PyObject* refuse_name(const Ref& name) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name.get())->tp_name);
    return nullptr;
}

// `self.get_name(obj=self.__obj, attr=self.__attr)`: the method is looked up on the instance,
// so a subclass's override decides what `name` reports.
PyObject* name_getter(frame::Invocation& call) noexcept {
    PyObject* self = call[0];
    call.at(13);
    Binding binding = read_binding(self);
    Ref method = binding ? frame::get_attr(self, id::get_name) : Ref{};
    Ref name =
        method ? frame::call_with_keywords(method, obj_attr, binding.obj.get(), binding.attr.get())
               : Ref{};
    if (!name) {
        return nullptr;
    }
    if (!PyUnicode_CheckExact(name.get()) && name.get() != Py_None) {
        return refuse_name(name);
    }
    return name.release();
}

// `PropKeeper.<member>(obj=self.__obj, attr=self.__attr[, value=value])`
template <typename... Value>
Ref forward(const frame::Invocation& call, frame::ClassAttribute& callee,
            const frame::Keywords& names, Value... value) noexcept {
    PyObject* self = call[0];
    Ref method = keeper_member(call, callee);
    Binding binding = method ? read_binding(self) : Binding{};
    return binding ? frame::call_with_keywords(method, names, binding.obj.get(), binding.attr.get(),
                                               value...)
                   : Ref{};
}

PyObject* value_getter(frame::Invocation& call) noexcept {
    call.at(17);
    return forward(call, member::get_attribute, obj_attr).release();
}

PyObject* value_setter(frame::Invocation& call) noexcept {
    call.at(21);
    Ref done = forward(call, member::set_attribute, obj_attr_value, call[1]);
    return done ? Py_NewRef(Py_None) : nullptr;
}

PyObject* exists_getter(frame::Invocation& call) noexcept {
    call.at(25);
    return forward(call, member::has_attribute, obj_attr).release();
}

// ---------------------------------------------------------------------------------------
// Function tables.

constexpr frame::Param init_params[] = {
    {.name = "self"},
    {.name = "obj", .annotation = "Any"},
    {.name = "attr", .annotation = "str", .check = frame::Check::str},
};
constexpr frame::Param self_params[] = {{.name = "self"}};
constexpr frame::Param setter_params[] = {{.name = "self"}, {.name = "value", .annotation = "Any"}};
constexpr frame::Param obj_attr_params[] = {
    {.name = "obj", .annotation = "Any"},
    {.name = "attr", .annotation = "str", .check = frame::Check::str},
};
constexpr frame::Param obj_attr_value_params[] = {
    {.name = "obj", .annotation = "Any"},
    {.name = "attr", .annotation = "str", .check = frame::Check::str},
    {.name = "value", .annotation = "Any"},
};
constexpr const char* get_name_locals[] = {"class_name"};
constexpr const char* has_attribute_locals[] = {"_"};

frame::Function init_function{{
    .name = "__init__",
    .qualname = "PropKeeper.__init__",
    .params = init_params,
    .line = 7,
    .body = init,
}};
frame::Function name_function{{
    .name = "name",
    .qualname = "PropKeeper.name",
    .params = self_params,
    .returns = "str",
    .line = 11,
    .body = name_getter,
}};
frame::Function value_getter_function{{
    .name = "value",
    .qualname = "PropKeeper.value",
    .params = self_params,
    .returns = "Any",
    .line = 15,
    .body = value_getter,
}};
frame::Function value_setter_function{{
    .name = "value",
    .qualname = "PropKeeper.value",
    .params = setter_params,
    .line = 19,
    .body = value_setter,
}};
frame::Function exists_function{{
    .name = "exists",
    .qualname = "PropKeeper.exists",
    .params = self_params,
    .returns = "bool",
    .line = 23,
    .body = exists_getter,
}};
frame::Function get_name_function{{
    .name = "get_name",
    .qualname = "PropKeeper.get_name",
    .params = obj_attr_params,
    .returns = "str",
    .doc = "\n            Build attribute name.\n\n"
           "            :param obj: object instance\n"
           "            :param attr: attribute name\n"
           "            :return: attribute name (mangled, for private attributes)\n            ",
    .locals = get_name_locals,
    .line = 27,
    .body = get_name,
}};
frame::Function get_attribute_function{{
    .name = "get_attribute",
    .qualname = "PropKeeper.get_attribute",
    .params = obj_attr_params,
    .returns = "Any",
    .doc = "\n            Get an attribute.\n\n"
           "            :param obj: object instance\n"
           "            :param attr: attribute name\n"
           "            :return: attribute value\n            ",
    .line = 41,
    .body = get_attribute,
}};
frame::Function set_attribute_function{{
    .name = "set_attribute",
    .qualname = "PropKeeper.set_attribute",
    .params = obj_attr_value_params,
    .doc = "\n            Set an attribute.\n\n"
           "            :param obj: object instance\n"
           "            :param attr: attribute name\n"
           "            :param value: attribute value\n"
           "            :return:\n            ",
    .line = 52,
    .body = set_attribute,
}};
frame::Function has_attribute_function{{
    .name = "has_attribute",
    .qualname = "PropKeeper.has_attribute",
    .params = obj_attr_params,
    .returns = "bool",
    .locals = has_attribute_locals,
    .line = 64,
    .body = has_attribute,
}};

// ---------------------------------------------------------------------------------------
// The class, built through `type` as a class statement would build it.

// property(getter), or property(getter, setter)
Ref make_property(const frame::Function& getter, const frame::Function* setter = nullptr) noexcept {
    Ref get = frame::make_function(getter);
    if (!get || !setter) {
        return get ? frame::call_object(property_builtin, get.get()) : Ref{};
    }
    Ref set = frame::make_function(*setter);
    return set ? frame::call_object(property_builtin, get.get(), set.get()) : Ref{};
}

Ref make_staticmethod(const frame::Function& function) noexcept {
    Ref object = frame::make_function(function);
    return object ? frame::call_object(staticmethod_builtin, object.get()) : Ref{};
}

Ref make_slots() noexcept {
    return Ref::steal(PyTuple_Pack(2, id::obj_slot_name.get(), id::attr_slot_name.get()));
}

// The class namespace, in the order of the class body.
Ref make_namespace() noexcept {
    Ref namespace_ = frame::class_namespace(id::PropKeeper);
    if (!namespace_) {
        return {};
    }
    auto put = [&](const frame::Id& key, Ref value) {
        return value && PyDict_SetItem(namespace_, key, value) == 0;
    };
    const bool made =
        put(id::slots, make_slots()) && put(id::init, frame::make_function(init_function)) &&
        put(id::name, make_property(name_function)) &&
        put(id::value, make_property(value_getter_function, &value_setter_function)) &&
        put(id::exists, make_property(exists_function)) &&
        put(id::get_name, make_staticmethod(get_name_function)) &&
        put(id::get_attribute, make_staticmethod(get_attribute_function)) &&
        put(id::set_attribute, make_staticmethod(set_attribute_function)) &&
        put(id::has_attribute, make_staticmethod(has_attribute_function));
    return made ? namespace_ : Ref{};
}

bool define_prop_keeper() noexcept {
    Ref namespace_ = make_namespace();
    Ref cls = namespace_ ? frame::make_class(id::PropKeeper, namespace_) : Ref{};
    return cls && frame::set_global(id::PropKeeper, cls);
}

constexpr frame::Statement module_body[] = {
    {1, []() noexcept { return frame::import_from(id::typing, id::Any); }},
    {4, []() noexcept { return define_prop_keeper(); }},
};

constexpr frame::Module prop_keeper_module{
    .short_name = "prop_keeper",
    .dotted_name = "tools.common.prop_keeper",
    .source_path = "src/tools/common/prop_keeper.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_prop_keeper() { return frame::initialize(prop_keeper_module); }
