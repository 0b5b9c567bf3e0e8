"""tools.common.prop_keeper: PropKeeper's shape, its private-name rule, its hook-free reads and
writes, its properties, and how its members reach one another."""

import inspect
import json
import traceback
import typing

import pytest

import tools.common.prop_keeper as prop_keeper_module
from tools.common.prop_keeper import PropKeeper

MODULE = "tools.common.prop_keeper"
SOURCE = "src/tools/common/prop_keeper.py"


class Owner:
    def __init__(self):
        self.__count = 3
        self.plain = "plain"


class Reported:
    """Reports another class through `__class__`."""

    @property
    def __class__(self):
        return Owner


class Unclassed:
    """Whose `__class__` cannot be read."""

    @property
    def __class__(self):
        raise LookupError("no class here")


class Guarded:
    """Guards its attributes: every missing name reads as "hook", and writes are refused."""

    def __getattr__(self, name):
        return "hook"

    def __setattr__(self, name, value):
        raise PermissionError(f"cannot set {name}")


class Intercepted:
    """Answers every read through its own `__getattribute__`."""

    def __getattribute__(self, name):
        return "intercepted"


def named(name, *, meta=type):
    return meta(name, (), {})


# --- the module and the class --------------------------------------------------------------


def test_module_namespace():
    assert prop_keeper_module.Any is typing.Any
    assert prop_keeper_module.PropKeeper is PropKeeper
    assert prop_keeper_module.__doc__ is None


def test_class_is_built_by_type_with_its_namespace_in_order():
    assert type(PropKeeper) is type
    assert PropKeeper.__bases__ == (object,)
    assert PropKeeper.__name__ == PropKeeper.__qualname__ == "PropKeeper"
    assert PropKeeper.__module__ == MODULE
    assert PropKeeper.__doc__ is None
    assert PropKeeper.__slots__ == ("__obj", "__attr")
    declared = [key for key in PropKeeper.__dict__ if key not in ("_PropKeeper__obj",
                                                                  "_PropKeeper__attr", "__doc__")]
    assert declared == ["__module__", "__slots__", "__init__", "name", "value", "exists",
                        "get_name", "get_attribute", "set_attribute", "has_attribute"]
    for key in ("get_name", "get_attribute", "set_attribute", "has_attribute"):
        assert type(PropKeeper.__dict__[key]) is staticmethod
    for key in ("name", "value", "exists"):
        assert type(PropKeeper.__dict__[key]) is property
        assert PropKeeper.__dict__[key].__doc__ is None
        assert PropKeeper.__dict__[key].fdel is None
    assert PropKeeper.name.fset is None and PropKeeper.exists.fset is None
    assert PropKeeper.value.fset is not None


def test_instances_hold_exactly_two_slots():
    keeper = PropKeeper(Owner(), "plain")
    assert not hasattr(keeper, "__dict__") and not hasattr(keeper, "__weakref__")
    with pytest.raises(AttributeError):
        keeper.other = 1
    assert keeper._PropKeeper__attr == "plain"


GET_NAME_DOC = (
    "\n            Build attribute name.\n\n"
    "            :param obj: object instance\n"
    "            :param attr: attribute name\n"
    "            :return: attribute name (mangled, for private attributes)\n            "
)
GET_ATTRIBUTE_DOC = (
    "\n            Get an attribute.\n\n"
    "            :param obj: object instance\n"
    "            :param attr: attribute name\n"
    "            :return: attribute value\n            "
)
SET_ATTRIBUTE_DOC = (
    "\n            Set an attribute.\n\n"
    "            :param obj: object instance\n"
    "            :param attr: attribute name\n"
    "            :param value: attribute value\n"
    "            :return:\n            "
)

# (function, name, annotations, local names, docstring)
FUNCTIONS = [
    (PropKeeper.__init__, "__init__", {"obj": "Any", "attr": "str"}, ("self", "obj", "attr"),
     None),
    (PropKeeper.name.fget, "name", {"return": "str"}, ("self",), None),
    (PropKeeper.value.fget, "value", {"return": "Any"}, ("self",), None),
    (PropKeeper.value.fset, "value", {"value": "Any"}, ("self", "value"), None),
    (PropKeeper.exists.fget, "exists", {"return": "bool"}, ("self",), None),
    (PropKeeper.get_name, "get_name", {"obj": "Any", "attr": "str", "return": "str"},
     ("obj", "attr", "class_name"), GET_NAME_DOC),
    (PropKeeper.get_attribute, "get_attribute", {"obj": "Any", "attr": "str", "return": "Any"},
     ("obj", "attr"), GET_ATTRIBUTE_DOC),
    (PropKeeper.set_attribute, "set_attribute", {"obj": "Any", "attr": "str", "value": "Any"},
     ("obj", "attr", "value"), SET_ATTRIBUTE_DOC),
    (PropKeeper.has_attribute, "has_attribute", {"obj": "Any", "attr": "str", "return": "bool"},
     ("obj", "attr", "_"), None),
]


@pytest.mark.parametrize("function, name, annotations, local_names, doc", FUNCTIONS,
                         ids=[f"{row[1]}-{i}" for i, row in enumerate(FUNCTIONS)])
def test_function_attributes(function, name, annotations, local_names, doc):
    assert type(function).__name__ == "nativefunction"
    assert function.__name__ == name
    assert function.__qualname__ == f"PropKeeper.{name}"
    assert function.__module__ == MODULE
    assert function.__doc__ == doc
    assert function.__annotations__ == annotations
    assert list(function.__annotations__) == list(annotations)  # "return" last
    assert function.__defaults__ is None
    code = function.__code__
    assert code.co_varnames == local_names
    assert code.co_filename == SOURCE
    assert code.co_argcount == len(inspect.signature(function).parameters)


def test_signatures():
    assert str(inspect.signature(PropKeeper)) == "(obj: 'Any', attr: 'str')"
    assert str(inspect.signature(PropKeeper.set_attribute)) == (
        "(obj: 'Any', attr: 'str', value: 'Any')")


# --- binding and type errors ---------------------------------------------------------------


def count_error(name, count, given):
    plural = "" if count == 1 else "s"
    return f"{name}() takes exactly {count} positional argument{plural} ({given} given)"


KEEPER = PropKeeper(Owner(), "plain")

BINDING_ERRORS = [
    (lambda: PropKeeper(1), count_error("__init__", 3, 2)),
    (lambda: PropKeeper(1, "a", 2), count_error("__init__", 3, 4)),
    (lambda: PropKeeper(1, obj=2), "__init__() got multiple values for keyword argument 'obj'"),
    (lambda: PropKeeper(1, "a", size=2), "__init__() got an unexpected keyword argument 'size'"),
    (lambda: PropKeeper.name.fget(), count_error("name", 1, 0)),
    (lambda: PropKeeper.name.fget(KEEPER, 1), count_error("name", 1, 2)),
    (lambda: PropKeeper.value.fget(), count_error("value", 1, 0)),
    (lambda: PropKeeper.value.fset(KEEPER), count_error("value", 2, 1)),
    (lambda: PropKeeper.value.fset(KEEPER, 1, 2), count_error("value", 2, 3)),
    (lambda: PropKeeper.exists.fget(KEEPER, 1), count_error("exists", 1, 2)),
    (lambda: PropKeeper.get_name(1), count_error("get_name", 2, 1)),
    (lambda: PropKeeper.get_name(1, "a", 2), count_error("get_name", 2, 3)),
    (lambda: PropKeeper.get_name(attr="a"), count_error("get_name", 2, 0)),
    (lambda: PropKeeper.get_attribute(obj=1), count_error("get_attribute", 2, 1)),
    (lambda: PropKeeper.get_attribute(1, obj=1),
     "get_attribute() got multiple values for keyword argument 'obj'"),
    (lambda: PropKeeper.set_attribute(1, "a"), count_error("set_attribute", 3, 2)),
    (lambda: PropKeeper.set_attribute(1, "a", value=2, name=3),
     "set_attribute() got an unexpected keyword argument 'name'"),
    (lambda: PropKeeper.has_attribute(), count_error("has_attribute", 2, 0)),
    (lambda: PropKeeper.has_attribute(1, "a", 2), count_error("has_attribute", 2, 3)),
]


@pytest.mark.parametrize("make_call, message", BINDING_ERRORS,
                         ids=[message for _, message in BINDING_ERRORS])
def test_binding_errors(make_call, message):
    with pytest.raises(TypeError) as caught:
        make_call()
    assert str(caught.value) == message


class Text(str):
    pass


ATTR_CALLS = {
    "__init__": lambda attr: PropKeeper(Owner(), attr),
    "get_name": lambda attr: PropKeeper.get_name(Owner(), attr),
    "get_attribute": lambda attr: PropKeeper.get_attribute(Owner(), attr),
    "set_attribute": lambda attr: PropKeeper.set_attribute(Owner(), attr, 1),
    "has_attribute": lambda attr: PropKeeper.has_attribute(obj=Owner(), attr=attr),
}


@pytest.mark.parametrize("call", ATTR_CALLS.values(), ids=ATTR_CALLS.keys())
@pytest.mark.parametrize("attr, type_name, noted", [
    (None, "NoneType", False),
    (b"plain", "bytes", False),
    (7, "int", False),
    (Text("plain"), "Text", True),
])
def test_attr_must_be_exactly_str(call, attr, type_name, noted):
    with pytest.raises(TypeError) as caught:
        call(attr)
    assert str(caught.value) == (
        f"Argument 'attr' has incorrect type (expected str, got {type_name})")
    assert bool(getattr(caught.value, "__notes__", None)) == noted


def test_refused_attr_reads_and_writes_nothing():
    class Sub(PropKeeper):
        def __setattr__(self, name, value):
            written.append(name)
            super().__setattr__(name, value)

    written = []
    with pytest.raises(TypeError):
        Sub(Owner(), Text("plain"))
    assert written == []

    target = Unclassed()  # reading its class would raise LookupError, not TypeError
    with pytest.raises(TypeError):
        PropKeeper.set_attribute(target, b"__count", 1)
    assert vars(target) == {}


def test_init_assigns_through_ordinary_attribute_writes():
    class Sub(PropKeeper):
        def __setattr__(self, name, value):
            written.append((name, value))
            super().__setattr__(name, value)

    written = []
    target = Owner()
    Sub(target, "plain")
    assert written == [("_PropKeeper__obj", target), ("_PropKeeper__attr", "plain")]


# --- the private-name rule ------------------------------------------------------------------

OWNER = Owner()

MANGLING = [
    # (obj, attr, stored name)
    (OWNER, "count", "count"),
    (OWNER, "", ""),
    (OWNER, "_", "_"),
    (OWNER, "_count", "_count"),
    (OWNER, "__count", "_Owner__count"),
    (OWNER, "__count_", "_Owner__count_"),
    (OWNER, "__c", "_Owner__c"),
    (OWNER, "__count__", "__count__"),
    (OWNER, "__init__", "__init__"),
    (OWNER, "__", "__"),
    (OWNER, "___", "___"),
    (OWNER, "___count", "___count"),
    (OWNER, "____count", "____count"),
    (OWNER, "__a__b", "_Owner__a__b"),
    (named("_Owner")(), "__count", "_Owner__count"),
    (named("__Owner")(), "__count", "_Owner__count"),
    (named("Own_er_")(), "__count", "_Own_er___count"),
    (named("___")(), "__count", "___count"),
    (named("_")(), "__x", "___x"),
    (Owner, "__count", "_Owner__count"),
    (named("_Owner"), "__count", "_Owner__count"),
    (named("Meta_made", meta=type("Meta", (type,), {})), "__count", "_Meta_made__count"),
    (type, "__count", "_type__count"),
    (Reported(), "__count", "_Owner__count"),
    (5, "__count", "_int__count"),
    (None, "__count", "_NoneType__count"),
    (named("Ünïcödé")(), "__ñame", "_Ünïcödé__ñame"),
    (named("Ü")(), "__𝔵", "_Ü__𝔵"),
    (named("_𝔵")(), "__é", "_𝔵__é"),
]


@pytest.mark.parametrize("obj, attr, stored", MANGLING,
                         ids=[f"{type(o).__name__}-{a!r}" for o, a, _ in MANGLING])
def test_get_name(obj, attr, stored):
    assert PropKeeper.get_name(obj, attr) == stored
    assert PropKeeper.get_name(obj=obj, attr=attr) == stored
    assert type(PropKeeper.get_name(obj, attr)) is str


@pytest.mark.parametrize("attr", ["", "count", "_count", "__count__", "__", "___count"])
def test_unchanged_name_is_the_same_object_and_obj_is_not_inspected(attr):
    assert PropKeeper.get_name(Unclassed(), attr) is attr


def test_owner_lookup_errors_propagate_with_a_traceback_entry():
    with pytest.raises(LookupError, match="no class here") as caught:
        PropKeeper.get_attribute(Unclassed(), "__count")
    entries = [(entry.filename, entry.name, entry.lineno)
               for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert entries[-3:-1] == [(SOURCE, f"{MODULE}.PropKeeper.get_attribute", 50),
                              (SOURCE, f"{MODULE}.PropKeeper.get_name", 38)]


class Stripper:
    """A `__name__` whose `lstrip` gives back whatever it was built with."""

    def __init__(self, stripped):
        self.stripped = stripped
        self.calls = []

    def lstrip(self, *args):
        self.calls.append(args)
        return self.stripped


class Formatted(str):
    def __format__(self, format_spec):
        return f"<{str(self)}:{format_spec}>"


def reporting(name):
    """An object whose reported class is a plain object with the given `__name__`."""

    class Fake:
        pass

    fake = Fake()
    fake.__name__ = name

    class Reporter:
        __class__ = property(lambda self: fake)

    return Reporter()


@pytest.mark.parametrize("stripped, class_part", [
    ("Plain", "Plain"),
    (42, "42"),
    (Formatted("Sub"), "<Sub:>"),
])
def test_class_name_is_formatted_like_an_f_string_field(stripped, class_part):
    name = Stripper(stripped)
    assert PropKeeper.get_name(reporting(name), "__count") == f"_{class_part}__count"
    assert name.calls == [("_",)]


def test_class_name_formatting_errors_propagate():
    class Unformattable:
        def __format__(self, format_spec):
            raise ValueError("cannot format")

    with pytest.raises(ValueError, match="cannot format") as caught:
        PropKeeper.get_name(reporting(Stripper(Unformattable())), "__count")
    assert traceback.extract_tb(caught.value.__traceback__)[-2].lineno == 39


# --- reading, writing, testing --------------------------------------------------------------


def test_get_attribute_reads_plain_and_private_names():
    owner = Owner()
    assert PropKeeper.get_attribute(owner, "plain") == "plain"
    assert PropKeeper.get_attribute(owner, "__count") == 3
    assert PropKeeper.get_attribute(Owner, "__init__") is Owner.__dict__["__init__"]


def test_hooks_are_bypassed_for_reading():
    guarded = Guarded()
    assert guarded.missing == "hook"
    with pytest.raises(AttributeError, match="'Guarded' object has no attribute 'missing'"):
        PropKeeper.get_attribute(guarded, "missing")
    assert PropKeeper.has_attribute(guarded, "missing") is False

    intercepted = Intercepted()
    object.__setattr__(intercepted, "secret", 7)
    assert intercepted.secret == "intercepted"
    assert PropKeeper.get_attribute(intercepted, "secret") == 7
    assert PropKeeper.has_attribute(intercepted, "other") is False


def test_hooks_are_bypassed_for_writing():
    guarded = Guarded()
    with pytest.raises(PermissionError):
        guarded.value = 1
    assert PropKeeper.set_attribute(guarded, "__secret", 5) is None
    assert vars(guarded) == {"_Guarded__secret": 5}
    assert PropKeeper.get_attribute(guarded, "__secret") == 5


def test_set_attribute_writes_plain_and_private_names():
    owner = Owner()
    assert PropKeeper.set_attribute(owner, "plain", 1) is None
    assert PropKeeper.set_attribute(owner, "__count", 4) is None
    assert (owner.plain, owner._Owner__count) == (1, 4)


class Slotted:
    __slots__ = ("kept",)


class Hooked:
    def __setattr__(self, name, value):
        raise PermissionError(name)


# Targets of every kind of setattr: the generic one, a Python hook, a C-level one of its own.
SET_TARGETS = {
    "instance": Owner,
    "slotted": Slotted,
    "hooked": Hooked,
    "int": lambda: 5,
    "class object": lambda: named("Target"),
    "type": lambda: type,
    "module": lambda: type(typing)("scratch"),
}


@pytest.mark.parametrize("make_target", SET_TARGETS.values(), ids=SET_TARGETS.keys())
@pytest.mark.parametrize("attr", ["kept", "other"])
def test_set_attribute_behaves_as_object_setattr(make_target, attr):
    def outcome(write):
        target = make_target()
        try:
            write(target)
        except Exception as error:  # the very error object.__setattr__ raises, if any
            return type(error), str(error)
        return "stored", object.__getattribute__(target, attr)

    expected = outcome(lambda target: object.__setattr__(target, attr, 9))
    assert outcome(lambda target: PropKeeper.set_attribute(target, attr, 9)) == expected


def test_class_object_target_of_set_attribute_is_refused():
    with pytest.raises(TypeError, match="can't apply this __setattr__ to type object"):
        PropKeeper.set_attribute(Owner, "__count", 1)
    assert "_Owner__count" not in vars(Owner)


@pytest.mark.parametrize("value", [None, False, 0, "", []])
def test_has_attribute_is_true_for_false_values(value):
    owner = Owner()
    owner.flag = value
    assert PropKeeper.has_attribute(owner, "flag") is True


class Failing:
    @property
    def broken(self):
        raise ValueError("broken")

    @property
    def gone(self):
        raise AttributeError("gone")

    @property
    def missing_key(self):
        raise KeyError("missing")


class AttributeErrorKind(AttributeError):
    pass


def test_has_attribute_turns_only_attribute_errors_into_false():
    failing = Failing()
    assert PropKeeper.has_attribute(failing, "gone") is False
    assert PropKeeper.has_attribute(Owner(), "missing") is False
    with pytest.raises(ValueError, match="broken"):
        PropKeeper.has_attribute(failing, "broken")
    with pytest.raises(KeyError):
        PropKeeper.has_attribute(failing, "missing_key")

    class Sub(Failing):
        @property
        def kind(self):
            raise AttributeErrorKind

    assert PropKeeper.has_attribute(Sub(), "kind") is False


# --- the properties -------------------------------------------------------------------------


def test_property_round_trip():
    owner = Owner()
    del owner._Owner__count
    keeper = PropKeeper(owner, "__count")
    assert keeper.name == "_Owner__count"
    assert keeper.exists is False
    keeper.value = 5
    assert owner._Owner__count == 5
    assert keeper.value == 5
    assert keeper.exists is True


def test_properties_bypass_the_target_hooks():
    guarded = Guarded()
    keeper = PropKeeper(guarded, "__secret")
    assert keeper.exists is False
    keeper.value = "s"
    assert (keeper.value, keeper.exists) == ("s", True)
    assert vars(guarded) == {"_Guarded__secret": "s"}


def test_properties_follow_rebound_slots():
    keeper = PropKeeper(Owner(), "plain")
    other = Owner()
    other.plain = "other"
    keeper._PropKeeper__obj = other
    assert keeper.value == "other"
    keeper._PropKeeper__attr = "__count"
    assert (keeper.value, keeper.name) == (3, "_Owner__count")


def test_properties_refuse_what_they_lack():
    keeper = PropKeeper(Owner(), "plain")
    with pytest.raises(AttributeError):
        del keeper.value
    with pytest.raises(AttributeError):
        keeper.name = "x"
    with pytest.raises(AttributeError):
        keeper.exists = True


READS = {
    "name": lambda keeper: keeper.name,
    "value": lambda keeper: keeper.value,
    "exists": lambda keeper: keeper.exists,
    "value =": lambda keeper: setattr(keeper, "value", 1),
}


@pytest.mark.parametrize("use", READS.values(), ids=READS.keys())
def test_uninitialised_instance_raises_the_slot_error(use):
    keeper = PropKeeper.__new__(PropKeeper)
    with pytest.raises(AttributeError) as caught:
        use(keeper)
    # The interpreter's own error for reading an unset slot.
    with pytest.raises(AttributeError) as expected:
        keeper._PropKeeper__obj
    assert str(caught.value) == str(expected.value)


def test_value_setter_result_is_none_and_getter_returns_the_value_unchanged():
    marker = object()
    owner = Owner()
    keeper = PropKeeper(owner, "plain")
    assert PropKeeper.value.fset(keeper, marker) is None
    assert keeper.value is marker


# --- how the members reach one another -------------------------------------------------------


class GetNameOverride(PropKeeper):
    @staticmethod
    def get_name(obj, attr):
        return "plain"


def test_subclass_get_name_changes_only_name():
    owner = Owner()
    keeper = GetNameOverride(owner, "__count")
    assert keeper.name == "plain"
    assert keeper.value == 3
    assert keeper.exists is True
    assert GetNameOverride.get_attribute(owner, "__count") == 3


@pytest.mark.parametrize("result, type_name", [(5, "int"), (Text("x"), "Text"), (b"x", "bytes")])
def test_name_must_be_str_or_none(result, type_name):
    class Sub(PropKeeper):
        @staticmethod
        def get_name(obj, attr):
            return result

    with pytest.raises(TypeError) as caught:
        Sub(Owner(), "plain").name
    assert str(caught.value) == f"Expected str, got {type_name}"
    assert traceback.extract_tb(caught.value.__traceback__)[-1].name == (
        f"{MODULE}.PropKeeper.name")


def test_name_passes_none_through():
    class Sub(PropKeeper):
        def get_name(self, **kwargs):
            calls.append(kwargs)

    calls = []
    owner = Owner()
    assert Sub(owner, "plain").name is None
    assert calls == [{"obj": owner, "attr": "plain"}]


class Recorder:
    """Stands in for the module-level PropKeeper and records how it is called."""

    calls = []

    @staticmethod
    def get_name(*args, **kwargs):
        Recorder.calls.append(("get_name", args, kwargs))
        return kwargs["attr"]

    @staticmethod
    def get_attribute(*args, **kwargs):
        Recorder.calls.append(("get_attribute", args, kwargs))
        return "read"

    @staticmethod
    def set_attribute(*args, **kwargs):
        Recorder.calls.append(("set_attribute", args, kwargs))
        return "discarded"

    @staticmethod
    def has_attribute(*args, **kwargs):
        Recorder.calls.append(("has_attribute", args, kwargs))
        return "answer"


@pytest.fixture
def recorder(monkeypatch):
    Recorder.calls = []
    monkeypatch.setattr(prop_keeper_module, "PropKeeper", Recorder)
    return Recorder.calls


def test_members_call_through_the_module_name_with_keywords(recorder):
    owner = Owner()
    keeper = PropKeeper(owner, "plain")
    assert keeper.value == "read"
    keeper.value = 1
    assert keeper.exists == "answer"
    assert PropKeeper.get_attribute(owner, "plain") == "plain"
    assert PropKeeper.has_attribute(owner, "plain") is True
    PropKeeper.set_attribute(owner, "plain", 2)
    kw = {"obj": owner, "attr": "plain"}
    assert recorder == [
        ("get_attribute", (), kw),
        ("set_attribute", (), {**kw, "value": 1}),
        ("has_attribute", (), kw),
        ("get_name", (), kw),
        ("get_attribute", (), kw),
        ("get_name", (), kw),
    ]
    assert owner.plain == 2


def test_module_name_is_looked_up_at_each_use(monkeypatch):
    owner = Owner()
    monkeypatch.setattr(prop_keeper_module, "PropKeeper", GetNameOverride)
    assert PropKeeper.get_attribute(owner, "__count") == "plain"
    monkeypatch.undo()
    assert PropKeeper.get_attribute(owner, "__count") == 3


def test_has_attribute_answers_false_when_the_module_name_lacks_get_attribute(monkeypatch):
    monkeypatch.setattr(prop_keeper_module, "PropKeeper", object())
    assert PropKeeper.has_attribute(Owner(), "plain") is False


USES_OF_THE_MODULE_NAME = {
    "get_attribute": lambda keeper, owner: PropKeeper.get_attribute(owner, "plain"),
    "set_attribute": lambda keeper, owner: PropKeeper.set_attribute(owner, "plain", 1),
    "has_attribute": lambda keeper, owner: PropKeeper.has_attribute(owner, "plain"),
    "value": lambda keeper, owner: keeper.value,
    "value =": lambda keeper, owner: setattr(keeper, "value", 1),
    "exists": lambda keeper, owner: keeper.exists,
}


@pytest.mark.parametrize("use", USES_OF_THE_MODULE_NAME.values(),
                         ids=USES_OF_THE_MODULE_NAME.keys())
def test_removed_module_name_raises_name_error(monkeypatch, use):
    owner = Owner()
    keeper = PropKeeper(owner, "plain")
    monkeypatch.delattr(prop_keeper_module, "PropKeeper")
    with pytest.raises(NameError) as caught:
        use(keeper, owner)
    assert str(caught.value) == "name 'PropKeeper' is not defined"
    assert owner.plain == "plain"
    # What does not go through the module name still works.
    assert PropKeeper.get_name(owner, "__count") == "_Owner__count"
    assert keeper.name == "plain"


def test_removed_module_name_falls_back_to_builtins(monkeypatch):
    import builtins

    monkeypatch.delattr(prop_keeper_module, "PropKeeper")
    monkeypatch.setattr(builtins, "PropKeeper", GetNameOverride, raising=False)
    assert PropKeeper.get_attribute(Owner(), "__count") == "plain"


def test_object_is_fetched_once_at_import(child):
    done = child.run("""
        import builtins
        from tools.common.prop_keeper import PropKeeper

        class Owner:
            def __setattr__(self, name, value):
                raise PermissionError(name)

        owner = Owner()
        builtins.object = None
        PropKeeper.set_attribute(owner, "__count", 1)
        print(PropKeeper.get_attribute(owner, "__count"), PropKeeper.has_attribute(owner, "x"))
    """)
    assert done.stdout.split() == ["1", "False"]


REBOUND_OBJECT = """
    import builtins, json, typing

    calls = []

    class Rebound:
        {members}

    real_object, builtins.object = builtins.object, Rebound
    try:
        from tools.common.prop_keeper import PropKeeper
    finally:
        builtins.object = real_object

    class Owner:
        pass

    owner = Owner()
    outcomes = []
    for attempt in [lambda: PropKeeper.set_attribute(owner, "__count", 5),
                    lambda: PropKeeper.get_attribute(owner, "__count"),
                    lambda: PropKeeper(owner, "__count").exists]:
        try:
            outcomes.append(repr(attempt()))
        except Exception as error:
            outcomes.append(f"{{type(error).__name__}}: {{error}}")
    print(json.dumps({{"outcomes": outcomes, "calls": calls}}))
"""


@pytest.mark.parametrize(
    "members, outcomes, calls",
    [
        # Plain functions: called as object.__getattribute__(obj, name) would call them.
        (
            """
        def __getattribute__(self, name):
            calls.append(["get", name])
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            calls.append(["set", name])
            object.__setattr__(self, name, value)
            """,
            ["None", "5", "True"],
            [["set", "_Owner__count"], ["get", "_Owner__count"], ["get", "_Owner__count"]],
        ),
        # Only one replaced: the other is object's own, inherited.
        (
            """
        def __getattribute__(self, name):
            calls.append(["get", name])
            return 7
            """,
            ["None", "7", "True"],
            [["get", "_Owner__count"], ["get", "_Owner__count"]],
        ),
        # Another type's slot wrapper checks its instance, as calling it always does.
        (
            "__getattribute__ = type.__getattribute__",
            [
                "None",
                "TypeError: descriptor '__getattribute__' requires a 'type' object but "
                "received a 'Owner'",
                "TypeError: descriptor '__getattribute__' requires a 'type' object but "
                "received a 'Owner'",
            ],
            [],
        ),
    ],
    ids=["functions", "getattribute-only", "foreign-slot-wrapper"],
)
def test_object_rebound_before_the_import_is_used_as_fetched(child, members, outcomes, calls):
    done = child.run(REBOUND_OBJECT.format(members=members.strip()))
    assert json.loads(done.stdout) == {"outcomes": outcomes, "calls": calls}


def test_traceback_through_a_property_names_each_function():
    keeper = PropKeeper(Owner(), "missing")
    with pytest.raises(AttributeError) as caught:
        keeper.value
    entries = [(entry.filename, entry.name, entry.lineno)
               for entry in traceback.extract_tb(caught.value.__traceback__)
               if entry.filename == SOURCE]
    assert entries == [(SOURCE, f"{MODULE}.PropKeeper.value", 17),
                       (SOURCE, f"{MODULE}.PropKeeper.get_attribute", 50)]


# --- every read is an ordinary one, whatever was read before ---------------------------------


class CallableName:
    """A replacement `get_name` that is no descriptor at all."""

    def __call__(self, obj, attr):
        return "plain"


REPLACEMENTS = {
    "staticmethod": staticmethod(lambda obj, attr: "plain"),
    "classmethod": classmethod(lambda cls, obj, attr: "plain"),
    "plain callable": CallableName(),
}


@pytest.mark.parametrize("replacement", REPLACEMENTS.values(), ids=REPLACEMENTS.keys())
def test_changes_to_the_class_are_seen_at_the_next_call(monkeypatch, replacement):
    owner = Owner()
    assert PropKeeper.get_attribute(owner, "__count") == 3
    monkeypatch.setattr(PropKeeper, "get_name", replacement)
    assert PropKeeper.get_attribute(owner, "__count") == "plain"
    monkeypatch.undo()
    assert PropKeeper.get_attribute(owner, "__count") == 3


def test_changes_to_a_base_class_are_seen_through_the_module_name(monkeypatch):
    class Sub(PropKeeper):
        pass

    owner = Owner()
    monkeypatch.setattr(prop_keeper_module, "PropKeeper", Sub)
    assert PropKeeper.get_attribute(owner, "__count") == 3
    monkeypatch.setattr(PropKeeper, "get_name", staticmethod(lambda obj, attr: "plain"))
    assert PropKeeper.get_attribute(owner, "__count") == "plain"
    del PropKeeper.get_name
    with pytest.raises(AttributeError, match="has no attribute 'get_name'"):
        PropKeeper.get_attribute(owner, "__count")
    assert PropKeeper.has_attribute(owner, "__count") is False


@pytest.mark.parametrize("write", [False, True], ids=["get_attribute", "set_attribute"])
def test_a_stored_name_that_is_no_str_fails_as_in_object_itself(monkeypatch, write):
    owner = Owner()
    monkeypatch.setattr(PropKeeper, "get_name", staticmethod(lambda obj, attr: 5))
    direct = (lambda: object.__setattr__(owner, 5, 1)) if write else (
        lambda: object.__getattribute__(owner, 5))
    with pytest.raises(TypeError) as expected:
        direct()
    through = (lambda: PropKeeper.set_attribute(owner, "x", 1)) if write else (
        lambda: PropKeeper.get_attribute(owner, "x"))
    with pytest.raises(TypeError) as caught:
        through()
    assert str(caught.value) == str(expected.value)


class Pinned(PropKeeper):
    """Overrides the name slot with a property of its own."""

    @property
    def _PropKeeper__attr(self):
        return "plain"

    @_PropKeeper__attr.setter
    def _PropKeeper__attr(self, value):
        pass


def test_slots_are_read_as_ordinary_attributes():
    owner = Owner()
    keeper = PropKeeper(owner, "__count")
    pinned = Pinned(owner, "__count")
    # Alternating the two classes: each read answers for its own instance's class.
    assert [keeper.value, pinned.value, keeper.value, pinned.name] == [3, "plain", 3, "plain"]


def test_slot_replaced_on_the_class_is_seen_at_the_next_read(monkeypatch):
    keeper = PropKeeper(Owner(), "__count")
    assert keeper.value == 3
    monkeypatch.setattr(PropKeeper, "_PropKeeper__attr", property(lambda self: "plain"))
    assert keeper.value == "plain"
    monkeypatch.undo()
    assert keeper.value == 3


def test_slot_reads_go_through_a_subclass_getattribute():
    class Watched(PropKeeper):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    reads = []
    keeper = Watched(Owner(), "plain")
    keeper.value
    keeper.name
    assert reads == ["value", "_PropKeeper__obj", "_PropKeeper__attr",
                     "name", "_PropKeeper__obj", "_PropKeeper__attr", "get_name"]


def test_empty_slot_after_filled_ones():
    assert PropKeeper(Owner(), "plain").value == "plain"
    keeper = PropKeeper.__new__(PropKeeper)
    keeper._PropKeeper__obj = Owner()
    # The interpreter names the class by its full name in this error.
    with pytest.raises(AttributeError) as caught:
        keeper.value
    assert str(caught.value) == (
        f"'{MODULE}.PropKeeper' object has no attribute '_PropKeeper__attr'")
