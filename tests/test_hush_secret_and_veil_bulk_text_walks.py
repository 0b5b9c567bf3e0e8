"""The container walk that hush_secret and veil_bulk_text share.

Both functions copy dicts, lists and tuples by calling themselves, through their module
attribute, for every element, as these comprehensions in their bodies would:

    {k: f(k, v) for k, v in value.items()}
    [f(name, v) for v in value]
    tuple(f(name, v) for v in value)

Each test here runs for both; the walkers table holds what differs between them.
"""

import builtins
import dataclasses
import traceback
import types

import pytest

import tools.common.hush_secret as hush_module
import tools.common.veil_bulk_text as veil_module


@dataclasses.dataclass(frozen=True)
class Walker:
    module: types.ModuleType
    lines: dict  # failing step -> source line

    @property
    def name(self):
        return self.module.__name__.rpartition(".")[2]

    @property
    def function(self):
        return getattr(self.module, self.name)

    @property
    def traceback_name(self):
        return f"{self.module.__name__}.{self.name}"

    def walk(self, value):
        return self.function(value=value)

    def entries(self, error):
        """(function, line) of the traceback entries this module added to `error`."""
        source = f"src/{self.module.__name__.replace('.', '/')}.py"
        return [
            (frame.name, frame.lineno)
            for frame in traceback.extract_tb(error.__traceback__)
            if frame.filename == source
        ]

    def outer(self, step):
        return (self.traceback_name, self.lines[step])

    def genexpr(self, step):
        return ("genexpr", self.lines[step])


WALKERS = [
    Walker(
        hush_module,
        lines={
            "dict_entry": 36,
            "dict_items": 37,
            "list_element": 42,
            "list_iteration": 43,
            "tuple_built": 47,
            "genexpr_element": 48,
            "genexpr_iteration": 49,
        },
    ),
    Walker(
        veil_module,
        lines={
            "dict_entry": 45,
            "dict_items": 46,
            "list_element": 51,
            "list_iteration": 52,
            "tuple_built": 56,
            "genexpr_element": 57,
            "genexpr_iteration": 58,
        },
    ),
]


@pytest.fixture(params=WALKERS, ids=lambda walker: walker.name)
def walker(request):
    return request.param


@pytest.fixture
def nested(walker, monkeypatch):
    """Replaces the module attribute that the walk calls; returns the function to walk with."""
    original = walker.function

    def replace(spy):
        monkeypatch.setattr(walker.module, walker.name, spy)
        return original

    return replace


def passing_through(**kwargs):
    return kwargs["value"]


# --- dicts -------------------------------------------------------------------------------------


def add_key(container):
    container["added"] = 1


def drop_last_key(container):
    del container[list(container)[-1]]


def swap_visited_key(container):
    del container[next(iter(container))]
    container["new"] = 9


def replace_later_value(container):
    container[list(container)[-1]] = "replaced"


def append_element(container):
    container.append("appended")


def pop_last_element(container):
    container.pop()


def replace_later_element(container):
    container[-1] = "replaced"


@pytest.mark.parametrize(
    ("mutate", "make"),
    [
        (add_key, lambda: {"a": 1, "b": 2}),
        (drop_last_key, lambda: {"a": 1, "b": 2, "c": 3}),
        (swap_visited_key, lambda: {"a": 1, "b": 2}),
        (replace_later_value, lambda: {"a": 1, "b": 2}),
        (append_element, lambda: [1, 2]),
        (pop_last_element, lambda: [1, 2, 3]),
        (replace_later_element, lambda: [1, 2, 3]),
    ],
    ids=lambda case: getattr(case, "__name__", None),
)
def test_containers_changed_during_the_walk_behave_as_the_interpreter_iterates(
    walker, nested, mutate, make
):
    def spy_on(container):
        calls = []

        def spy(**kwargs):
            if not calls:
                mutate(container)
            calls.append(kwargs["value"])
            return kwargs["value"]

        return spy

    def outcome(run):
        container = make()
        try:
            return run(container, spy_on(container))
        except RuntimeError as error:
            return error.args

    def comprehension(container, spy):
        if isinstance(container, dict):
            return {k: spy(value=v) for k, v in container.items()}
        return [spy(value=v) for v in container]

    def native(container, spy):
        return nested(spy)(value=container)

    assert outcome(native) == outcome(comprehension)


def test_dict_that_changes_size_fails_at_the_items_line(walker, nested):
    value = {"a": 1, "b": 2}
    walk = nested(lambda **kwargs: value.pop("b", None))
    with pytest.raises(RuntimeError) as caught:
        walk(value=value)
    assert str(caught.value) == "dictionary changed size during iteration"
    assert walker.entries(caught.value) == [walker.outer("dict_items")]


class Listed(dict):
    """A dict subclass whose items() returns whatever the test gives it."""

    def __init__(self, items):
        super().__init__(real="entry")
        self._items = items

    def items(self):
        if isinstance(self._items, BaseException):
            raise self._items
        return self._items


@pytest.mark.parametrize(
    ("items", "error", "message"),
    [
        ([("k", 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([["k", 1, 2]], ValueError, "too many values to unpack (expected 2)"),
        (lambda: [iter("abc")], ValueError, "too many values to unpack (expected 2)"),
        ([("k",)], ValueError, "need more than 1 value to unpack"),
        (lambda: [iter("k")], ValueError, "need more than 1 value to unpack"),
        ([()], ValueError, "need more than 0 values to unpack"),
        ([[]], ValueError, "need more than 0 values to unpack"),
        ([("a", 1), 5], TypeError, "'int' object is not iterable"),
        (5, TypeError, "'int' object is not iterable"),
        (LookupError("items failed"), LookupError, "items failed"),
    ],
)
def test_dict_subclass_items_are_unpacked_into_pairs(walker, items, error, message):
    with pytest.raises(error) as caught:
        walker.walk(Listed(items() if callable(items) else items))
    assert str(caught.value) == message
    assert walker.entries(caught.value) == [walker.outer("dict_items")]


def test_dict_subclass_is_walked_through_its_items(walker, nested):
    key = "".join(["ke", "y"])
    seen = []
    walk = nested(lambda **kwargs: seen.append(kwargs) or kwargs["value"])

    def pairs():
        yield [key, 1]
        yield iter(["other", 2])

    result = walk(value=Listed(pairs()))
    assert result == {key: 1, "other": 2}
    assert type(result) is dict
    assert next(iter(result)) is key
    assert [kwargs["value"] for kwargs in seen] == [1, 2]


def test_failure_while_iterating_the_pairs_is_reported_there(walker):
    def pairs():
        yield ("a", 1)
        raise LookupError("pairs ran out")

    with pytest.raises(LookupError) as caught:
        walker.walk(Listed(pairs()))
    assert walker.entries(caught.value) == [walker.outer("dict_items")]


# --- lists and tuples ----------------------------------------------------------------------------


class Reversed(list):
    def __iter__(self):
        return reversed(self)  # reads the elements by index, not through __iter__


class ReversedTuple(tuple):
    def __iter__(self):
        return reversed(self)


@pytest.mark.parametrize("kind", [Reversed, ReversedTuple])
def test_subclasses_with_their_own_iteration_are_iterated_through_it(walker, kind):
    result = walker.walk(kind([1, 2, 3]))
    assert list(result) == [3, 2, 1]
    assert type(result) is kind.__mro__[1]


class Failing:
    """An iterator that yields one element, then raises `error`."""

    def __init__(self, error):
        self.error = error
        self.given = False

    def __iter__(self):
        return self

    def __next__(self):
        if self.given:
            raise self.error
        self.given = True
        return 1


def test_list_iteration_failure_is_reported_at_the_iteration_line(walker):
    class Broken(list):
        def __iter__(self):
            return Failing(LookupError("list broke"))

    with pytest.raises(LookupError) as caught:
        walker.walk(Broken([1, 2]))
    assert walker.entries(caught.value) == [walker.outer("list_iteration")]


@pytest.mark.parametrize("raising", ["__iter__", "__next__"])
def test_tuple_iteration_failure_is_reported_inside_the_generator(walker, raising):
    class Broken(tuple):
        def __iter__(self):
            if raising == "__iter__":
                raise LookupError("no iterator")
            return Failing(LookupError("tuple broke"))

    with pytest.raises(LookupError) as caught:
        walker.walk(Broken((1, 2)))
    assert walker.entries(caught.value) == [
        walker.outer("tuple_built"),
        walker.genexpr("genexpr_iteration"),
    ]


def test_stop_iteration_from_a_tuple_iterator_becomes_runtime_error(walker):
    class Broken(tuple):
        def __iter__(self):
            raise StopIteration("from __iter__")

    with pytest.raises(RuntimeError) as caught:
        walker.walk(Broken((1,)))
    assert str(caught.value) == "generator raised StopIteration"
    assert isinstance(caught.value.__cause__, StopIteration)
    assert walker.entries(caught.value) == [
        walker.outer("tuple_built"),
        walker.genexpr("genexpr_iteration"),
    ]


def test_stop_iteration_ending_an_iterator_just_ends_it(walker):
    class Short(tuple):
        def __iter__(self):
            return Failing(StopIteration())

    assert walker.walk(Short((1, 2, 3))) == (walker.walk(1),)


class StopSubclass(StopIteration):
    pass


@pytest.mark.parametrize("stop", [StopIteration("escaped"), StopSubclass("escaped")])
def test_stop_iteration_escaping_a_nested_call_in_a_tuple_becomes_runtime_error(
    walker, nested, stop
):
    def spy(**kwargs):
        raise stop

    walk = nested(spy)
    with pytest.raises(RuntimeError) as caught:
        walk(value=("a", "b"))
    error = caught.value
    assert str(error) == "generator raised StopIteration"
    assert error.__cause__ is stop
    assert error.__context__ is stop
    assert error.__suppress_context__
    assert walker.entries(error) == [walker.outer("tuple_built"), walker.genexpr("genexpr_element")]


@pytest.mark.parametrize(
    ("value", "step"), [({"a": 1}, "dict_entry"), (["a"], "list_element")]
)
def test_stop_iteration_escaping_a_nested_call_elsewhere_propagates(walker, nested, value, step):
    stop = StopIteration("escaped")

    def spy(**kwargs):
        raise stop

    walk = nested(spy)
    with pytest.raises(StopIteration) as caught:
        walk(value=value)
    assert caught.value is stop
    assert walker.entries(caught.value) == [walker.outer(step)]


@pytest.mark.parametrize(
    ("value", "steps"),
    [
        ({"a": 1}, [("outer", "dict_entry")]),
        ([1], [("outer", "list_element")]),
        ((1,), [("outer", "tuple_built"), ("genexpr", "genexpr_element")]),
    ],
)
def test_missing_module_attribute_raises_name_error_at_the_call(walker, monkeypatch, value, steps):
    walk = walker.function
    monkeypatch.delattr(walker.module, walker.name)
    assert walk(value=type(value)()) == type(value)()  # nothing to call, nothing looked up
    with pytest.raises(NameError) as caught:
        walk(value=value)
    assert str(caught.value) == f"name '{walker.name}' is not defined"
    assert walker.entries(caught.value) == [getattr(walker, kind)(step) for kind, step in steps]


def test_module_attribute_falls_back_to_builtins(walker, monkeypatch):
    walk = walker.function
    monkeypatch.delattr(walker.module, walker.name)
    monkeypatch.setattr(builtins, walker.name, lambda **kwargs: "from builtins", raising=False)
    assert walk(value=[1, (2,), {"k": 3}]) == ["from builtins"] * 3


def test_elements_reach_the_nested_call_as_the_same_objects(walker, nested):
    seen = []
    walk = nested(lambda **kwargs: seen.append(kwargs["value"]) or kwargs["value"])
    elements = [object(), object(), object()]
    walk(value={"k": elements[0]})
    walk(value=[elements[1]])
    walk(value=(elements[2],))
    assert all(a is b for a, b in zip(seen, elements, strict=True))


def test_empty_containers_come_back_as_empty_plain_containers(walker):
    class Sub(list):
        pass

    for empty, kind in [({}, dict), ([], list), ((), tuple), (Sub(), list)]:
        result = walker.walk(empty)
        assert type(result) is kind and len(result) == 0


# --- deep and self-containing input --------------------------------------------------------------


def self_containing_list():
    value = []
    value.append(value)
    return value


def self_containing_dict():
    value = {}
    value["self"] = value
    return value


def cycle_through_a_tuple():
    inner = []
    inner.append((inner,))
    return inner


@pytest.mark.parametrize("make", [self_containing_list, self_containing_dict, cycle_through_a_tuple])
def test_self_containing_input_raises_recursion_error(walker, make):
    value = make()
    with pytest.raises(RecursionError):
        walker.walk(value)
    assert walker.walk([[1]]) == [[walker.walk(1)]]  # the interpreter carries on


def test_nesting_within_the_limit_is_walked(walker):
    value = "leaf"
    for _ in range(500):
        value = [{"k": (value,)}]
    result = walker.walk(value)
    for _ in range(500):
        result = result[0]["k"][0]
    assert result == walker.walk("leaf")


def test_very_deep_input_raises_recursion_error_in_a_fresh_interpreter(walker, child):
    done = child.run(
        f"""
        import sys
        from {walker.module.__name__} import {walker.name} as walk

        outcomes = []
        for wrap in (lambda x: [x], lambda x: {{"k": x}}, lambda x: (x,)):
            value = "leaf"
            for _ in range(100_000):
                value = wrap(value)
            try:
                walk(value=value)
            except RecursionError:
                outcomes.append("RecursionError")
        print(outcomes)
        """
    )
    assert done.stdout.strip() == str(["RecursionError"] * 3)
