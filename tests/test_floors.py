"""The benchmarks' floors (tools._testing.floors): a callable that returns None at once, and a
copy of nested containers that shares every leaf. A floor that did less than its name says
would make every ratio against it look better than it is."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tools._testing.floors import call_floor, copy_containers


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None, None), {}),
        ((), {"file": None, "func": None}),
        ((1, "two", [3]), {"four": 4}),
    ],
)
def test_call_floor_takes_any_arguments_and_returns_none(args, kwargs):
    assert call_floor(*args, **kwargs) is None
    # Through tp_call as well as through vectorcall.
    assert type(call_floor).__call__(call_floor, *args, **kwargs) is None


def test_call_floor_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(call_floor)()


leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=20)
)
nested = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.lists(children, max_size=5),
        st.lists(children, max_size=5).map(tuple),
        st.dictionaries(st.text(max_size=8), children, max_size=5),
    ),
    max_leaves=40,
)


def assert_copied(original, copy):
    """Every container of `original` is a new plain container in `copy`, every leaf the same
    object, at every level. Containers are read through their base type, as the copy reads
    them."""
    for kind in (dict, list, tuple):
        if isinstance(original, kind):
            assert type(copy) is kind
            assert copy is not original or original == ()  # the empty tuple is a singleton
            if kind is dict:
                assert list(copy) == list(dict.keys(original))
                for key, item in dict.items(original):
                    assert_copied(item, copy[key])
            else:
                assert len(copy) == len(original)
                for item, copied in zip(kind.__iter__(original), copy):
                    assert_copied(item, copied)
            return
    assert copy is original


@settings(max_examples=200, deadline=None)
@given(nested)
def test_copy_builds_new_containers_and_shares_every_leaf(value):
    copy = copy_containers(value)
    assert copy == value
    assert_copied(value, copy)


class OddDict(dict):
    def items(self):
        return [("not", "read")]


class OddList(list):
    def __iter__(self):
        return iter(["not", "read"])


class OddTuple(tuple):
    def __iter__(self):
        return iter(["not", "read"])


def test_subclasses_become_plain_containers_read_from_their_storage():
    leaf = object()
    value = OddDict(a=OddList([leaf, OddTuple((leaf, 1))]), b=leaf)
    copy = copy_containers(value)
    assert_copied(value, copy)
    assert copy == {"a": [leaf, (leaf, 1)], "b": leaf}


@pytest.mark.parametrize("leaf", [None, "text", 7, {1, 2}, frozenset(), b"bytes", object()])
def test_a_leaf_is_returned_as_itself(leaf):
    assert copy_containers(leaf) is leaf


def test_deep_and_self_containing_input_raise_recursion_error():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    looped = {}
    looped["self"] = looped
    for value in (deep, looped):
        with pytest.raises(RecursionError):
            copy_containers(value)


class Meddler:
    """A key whose hash, once armed, changes a container above it: the copy takes that hash
    when it stores the key in the copy of its dict."""

    def __init__(self):
        self.meddle = None

    def __hash__(self):
        if self.meddle:
            self.meddle()
        return 0


def list_cleared_under_its_copy():
    key = Meddler()
    outer = [{key: 1}, "a", "b"]
    key.meddle = outer.clear
    return outer


def dict_shrunk_under_its_copy():
    key = Meddler()
    outer = {"x": {key: 1}, "y": "b"}
    key.meddle = lambda: outer.pop("y", None)
    return outer


@pytest.mark.parametrize("make", [list_cleared_under_its_copy, dict_shrunk_under_its_copy])
def test_a_container_changed_while_copied_fails_the_copy(make):
    with pytest.raises(RuntimeError, match="changed size during copy"):
        copy_containers(make())
