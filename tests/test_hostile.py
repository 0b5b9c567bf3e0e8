"""Hostile input: whatever it is given, a module raises or answers correctly; it never
crashes the interpreter, corrupts an object, or changes its input."""

import copy
import gc
import threading

import pytest

from tools.common.find_origin import find_origin
from tools.common.hush_secret import hush_secret
from tools.common.prop_keeper import PropKeeper
from tools.common.veil_bulk_text import veil_bulk_text


def walk_hush(value):
    return hush_secret(name="config", value=value)


def walk_veil(value):
    return veil_bulk_text(value=value)


WALKS = [pytest.param(walk_hush, id="hush_secret"), pytest.param(walk_veil, id="veil_bulk_text")]


def realistic():
    return {
        "db": {"user": "app", "password": "s3cret", "hosts": ["a", "b"], "ports": (5432, 5433)},
        "api": [{"token": "t" * 5000, "pwd": "x"}, None, 3.5, b"raw"],
        "notes": ("short", "long " * 2000, {"nested_password": ["p", ("q",)]}),
    }


# --- very deep and self-containing input, in threads with small stacks -----------------------


def test_deep_input_in_small_stack_threads_raises_recursion_error(child):
    done = child.run(
        """
        import threading
        from tools.common.hush_secret import hush_secret
        from tools.common.veil_bulk_text import veil_bulk_text

        def nest(kind, depth=100_000):
            value = []
            for _ in range(depth):
                value = {"k": value} if kind is dict else kind([value])
            return value

        # Built (and later freed) on the main thread: the interpreter's own deallocation
        # of such nesting needs a large stack of its own.
        shapes = [nest(kind) for kind in (list, tuple, dict)]
        outcomes = []

        def walk_all():
            for walk in (lambda v: hush_secret(value=v), lambda v: veil_bulk_text(value=v)):
                for shape in shapes:
                    try:
                        walk(shape)
                        outcomes.append("returned")
                    except RecursionError:
                        outcomes.append("RecursionError")

        for stack_size in (128 * 1024, 512 * 1024, 4 * 1024 * 1024):
            threading.stack_size(stack_size)
            thread = threading.Thread(target=walk_all)
            thread.start()
            thread.join()
        print(sorted(set(outcomes)), len(outcomes))
        """
    )
    assert done.stdout.split("]")[0] + "]" == "['RecursionError']"
    assert done.stdout.split()[-1] == "18"


@pytest.mark.parametrize("walk", WALKS)
def test_interpreter_goes_on_after_recursion_errors(walk):
    looped = []
    looped.append(looped)
    for _ in range(3):
        with pytest.raises(RecursionError):
            walk(looped)
    assert walk([["fine"]]) == [["fine"]]


# --- input is never changed ------------------------------------------------------------------


def shape(value):
    """The input as containers (by type, in order) and leaves (by identity)."""
    if isinstance(value, dict):
        return (type(value), [(id(k), shape(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value), [shape(v) for v in value])
    return id(value)


class FailsToFormat:
    def __format__(self, spec):
        raise TypeError("no text for you")


@pytest.mark.parametrize("walk", WALKS)
def test_input_unchanged_after_success(walk):
    value = realistic()
    snapshot, copied = shape(value), copy.deepcopy(value)
    walk(value)
    assert shape(value) == snapshot and value == copied


@pytest.mark.parametrize(
    "walk, poison, error",
    [
        pytest.param(walk_hush, {1: "int key"}, TypeError, id="hush_secret-int-key"),
        pytest.param(walk_veil, FailsToFormat(), TypeError, id="veil_bulk_text-format"),
    ],
)
def test_input_unchanged_after_failure_deep_inside(walk, poison, error):
    value = realistic()
    value["api"][0]["late"] = [1, 2, poison]
    snapshot = shape(value)
    with pytest.raises(error):
        walk(value)
    assert shape(value) == snapshot


# --- hostile leaves and containers -----------------------------------------------------------


class Mutating(dict):
    """A dict subclass whose items() changes the dict while the walk reads it."""

    def items(self):
        for key in list(super().keys()):
            self[key + "_seen"] = 1
            yield key, dict.__getitem__(self, key)


class GrowsWhileFormatted:
    def __init__(self, target):
        self.target = target

    def __format__(self, spec):
        self.target.append("more")
        return "grown"


class ShrinksWhileFormatted:
    def __init__(self, target):
        self.target = target

    def __format__(self, spec):
        self.target.clear()
        return "gone"


class WrongLength(str):
    def __len__(self):
        return -1


class BadLength(str):
    def __len__(self):
        raise OverflowError("length")


class FormatsToBytes:
    def __format__(self, spec):
        return b"bytes"


def test_items_that_mutate_the_dict_subclass():
    value = Mutating(password="abc", user="u")
    assert hush_secret(value=value) == {"password": "***", "user": "u"}
    assert veil_bulk_text(value=Mutating(a="x")) == {"a": "x"}


def test_list_that_grows_while_walked_is_walked_to_its_end():
    items = [1]
    items.append(GrowsWhileFormatted(items))
    result = veil_bulk_text(value=items)
    assert result == [1, items[1], "more"] and len(items) == 3


def test_list_that_shrinks_while_walked_stops_early():
    items = [1, 2]
    items.insert(0, ShrinksWhileFormatted(items))
    result = veil_bulk_text(value=items)
    assert len(result) == 1 and items == []


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: hush_secret(name="password", value=WrongLength("abc")), ValueError),
        (lambda: hush_secret(name="password", value=BadLength("abc")), OverflowError),
        (lambda: veil_bulk_text(value=FormatsToBytes()), TypeError),
        (lambda: veil_bulk_text(value=[1, (2, {"k": FormatsToBytes()})]), TypeError),
    ],
)
def test_leaves_that_misbehave_raise(call, error):
    with pytest.raises(error):
        call()


class ClassRaises:
    @property
    def __class__(self):
        raise RuntimeError("no class")


class HostileName(type):
    @property
    def __name__(cls):
        return 42


class Hostile(metaclass=HostileName):
    pass


@pytest.mark.parametrize(
    "call, outcome",
    [
        (lambda: PropKeeper.get_name(ClassRaises(), "__x"), RuntimeError),
        (lambda: PropKeeper.has_attribute(ClassRaises(), "__x"), RuntimeError),
        (lambda: PropKeeper.get_name(ClassRaises(), "plain"), "plain"),
        (lambda: PropKeeper.get_name(Hostile, "__x"), AttributeError),  # 42 has no lstrip
    ],
)
def test_prop_keeper_with_hostile_owners(call, outcome):
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            call()
    else:
        assert call() == outcome


# --- threads and the garbage collector -------------------------------------------------------


CALLS = [
    ("hush", lambda v: hush_secret(name="x", value=v)),
    ("veil", lambda v: veil_bulk_text(value=v)),
    ("origin", lambda v: find_origin(file="/a/b/c")),
    ("keeper", lambda v: PropKeeper.get_name(v, "__attr")),
]


def run_all(value):
    return [(name, repr(call(value))) for name, call in CALLS]


def test_threads_on_shared_input_agree_with_one_thread():
    value = realistic()
    expected = run_all(value)
    results = []
    barrier = threading.Barrier(4)

    def worker():
        barrier.wait()
        for _ in range(50):
            results.append(run_all(value))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 200 and all(result == expected for result in results)


def test_collections_during_calls_change_nothing():
    value = realistic()
    expected = run_all(value)
    old = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    try:
        for _ in range(20):
            assert run_all(value) == expected
    finally:
        gc.set_threshold(*old)
