"""tools.common.hush_secret: strings under password-like names come back as asterisks.

The container walk that hush_secret shares with veil_bulk_text (iteration rules, subclass
items(), the generator rule of the tuple case, deep input) is tested for both functions in
test_hush_secret_and_veil_bulk_text_walks.py; this file holds what is hush_secret's own.
"""

import collections
import copy
import inspect
import traceback
import typing

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tools.common.hush_secret as module
from tools.common.hush_secret import hush_secret
from models import hush_secret as model
from walk_results import assert_same, input_leaves

SOURCE = "src/tools/common/hush_secret.py"
FUNCTION = "tools.common.hush_secret.hush_secret"


def entries(error):
    """(function, line) of the traceback entries that this module added to `error`."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(error.__traceback__)
        if frame.filename == SOURCE
    ]


class Text(str):
    """A str subclass: refused as a name, treated as a string as a value."""


# --- the function object --------------------------------------------------------------------


def test_module_namespace():
    assert module.Any is typing.Any
    assert type(hush_secret).__name__ == "nativefunction"
    assert [name for name in vars(module) if not name.startswith("__")] == ["Any", "hush_secret"]


def test_function_attributes():
    assert hush_secret.__name__ == hush_secret.__qualname__ == "hush_secret"
    assert hush_secret.__module__ == "tools.common.hush_secret"
    assert hush_secret.__doc__ == (
        "\n        Hush secret in the object.\n\n"
        "        :param name: 'param-name'\n"
        "        :param value: 'param-value'\n"
        "        :return: new object with masked password\n        "
    )
    assert hush_secret.__defaults__ == (None, None)
    assert list(hush_secret.__annotations__.items()) == [
        ("name", "str"),
        ("value", "Any"),
        ("return", "Any"),
    ]
    assert str(inspect.signature(hush_secret)) == "(name: 'str' = None, value: 'Any' = None) -> 'Any'"


def test_code_object():
    code = hush_secret.__code__
    assert code.co_argcount == 2
    assert code.co_firstlineno == 17
    assert code.co_filename == SOURCE
    assert code.co_varnames == ("name", "value", "k", "v", "v", "genexpr", "genexpr")
    assert code.co_nlocals == 7


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("a", "b", "c"), {}, "hush_secret() takes at most 2 positional arguments (3 given)"),
        (("a",), {"name": "b"}, "hush_secret() got multiple values for keyword argument 'name'"),
        ((), {"secret": "b"}, "hush_secret() got an unexpected keyword argument 'secret'"),
    ],
)
def test_argument_errors_report_the_definition_line(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        hush_secret(*args, **kwargs)
    assert str(caught.value) == message
    assert entries(caught.value) == [(FUNCTION, 17)]


def test_failing_module_body_names_the_failing_statement(child):
    done = child.run(
        """
        import sys, traceback, typing

        def attempt():
            try:
                import tools.common.hush_secret as module
            except ImportError as error:
                entry = traceback.extract_tb(error.__traceback__)[-1]
                return (entry.name, entry.lineno, entry.filename)
            return module.hush_secret("pwd", "abc")

        sys.modules["typing"] = None
        print(attempt())
        sys.modules["typing"] = typing
        print(attempt())
        """
    )
    assert done.stdout.splitlines() == [
        str(("init tools.common.hush_secret", 14, SOURCE)),
        "***",
    ]


# --- masking ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "value", "expected"),
    [
        ("Password", "abc", "***"),
        ("my_PWD", "abcdef", "******"),
        ("DB_PASSWORD_2", "x", "*"),
        ("pwd", "", ""),
        ("password", None, ""),
        (None, None, ""),
        ("user", None, ""),
        ("password", Text("abcd"), "****"),
    ],
)
def test_masks_strings_under_password_like_names(name, value, expected):
    result = hush_secret(name, value)
    assert result == expected
    assert type(result) is str


def test_no_arguments_give_the_empty_string():
    assert hush_secret() == ""


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("passwd", "secret"),  # neither marker
        ("pass_word", "secret"),
        ("user", "bob"),
        ("", "bob"),
        (None, "bob"),
        ("password", 1234),  # not a string: neither masked nor walked
        ("password", b"bytes"),
        ("password", {"a", "b"}),
        ("password", frozenset("ab")),
        ("password", 1.5),
    ],
)
def test_other_values_come_back_as_the_same_object(name, value):
    assert hush_secret(name, value) is value


@pytest.mark.parametrize(
    "name",
    # Characters beyond ASCII whose lower case is more than one character or holds an ASCII
    # letter, next to and inside the markers: name.lower() decides, whatever they do.
    [
        template.format(char)
        for char in ["\u0130", "\u212a", "\u017f", "\u1e9e", "\u00df", "\ufb00", "\u0345"]
        for template in ["{}password", "pass{}word", "PASS{}WORD", "p{}wd", "{}PWD", "pw{}d"]
    ],
)
def test_name_test_follows_lower_beyond_ascii(name):
    lowered = name.lower()
    expected = "***" if ("password" in lowered or "pwd" in lowered) else "abc"
    assert hush_secret(name, "abc") == expected


def test_no_character_beyond_ascii_lowers_to_a_marker_letter():
    # The name test folds ASCII letters in place instead of calling name.lower(); that is
    # exact only while no other character lowers to text with a letter of either marker.
    offenders = [
        hex(code)
        for code in range(0x80, 0x110000)
        if not chr(code).lower() or set(chr(code).lower()) & set("pasword")
    ]
    assert offenders == []


def test_len_of_a_str_subclass_value_decides_the_mask():
    class Padded(str):
        def __len__(self):
            return 5

    assert hush_secret("pwd", Padded("ab")) == "*****"


def test_len_failure_propagates_from_line_53():
    class Broken(str):
        def __len__(self):
            raise LookupError("no length")

    with pytest.raises(LookupError, match="no length") as caught:
        hush_secret("pwd", Broken("ab"))
    assert entries(caught.value) == [(FUNCTION, 53)]


# --- the walk ----------------------------------------------------------------------------------


def test_dict_keys_govern_their_values():
    value = {
        "user": "bob",
        "DB_Password": "abc",
        "passwords": ["ab", "c"],
        "password": {"x": "abc"},
        "pwd": ("ab", ["c"]),
        "nothing": None,
    }
    assert hush_secret(value=value) == {
        "user": "bob",
        "DB_Password": "***",
        "passwords": ["**", "*"],
        "password": {"x": "abc"},
        "pwd": ("**", ["*"]),
        "nothing": "",
    }


def test_sequence_elements_inherit_the_name():
    assert hush_secret("pwd", ("ab", ["c"], None, 7)) == ("**", ["*"], "", 7)
    assert hush_secret("user", ["ab", ("c",)]) == ["ab", ("c",)]


def test_none_key_acts_as_the_empty_name():
    assert hush_secret("password", {None: "abc"}) == {None: "abc"}


@pytest.mark.parametrize("key", [1, 1.5, ("password",), b"password"])
def test_keys_that_are_not_str_are_refused(key):
    with pytest.raises(TypeError) as caught:
        hush_secret(value={"user": "bob", key: 3})
    expected = type(key).__name__
    assert str(caught.value) == (
        f"Argument 'name' has incorrect type (expected str, got {expected})"
    )
    assert not hasattr(caught.value, "__notes__")
    assert entries(caught.value) == [(FUNCTION, 36)]


def test_str_subclass_names_are_refused_with_a_note():
    with pytest.raises(TypeError) as caught:
        hush_secret(Text("password"), "abc")
    assert str(caught.value) == "Argument 'name' has incorrect type (expected str, got Text)"
    assert len(caught.value.__notes__) == 1
    assert entries(caught.value) == []  # a refused type adds no entry of its own

    with pytest.raises(TypeError) as caught:
        hush_secret(value={Text("password"): "abc"})
    assert caught.value.__notes__
    assert entries(caught.value) == [(FUNCTION, 36)]


def test_unchanged_leaves_and_keys_are_the_same_objects():
    key = "".join(["us", "er"])
    leaf = "".join(["b", "ob"])
    number = 10**30
    value = {key: [leaf, (number,)]}
    result = hush_secret(value=value)
    (result_key,) = result
    assert result_key is key
    assert result[key][0] is leaf
    assert result[key][1][0] is number


def test_containers_come_back_new_and_plain():
    Point = collections.namedtuple("Point", "x y")

    class Items(list):
        pass

    value = collections.OrderedDict(
        [("b", collections.defaultdict(list, pwd="ab")), ("a", Items(["x"])), ("c", Point(1, 2))]
    )
    result = hush_secret(value=value)
    assert type(result) is dict and list(result) == ["b", "a", "c"]
    assert type(result["b"]) is dict and result["b"] == {"pwd": "**"}
    assert type(result["a"]) is list and result["a"] == ["x"]
    assert type(result["c"]) is tuple and result["c"] == (1, 2)
    for empty in ({}, []):
        copied = hush_secret(value=empty)
        assert copied == empty and copied is not empty


def test_nested_calls_go_through_the_module_attribute_by_keyword(monkeypatch):
    calls = []

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return "seen"

    original = hush_secret
    monkeypatch.setattr(module, "hush_secret", spy)
    assert original("pwd", {"a": 1, "b": [2], "c": (3,)}) == {"a": "seen", "b": "seen", "c": "seen"}
    assert original("pwd", [1]) == ["seen"]
    assert original("pwd", (1,)) == ("seen",)
    assert calls == [
        ((), {"name": "a", "value": 1}),
        ((), {"name": "b", "value": [2]}),
        ((), {"name": "c", "value": (3,)}),
        ((), {"name": "pwd", "value": 1}),
        ((), {"name": "pwd", "value": 1}),
    ]


def test_nested_calls_from_a_none_name_pass_the_empty_name(monkeypatch):
    calls = []
    monkeypatch.setattr(module, "hush_secret", lambda **kwargs: calls.append(kwargs["name"]))
    hush_secret(None, ["a"])
    assert calls == [""]
    assert type(calls[0]) is str


# --- against a model of the same rules -----------------------------------------------------------


class Items(list):
    pass


Pair = collections.namedtuple("Pair", "first second")

names = st.one_of(
    st.none(),
    st.sampled_from(["password", "Password", "db_PWD", "pass", "user", ""]),
    st.text(max_size=12),
)
keys = st.one_of(names, st.integers(0, 3))  # an int key must fail as the model fails
leaves = st.one_of(
    st.none(),
    st.text(max_size=8),
    st.builds(Text, st.text(max_size=4)),
    st.integers(),
    st.floats(allow_nan=False),
    st.binary(max_size=4),
    st.booleans(),
)
values = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(Items),
        st.lists(children, max_size=4).map(tuple),
        st.tuples(children, children).map(lambda pair: Pair(*pair)),
        st.dictionaries(keys, children, max_size=4),
        st.dictionaries(keys, children, max_size=4).map(collections.OrderedDict),
    ),
    max_leaves=24,
)


@settings(derandomize=True, max_examples=300, deadline=None)
@given(name=names, value=values)
def test_agrees_with_the_model(name, value):
    before = copy.deepcopy(value)
    try:
        expected = model(name, value)
    except TypeError as error:
        with pytest.raises(TypeError) as caught:
            hush_secret(name, value)
        assert str(caught.value) == str(error)
    else:
        assert_same(hush_secret(name, value), expected, input_leaves(value))
    assert value == before  # the input is only read
