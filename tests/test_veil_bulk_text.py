"""tools.common.veil_bulk_text: leaves whose text form is too long come back as excerpts.

The container walk that veil_bulk_text shares with hush_secret (iteration rules, subclass
items(), the generator rule of the tuple case, deep input) is tested for both functions in
test_hush_secret_and_veil_bulk_text_walks.py; this file holds what is veil_bulk_text's own.
"""

import collections
import contextlib
import copy
import dataclasses
import inspect
import re
import sys
import traceback
import types
import typing

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tools.common.veil_bulk_text as module
from tools.common.veil_bulk_text import veil_bulk_text
from models import veil_bulk_text as model
from walk_results import assert_same, input_leaves

SOURCE = "src/tools/common/veil_bulk_text.py"
FUNCTION = "tools.common.veil_bulk_text.veil_bulk_text"
OPENING = "\n{\n"
CLOSING = "\n...big-content hidden...\n}\n" + " " * 16
NOTICE = (
    "\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n"
    + " " * 16
)


def entries(error):
    """(function, line) of the traceback entries that this module added to `error`."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(error.__traceback__)
        if frame.filename == SOURCE
    ]


def veiled(text, limit=4000):
    return OPENING + text[:limit] + CLOSING


@contextlib.contextmanager
def constants(replacement):
    """Binds `replacement` to the module attribute `_const` for the duration."""
    original = module._const
    module._const = replacement
    try:
        yield
    finally:
        module._const = original


def limit(char_limit):
    return constants(module._Const(char_limit=char_limit))


@pytest.fixture
def digits():
    """Lifts the interpreter's digit limit for int-to-str conversion; sets it back after."""
    original = sys.get_int_max_str_digits()
    yield sys.set_int_max_str_digits
    sys.set_int_max_str_digits(original)


class Unconvertible:
    def __init__(self, error):
        self.error = error

    def __deepcopy__(self, memo):
        return self

    def __str__(self):
        raise self.error


# --- the module and the function object -------------------------------------------------------


def test_module_namespace_in_order(child):
    # In a fresh interpreter: tests that remove and restore a global reorder the namespace.
    done = child.run(
        """
        import tools.common.veil_bulk_text as module
        print(*[name for name in vars(module) if not name.startswith("__")])
        """
    )
    assert done.stdout.split() == ["dataclass", "Any", "_Const", "_const", "veil_bulk_text"]
    assert module.dataclass is dataclasses.dataclass
    assert module.Any is typing.Any
    assert type(veil_bulk_text).__name__ == "nativefunction"


def test_const_is_a_frozen_dataclass_of_the_limit():
    Const = module._Const
    assert (Const.__name__, Const.__qualname__, Const.__module__) == (
        "_Const",
        "_Const",
        "tools.common.veil_bulk_text",
    )
    assert Const.__bases__ == (object,)
    assert Const.__annotations__ == {"char_limit": "int"}
    assert Const.char_limit == 4000
    (field,) = dataclasses.fields(Const)
    assert (field.name, field.type, field.default) == ("char_limit", "int", 4000)
    assert Const.__dataclass_params__.frozen
    assert module._const == Const() == Const(char_limit=4000)
    assert hash(Const(7)) == hash(Const(7))
    assert repr(Const(7)) == "_Const(char_limit=7)"
    with pytest.raises(dataclasses.FrozenInstanceError):
        module._const.char_limit = 1
    with pytest.raises(dataclasses.FrozenInstanceError):
        del module._const.char_limit


def test_function_attributes():
    assert veil_bulk_text.__name__ == veil_bulk_text.__qualname__ == "veil_bulk_text"
    assert veil_bulk_text.__module__ == "tools.common.veil_bulk_text"
    assert veil_bulk_text.__doc__ == (
        "\n        Veil bulk-text in the object.\n\n"
        "        :param value: 'param-value'\n"
        "        :return: new object with hidden big-content\n        "
    )
    assert veil_bulk_text.__defaults__ == (None,)
    assert list(veil_bulk_text.__annotations__.items()) == [("value", "Any"), ("return", "Any")]
    assert str(inspect.signature(veil_bulk_text)) == "(value: 'Any' = None) -> 'Any'"
    code = veil_bulk_text.__code__
    assert (code.co_argcount, code.co_firstlineno, code.co_filename) == (1, 30, SOURCE)
    assert code.co_varnames == ("value", "value_str", "k", "v", "v", "genexpr", "genexpr")


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("a", "b"), {}, "veil_bulk_text() takes at most 1 positional argument (2 given)"),
        (("a",), {"value": "b"}, "veil_bulk_text() got multiple values for keyword argument 'value'"),
        ((), {"text": "b"}, "veil_bulk_text() got an unexpected keyword argument 'text'"),
    ],
)
def test_argument_errors_report_the_definition_line(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        veil_bulk_text(*args, **kwargs)
    assert str(caught.value) == message
    assert entries(caught.value) == [(FUNCTION, 30)]


# --- leaves --------------------------------------------------------------------------------------


def test_marker_texts():
    assert (len(OPENING), len(CLOSING), len(NOTICE)) == (3, 44, 94)
    long = veil_bulk_text("x" * 4001)
    assert long.endswith("}\n" + " " * 16) and not long.endswith(" " * 17)
    assert long == OPENING + "x" * 4000 + CLOSING
    assert len(long) == 4047


def test_none_and_no_argument_give_the_empty_string():
    assert veil_bulk_text() == ""
    assert veil_bulk_text(None) == ""
    assert veil_bulk_text([None, {"k": None}]) == ["", {"k": ""}]


@pytest.mark.parametrize(
    "value",
    ["x" * 4000, "", 12345, -(2**63), 2**64, 1.5, -1.2345678901234567e-300, True, b"bytes", object, {1, 2}],
    ids=repr,
)
def test_short_leaves_come_back_as_the_same_object(value):
    assert veil_bulk_text(value) is value


@pytest.mark.parametrize(
    ("value", "text"),
    [
        ("é" * 4001, "é" * 4001),
        ("a" * 3999 + "😀" * 2, "a" * 3999 + "😀" * 2),  # the cut leaves only ASCII
        ("€" * 3000 + "a" * 1001, "€" * 3000 + "a" * 1001),
        ("é" * 4000 + "€", "é" * 4000 + "€"),  # the cut leaves only latin-1
        (b"\x00" * 1500, repr(b"\x00" * 1500)),
        (set(range(1000)), str(set(range(1000)))),
        (frozenset(range(1000)), str(frozenset(range(1000)))),
        (10**4100, str(10**4100)),
        (types.SimpleNamespace(data="z" * 5000), str(types.SimpleNamespace(data="z" * 5000))),
    ],
    ids=["latin-1", "ascii-cut", "ucs2-cut", "latin-1-cut", "bytes", "set", "frozenset", "int", "object"],
)
def test_long_leaves_become_excerpts_of_their_text_form(value, text):
    result = veiled(text)
    assert veil_bulk_text(value) == result
    assert type(veil_bulk_text(value)) is str
    assert sys.getsizeof(veil_bulk_text(value)) == sys.getsizeof(result)  # the narrowest kind


def test_int_within_the_digit_limit_becomes_an_excerpt_of_its_digits(digits):
    digits(0)
    assert veil_bulk_text(10**9000) == OPENING + "1" + "0" * 3999 + CLOSING


def test_int_beyond_the_digit_limit_becomes_the_notice(digits):
    digits(4300)
    assert veil_bulk_text(10**4400) == NOTICE
    assert veil_bulk_text([10**4400, 10**4400]) == [NOTICE, NOTICE]


@pytest.mark.parametrize(
    "error", [ValueError("bad"), UnicodeEncodeError("ascii", "é", 0, 1, "no"), KeyError("key")]
)
def test_conversion_failures(error):
    leaf = Unconvertible(error)
    if isinstance(error, ValueError):
        assert veil_bulk_text(leaf) == NOTICE
        return
    with pytest.raises(KeyError) as caught:
        veil_bulk_text(leaf)
    assert caught.value is error
    assert entries(caught.value) == [(FUNCTION, 63)]


def test_str_raising_type_error_fails_the_whole_walk():
    with pytest.raises(TypeError, match="no text") as caught:
        veil_bulk_text({"a": "ok", "b": [Unconvertible(TypeError("no text"))]})
    assert entries(caught.value) == [(FUNCTION, 45), (FUNCTION, 51), (FUNCTION, 63)]


def test_text_form_is_format_with_an_empty_spec():
    format_specs = []

    class Formatted:
        def __format__(self, format_spec):
            format_specs.append(format_spec)
            return "f" * 4001

        def __str__(self):
            raise AssertionError("format, not str")

    assert veil_bulk_text(Formatted()) == veiled("f" * 4001)
    assert format_specs == [""]


def test_format_returning_no_str_fails_at_the_conversion_line():
    class Odd:
        def __format__(self, format_spec):
            return 5

    with pytest.raises(TypeError, match="__format__ must return a str, not int") as caught:
        veil_bulk_text(Odd())
    assert entries(caught.value) == [(FUNCTION, 63)]


def test_the_exception_being_handled_stays_the_one_being_handled():
    try:
        raise KeyError("handled")
    except KeyError as handled:
        assert veil_bulk_text(Unconvertible(ValueError("dropped"))) == NOTICE
        assert sys.exception() is handled
    assert sys.exception() is None


def test_dict_keys_are_never_veiled():
    key = "k" * 5000
    result = veil_bulk_text({key: "v", "data": ["short", "y" * 10000]})
    assert list(result) == [key, "data"]
    assert next(iter(result)) is key
    assert result["data"] == ["short", veiled("y" * 10000)]


def test_containers_come_back_new_and_plain_with_the_same_leaves():
    Point = collections.namedtuple("Point", "x y")
    leaf = object()
    value = collections.OrderedDict(b=collections.defaultdict(list, a=leaf), a=Point(leaf, "x"))
    result = veil_bulk_text(value)
    assert type(result) is dict and list(result) == ["b", "a"]
    assert type(result["b"]) is dict and result["b"]["a"] is leaf
    assert type(result["a"]) is tuple and result["a"][0] is leaf


def test_nested_calls_go_through_the_module_attribute_by_keyword(monkeypatch):
    calls = []

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return "seen"

    monkeypatch.setattr(module, "veil_bulk_text", spy)
    assert veil_bulk_text({"a": 1, "b": [2], "c": (3,)}) == {"a": "seen", "b": "seen", "c": "seen"}
    assert veil_bulk_text([1]) == ["seen"] and veil_bulk_text((1,)) == ("seen",)
    assert calls == [((), {"value": v}) for v in (1, [2], (3,), 1, 1)]


# --- the limit ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("char_limit", "value", "expected"),
    [
        (100, "x" * 100, "x" * 100),
        (100, "x" * 101, veiled("x" * 101, 100)),
        (3, 12345, veiled("12345", 3)),
        (5, -1234, -1234),
        (4, -1234, veiled("-1234", 4)),
        (3, True, veiled("True", 3)),
        (4, True, True),
        (4, False, veiled("False", 4)),
        (23, -2.2250738585072014e-308, veiled("-2.2250738585072014e-308", 23)),  # longest repr
        (24, -2.2250738585072014e-308, -2.2250738585072014e-308),
        (0, "a", veiled("a", 0)),
        (0, "", ""),
        (-2, "abcd", veiled("abcd", -2)),
        (-10, "abcd", veiled("", 0)),
        (10**30, "abcd", "abcd"),
        (-(10**30), "abcd", veiled("")),
        (True, "ab", veiled("ab", 1)),
    ],
)
def test_rebinding_const_changes_the_limit(char_limit, value, expected):
    with limit(char_limit):
        assert veil_bulk_text(value) == expected


class CountingConst:
    """A stand-in for `_const` whose char_limit gives the next of `limits` at each read."""

    def __init__(self, *limits):
        self.limits = list(limits)
        self.reads = 0

    @property
    def char_limit(self):
        self.reads += 1
        return self.limits.pop(0)


def test_the_limit_is_read_at_each_use():
    short = CountingConst(10)
    with constants(short):
        assert veil_bulk_text("abc") == "abc"
    assert short.reads == 1

    long = CountingConst(2, 5)  # the comparison sees 2, the slice 5
    with constants(long):
        assert veil_bulk_text("abcdefgh") == veiled("abcdefgh", 5)
    assert long.reads == 2


# --- the limit where `_const` keeps it ---------------------------------------------------------
#
# The read of `_const.char_limit` remembers where a `_Const` instance keeps the value and reads
# it there at each leaf, while the class stays unchanged. Each case below first fills that
# memory, with a limit of 4000, then changes the instance, its class or the module global under
# it; the next call must see exactly what `_const.char_limit` gives now.


@pytest.fixture
def const():
    """A fresh `_Const()` bound as `_const`, already read in place by one call."""
    instance = module._Const()
    with constants(instance):
        assert veil_bulk_text("abcdef") == "abcdef"
        yield instance


class IntWithOwnOrder(int):
    """An int limit whose reflected comparison says no text is ever longer than it."""

    def __lt__(self, other):
        return False


class Limit:
    """A limit that is no int: every text is longer than it, and it slices as 1."""

    def __lt__(self, other):
        return True

    def __gt__(self, other):
        return False

    def __index__(self):
        return 1


def write_with_setattr(instance, limit):
    object.__setattr__(instance, "char_limit", limit)


def write_through_vars(instance, limit):
    vars(instance)["char_limit"] = limit


@pytest.mark.parametrize("write", [write_with_setattr, write_through_vars])
@pytest.mark.parametrize(
    ("new_limit", "expected"),
    [
        (2, veiled("abcdef", 2)),
        (6, "abcdef"),
        (True, veiled("abcdef", 1)),
        (False, veiled("")),
        (10**30, "abcdef"),
        (-(10**30), veiled("")),
        (2**62, "abcdef"),  # beyond a compact int, within a machine word
        (IntWithOwnOrder(2), "abcdef"),
        (Limit(), veiled("abcdef", 1)),
    ],
    ids=["int", "int-equal", "true", "false", "huge", "huge-negative", "two-digits",
         "int-subclass", "lt-gt"],
)
def test_a_limit_written_into_the_frozen_instance_is_read(const, write, new_limit, expected):
    write(const, new_limit)
    assert veil_bulk_text("abcdef") == expected
    assert veil_bulk_text(["abcdef"]) == [expected]  # and at every leaf of a walk


@pytest.mark.parametrize("write", [write_with_setattr, write_through_vars])
def test_a_float_limit_written_into_the_frozen_instance_fails_at_the_slice(const, write):
    write(const, 2.5)
    assert veil_bulk_text("ab") == "ab"
    with pytest.raises(TypeError, match="slice indices must be integers") as caught:
        veil_bulk_text("abcdef")
    assert entries(caught.value) == [(FUNCTION, 75)]


def test_a_deleted_limit_falls_back_to_the_class_attribute(const, monkeypatch):
    object.__delattr__(const, "char_limit")
    assert veil_bulk_text("x" * 4001) == veiled("x" * 4001)
    monkeypatch.setattr(module._Const, "char_limit", 3)
    assert veil_bulk_text("abcdef") == veiled("abcdef", 3)


def test_the_instance_value_outranks_a_new_class_attribute(const, monkeypatch):
    monkeypatch.setattr(module._Const, "char_limit", 3)
    assert veil_bulk_text("abcdef") == "abcdef"
    object.__setattr__(const, "char_limit", 2)
    assert veil_bulk_text("abcdef") == veiled("abcdef", 2)


class NonDataDescriptor:
    def __get__(self, instance, owner=None):
        return 2


@pytest.mark.parametrize(
    "descriptor",
    [property(lambda self: 2), NonDataDescriptor],
    ids=["property", "descriptor-that-becomes-a-data-descriptor"],
)
def test_a_data_descriptor_added_to_the_class_wins(const, monkeypatch, descriptor):
    if descriptor is NonDataDescriptor:
        # A non-data descriptor leaves the instance's value first; giving its class __set__
        # afterwards changes only that class, not _Const.
        cls = type("Descriptor", (NonDataDescriptor,), {})
        monkeypatch.setattr(module._Const, "char_limit", cls())
        assert veil_bulk_text("abcdef") == "abcdef"
        cls.__set__ = lambda self, instance, value: None
    else:
        monkeypatch.setattr(module._Const, "char_limit", descriptor)
    assert veil_bulk_text("abcdef") == veiled("abcdef", 2)


def test_an_attribute_hook_added_to_the_class_wins(const, monkeypatch):
    answers = {}

    def getattribute(self, name):
        if name == "char_limit" and "limit" in answers:
            return answers["limit"]
        return object.__getattribute__(self, name)

    monkeypatch.setattr(module._Const, "__getattribute__", getattribute, raising=False)
    assert veil_bulk_text("abcdef") == "abcdef"  # the hook gives the instance's own value
    answers["limit"] = 2  # and then its own, with the class unchanged
    assert veil_bulk_text("abcdef") == veiled("abcdef", 2)


def test_values_moved_out_of_the_instance_are_read_where_they_went(const):
    attributes = vars(const)
    attributes[1] = "a key that is no str moves the values into a dict of their own"
    attributes["char_limit"] = 2
    assert veil_bulk_text("abcdef") == veiled("abcdef", 2)


def test_a_new_dict_for_the_instance_is_read(const):
    object.__setattr__(const, "__dict__", {"char_limit": 2})
    assert veil_bulk_text("abcdef") == veiled("abcdef", 2)


class Unrelated:
    """Keeps a value of 4000 where `_Const` instances keep char_limit, and its limit elsewhere."""

    def __init__(self):
        self.first = 4000

    @property
    def char_limit(self):
        return 2


def subclass_instance():
    """A `_Const` subclass instance that keeps another value where `_Const` keeps char_limit."""
    sub = type("SubConst", (module._Const,), {})
    instance = object.__new__(sub)
    object.__setattr__(instance, "first", 4000)
    object.__setattr__(instance, "char_limit", 2)
    return instance


@pytest.mark.parametrize(
    "make",
    [lambda: module._Const(2), Unrelated, subclass_instance, lambda: types.SimpleNamespace(char_limit=2)],
    ids=["rebound", "other-class", "subclass", "namespace"],
)
def test_const_replaced_by_another_instance(const, make):
    with constants(make()):
        assert veil_bulk_text("abcdef") == veiled("abcdef", 2)
        assert veil_bulk_text({"k": ("abcdef",)}) == {"k": (veiled("abcdef", 2),)}
    assert veil_bulk_text("abcdef") == "abcdef"  # `const` again, read in place again


def test_const_replaced_by_an_instance_of_a_changed_class(const, monkeypatch):
    # Same class, changed after the limit was found in place: its version tag moved on.
    replacement = module._Const(5)
    monkeypatch.setattr(module._Const, "char_limit", property(lambda self: 2))
    with constants(replacement):
        assert veil_bulk_text("abcdef") == veiled("abcdef", 2)


class Text(str):
    """A str subclass as a __format__ may return it, with its own len() and slicing."""

    def __len__(self):
        return 1000

    def __getitem__(self, index):
        return Text("sliced")


class Formats:
    def __init__(self, text):
        self.text = text

    def __format__(self, format_spec):
        return self.text


@pytest.mark.parametrize(
    ("replacement", "value", "error", "message", "line"),
    [
        (None, "abc", NameError, "name '_const' is not defined", 72),
        (types.SimpleNamespace(), "abc", AttributeError, "char_limit", 72),
        (types.SimpleNamespace(char_limit="x"), "abc", TypeError, "'>' not supported", 72),
        (
            types.SimpleNamespace(char_limit=2.5),
            "abc",
            TypeError,
            "slice indices must be integers or None or have an __index__ method",
            75,
        ),
        (
            types.SimpleNamespace(char_limit=2),
            Formats(type("Odd", (str,), {"__getitem__": lambda self, index: 5})("abcdef")),
            TypeError,
            'can only concatenate str (not "int") to str',
            73,
        ),
    ],
    ids=["no-const", "no-char-limit", "comparison", "slice", "join"],
)
def test_limit_failures(monkeypatch, replacement, value, error, message, line):
    if replacement is None:
        monkeypatch.delattr(module, "_const")
    else:
        monkeypatch.setattr(module, "_const", replacement)
    with pytest.raises(error, match=re.escape(message)) as caught:
        veil_bulk_text(value)
    assert entries(caught.value) == [(FUNCTION, line)]


class Measured(str):
    """A text whose len() runs `on_len` first."""

    def __new__(cls, text, on_len):
        self = super().__new__(cls, text)
        self.on_len = on_len
        return self

    def __len__(self):
        self.on_len()
        return super().__len__()


def test_the_text_is_measured_before_the_limit_is_read(monkeypatch):
    """len(value_str) > _const.char_limit: the left side runs first."""
    def fail():
        raise LookupError("len failed")

    monkeypatch.delattr(module, "_const")
    with pytest.raises(LookupError, match="len failed") as caught:
        veil_bulk_text(Formats(Measured("abc", on_len=fail)))
    assert entries(caught.value) == [(FUNCTION, 72)]

    # A __len__ that binds `_const` is seen by the read that follows it.
    def bind_const():
        monkeypatch.setattr(module, "_const", types.SimpleNamespace(char_limit=2), raising=False)

    assert veil_bulk_text(Formats(Measured("abcd", on_len=bind_const))) == veiled("abcd", 2)


def test_a_str_subclass_text_is_measured_and_sliced_by_its_own_methods():
    formats = Formats(Text("short"))
    with limit(10):
        assert veil_bulk_text(formats) == OPENING + "sliced" + CLOSING
    assert veil_bulk_text(formats) is formats  # 1000 characters, by its len()


# --- the module body ---------------------------------------------------------------------------


def test_failing_module_body_names_the_failing_statement(child):
    done = child.run(
        """
        import builtins, dataclasses, sys, traceback, typing

        def attempt():
            try:
                import tools.common.veil_bulk_text as module
            except Exception as error:
                (entry,) = [
                    entry for entry in traceback.extract_tb(error.__traceback__)
                    if entry.name.startswith("init ")
                ]
                return (type(error).__name__, entry.name, entry.lineno, entry.filename)
            return ("imported", module._const)

        real_type, real_dataclass = builtins.type, dataclasses.dataclass
        refuse_const = True

        def guarded_type(*args):
            if refuse_const and args and args[0] == "_Const":
                raise LookupError("type refused")
            return real_type(*args)

        def refusing_decorator_factory(**kwargs):
            raise LookupError("factory refused")

        def decorator_factory_refusing_to_decorate(**kwargs):
            def refuse(cls):
                raise LookupError("decorator refused")
            return refuse

        def decorator_factory_making_a_broken_class(**kwargs):
            class Broken:
                def __init__(self):
                    raise LookupError("instance refused")
            return lambda cls: Broken

        outcomes = []
        builtins.type = guarded_type  # the module fetches `type` once, with its constants
        for blocked in ("dataclasses", "typing"):
            saved = sys.modules[blocked]
            sys.modules[blocked] = None
            outcomes.append(attempt())
            sys.modules[blocked] = saved
        outcomes.append(attempt())
        refuse_const = False
        builtins.type = real_type
        for factory in (
            refusing_decorator_factory,
            decorator_factory_refusing_to_decorate,
            decorator_factory_making_a_broken_class,
        ):
            dataclasses.dataclass = factory
            outcomes.append(attempt())
        dataclasses.dataclass = real_dataclass
        outcomes.append(attempt())
        for outcome in outcomes:
            print(outcome)
        """
    )
    init = ("init tools.common.veil_bulk_text",)
    assert done.stdout.splitlines() == [
        str(("ModuleNotFoundError", *init, 14, SOURCE)),
        str(("ModuleNotFoundError", *init, 15, SOURCE)),
        str(("LookupError", *init, 20, SOURCE)),
        str(("LookupError", *init, 19, SOURCE)),
        str(("LookupError", *init, 19, SOURCE)),
        str(("LookupError", *init, 26, SOURCE)),
        str(("imported", module._Const())),
    ]


# --- against a model of the same rules ---------------------------------------------------------


class Items(list):
    pass


Pair = collections.namedtuple("Pair", "first second")
too_many_digits = 10 ** (sys.get_int_max_str_digits() + 10)

leaves = st.one_of(
    st.none(),
    st.text(max_size=40),
    st.integers(),
    st.integers(min_value=-(10**60), max_value=10**60),
    st.just(None).map(lambda _: too_many_digits),  # st.just would need its repr
    st.floats(allow_nan=False),
    st.binary(max_size=12),
    st.booleans(),
    st.frozensets(st.integers(0, 99), max_size=6),
    st.sampled_from([Unconvertible(ValueError("v")), Unconvertible(UnicodeError("u"))]),
)
values = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(Items),
        st.lists(children, max_size=4).map(tuple),
        st.tuples(children, children).map(lambda pair: Pair(*pair)),
        st.dictionaries(st.one_of(st.text(max_size=30), st.integers()), children, max_size=4),
        st.dictionaries(st.text(max_size=4), children, max_size=4).map(collections.OrderedDict),
    ),
    max_leaves=24,
)


@settings(derandomize=True, max_examples=300, deadline=None)
@given(value=values, char_limit=st.one_of(st.just(4000), st.integers(-5, 30)))
def test_agrees_with_the_model(value, char_limit):
    before = copy.deepcopy(value)
    with limit(char_limit):
        actual = veil_bulk_text(value)
        expected = model(value, module._const)
    assert_same(actual, expected, input_leaves(value))
    assert value == before  # the input is only read
