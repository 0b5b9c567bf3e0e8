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
import weakref

import pytest

import models
import tools.common.hush_secret as hush_module
import tools.common.veil_bulk_text as veil_module


@dataclasses.dataclass(frozen=True)
class Walker:
    module: types.ModuleType
    lines: dict  # failing step -> source line
    model: types.FunctionType

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

    def genexpr_created(self):
        """The entry for making the tuple case's generator expression."""
        return (f"{self.traceback_name}.genexpr", self.lines["genexpr_created"])

    @property
    def genexpr_qualname(self):
        return f"{self.name}.<locals>.genexpr"


WALKERS = [
    Walker(
        hush_module,
        model=models.hush_secret,
        lines={
            "dict_test": 34,
            "dict_entry": 36,
            "dict_items": 37,
            "list_element": 42,
            "list_iteration": 43,
            "tuple_built": 47,
            "genexpr_created": 48,
            "genexpr_element": 48,
            "genexpr_iteration": 49,
        },
    ),
    Walker(
        veil_module,
        model=models.veil_bulk_text,
        lines={
            "dict_test": 43,
            "dict_entry": 45,
            "dict_items": 46,
            "list_element": 51,
            "list_iteration": 52,
            "tuple_built": 56,
            "genexpr_created": 57,
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


def test_tuple_iteration_failure_is_reported_inside_the_generator(walker):
    class Broken(tuple):
        def __iter__(self):
            return Failing(LookupError("tuple broke"))

    with pytest.raises(LookupError) as caught:
        walker.walk(Broken((1, 2)))
    assert walker.entries(caught.value) == [
        walker.outer("tuple_built"),
        walker.genexpr("genexpr_iteration"),
    ]


# iter(value) runs where the generator expression is made, in the function's own frame: what
# it raises, a StopIteration too, passes unchanged, with the entry for making the generator.
@pytest.mark.parametrize("kind", [LookupError, StopIteration])
def test_failure_to_make_the_tuple_iterator_passes_unchanged(walker, kind):
    error = kind("from __iter__")

    class Broken(tuple):
        def __iter__(self):
            raise error

    def model(value):
        return tuple(v for v in value)

    with pytest.raises(type(error)) as in_python:
        model(Broken((1,)))
    assert in_python.value is error
    error.__traceback__ = None

    with pytest.raises(type(error)) as caught:
        walker.walk(Broken((1,)))
    assert caught.value is error
    assert error.__cause__ is None and error.__context__ is None
    assert walker.entries(error) == [walker.outer("tuple_built"), walker.genexpr_created()]


def genexpr_frames(error):
    return [tb.tb_frame for tb in walk_tb(error.__traceback__) if tb.tb_frame.f_code.co_name == "genexpr"]


def walk_tb(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


@pytest.mark.parametrize("step", ["genexpr_element", "genexpr_iteration"])
def test_generator_entries_name_the_generator_expression(walker, nested, step):
    """Each entry keeps its step's line; its code is the generator expression's."""
    if step == "genexpr_element":
        value = ("a",)
        walk = nested(lambda **kwargs: 1 / 0)
    else:
        class Broken(tuple):
            def __iter__(self):
                return Failing(ZeroDivisionError("tuple broke"))

        value = Broken((1, 2))
        walk = walker.function
    with pytest.raises(ZeroDivisionError) as caught:
        walk(value=value)
    [frame] = genexpr_frames(caught.value)
    code = frame.f_code
    assert (code.co_name, code.co_qualname) == ("genexpr", walker.genexpr_qualname)
    assert code.co_firstlineno == walker.lines["genexpr_created"]
    assert frame.f_lineno == walker.lines[step]
    assert code.co_filename == f"src/{walker.module.__name__.replace('.', '/')}.py"


def test_stop_iteration_ending_an_iterator_just_ends_it(walker):
    class Short(tuple):
        def __iter__(self):
            return Failing(StopIteration())

    assert walker.walk(Short((1, 2, 3))) == (walker.walk(1),)


class StopSubclass(StopIteration):
    pass


@pytest.mark.parametrize("kind", [StopIteration, StopSubclass])
def test_stop_iteration_escaping_a_nested_call_in_a_tuple_becomes_runtime_error(
    walker, nested, kind
):
    stop = kind("escaped")

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
    # As the interpreter does: the generator's entry is on the StopIteration that left it, and
    # the RuntimeError starts in the function's own frame.
    assert walker.entries(error) == [walker.outer("tuple_built")]
    assert walker.entries(stop) == [walker.genexpr("genexpr_element")]
    [frame] = genexpr_frames(stop)
    assert frame.f_code.co_qualname == walker.genexpr_qualname


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


# --- what counts as a dict, a list, a tuple or a str ---------------------------------------------

# The walks decide as isinstance() does, which asks an object's `__class__` when its type does
# not settle the question: a weak proxy reports its referent's class, and so may any object.


class Dict(dict):
    pass


class List(list):
    pass


class Text(str):
    pass


class Reporting:
    """Reports `reported` as its class, logging each read; iterates over `items`."""

    def __init__(self, reported, items=(), log=None):
        self.reported, self.items_, self.log = reported, list(items), log

    @property
    def __class__(self):
        if self.log is not None:
            self.log.append(self.reported)
        if isinstance(self.reported, BaseException):
            raise self.reported
        return self.reported

    def __iter__(self):
        return iter(self.items_)

    def items(self):
        return iter(self.items_)


class ListReportingDict(list):
    __class__ = property(lambda self: dict)


REFERENTS = {
    "dict": Dict(password="abc", pwd=["de"], user="bob", inner={"password": "x"}),
    "list": List(["abc", ("de",), None]),
    "text": Text("abc"),
}

SHAPE_CASES = {
    "proxy of a dict": lambda: weakref.proxy(REFERENTS["dict"]),
    "proxy of a list": lambda: weakref.proxy(REFERENTS["list"]),
    "proxy of a str subclass": lambda: weakref.proxy(REFERENTS["text"]),
    "in a dict": lambda: {"password": weakref.proxy(REFERENTS["text"])},
    "in a tuple": lambda: (weakref.proxy(REFERENTS["list"]),),
    "reports tuple": lambda: Reporting(tuple, ["abc", 5]),
    "reports dict": lambda: Reporting(dict, [("password", "abc"), ("k", "v")]),
    "reports a str subclass": lambda: Reporting(Text),
    "reports a non-class": lambda: Reporting(5),
    "list reporting dict": lambda: ListReportingDict(["abc"]),
}


def outcome(function, value):
    try:
        return ("result", function(name="my_pwd", value=value))
    except Exception as error:
        return (type(error), str(error))


@pytest.mark.parametrize("make", SHAPE_CASES.values(), ids=SHAPE_CASES.keys())
def test_instances_by_their_reported_class_are_walked_as_isinstance_says(walker, make):
    function = walker.function
    if walker.name == "veil_bulk_text":
        function = lambda name, value: walker.function(value=value)  # noqa: E731
        model = lambda name, value: walker.model(value=value)  # noqa: E731
    else:
        model = walker.model
    value = make()
    expected = outcome(model, value)
    got = outcome(function, value)
    assert got == expected
    if expected[0] == "result":
        assert type(got[1]) is type(expected[1])


def test_a_proxied_password_is_masked():
    hush = hush_module.hush_secret
    config = Dict(user="bob", password="secret")
    assert hush(value=weakref.proxy(config)) == {"user": "bob", "password": "******"}
    text = Text("abc")
    assert hush(name="pwd", value=[weakref.proxy(text)]) == ["***"]


@pytest.mark.parametrize("reported", [int, Dict, Text, 5])
def test_class_is_read_as_often_as_isinstance_reads_it(walker, reported):
    logs = {}
    for side, function in [("native", walker.function), ("model", walker.model)]:
        log = []
        function(value=Reporting(reported, log=log))
        logs[side] = log
    assert logs["native"] == logs["model"]
    assert len(logs["native"]) >= 1


def test_class_that_raises_fails_the_walk_at_the_first_test(walker):
    failure = LookupError("no class")
    with pytest.raises(LookupError) as caught:
        walker.walk(Reporting(failure))
    assert caught.value is failure
    assert walker.entries(failure) == [walker.outer("dict_test")]


def test_dict_subclass_reporting_another_class_is_still_a_dict(walker):
    class Odd(dict):
        __class__ = property(lambda self: list)

    result = walker.walk(Odd(k="v"))
    assert result == walker.model(value=Odd(k="v")) == {"k": "v"}


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


def c_recursion_remaining():
    """What is left of this thread's C recursion budget here: 10 000 in all in a release build,
    500 in a debug build."""
    internal = pytest.importorskip("_testinternalcapi", reason="the C recursion budget is unknown")
    return internal.get_c_recursion_remaining()


def test_nesting_within_the_limit_is_walked(walker):
    # Each level of the input is three nested walks (list, dict, tuple); a quarter of the
    # budget's depth, or 500 levels where it allows more, leaves room for what each walk adds.
    levels = min(500, c_recursion_remaining() // 4)
    value = "leaf"
    for _ in range(levels):
        value = [{"k": (value,)}]
    result = walker.walk(value)
    for _ in range(levels):
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
