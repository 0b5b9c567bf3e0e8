"""Fuzz target: hush_secret and veil_bulk_text against their Python models (tests/models.py).

The bytes decode to a nested value (dicts, lists, tuples and their subclasses, proxies, hostile
leaves, leaves that change the value while it is walked, shared and self-containing parts),
to a name for hush_secret or to an object bound to
veil_bulk_text's `_const` for the call. Native function and model must give the same result
(unchanged leaves as the same objects) or raise the same type of exception; a value that
changes itself only has to leave the process alive and raise no SystemError.

Run it through `make fuzz`; `one_input` is also what tests/test_fuzz_corpus.py replays.
"""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import models  # noqa: E402
import tools.common.hush_secret as hush_module  # noqa: E402
import tools.common.veil_bulk_text as veil_module  # noqa: E402
from fuzz.values import ERRORS, Source, hostile_class, long_text, str_subclass  # noqa: E402

# Kinds of input (as Source.known names them: "proxy of a container or str", "StopIteration
# from a tuple's __iter__") whose result is run but not compared, while a fault they reach is
# open. None is open: the walks decide shapes as isinstance() does, and make the tuple case's
# iterator where the generator expression is made, as the models do.
KNOWN: set[str] = set()


class Limits:
    """A `_const` whose char_limit gives the next of its values at each read. A rebinding one
    also binds a new Limits (the next reads) to the module's `_const` as it is read, so that
    the module held the last reference to the object being read."""

    def __init__(self, values, rebinding=False, reads=0):
        self.values, self.rebinding, self.reads = values, rebinding, reads

    @property
    def char_limit(self):
        value = self.values[self.reads % len(self.values)]
        if self.rebinding:
            veil_module._const = Limits(self.values, True, self.reads + 1)
        else:
            self.reads += 1
        if isinstance(value, type) and issubclass(value, BaseException):
            raise value("char_limit")
        return value


class ModuleConst:
    """What the model reads the limit from: the module's `_const` at each read, as the native
    function does."""

    @property
    def char_limit(self):
        return veil_module._const.char_limit


def limit_value(source):
    return source.pick(
        (4000, 0, 1, 3, 8, -1, True, None, 2.5, "8", 10**30, -(10**30), source.pick(ERRORS),
         str_subclass(source, 0), hostile_class(source, int)(source.below(10)))
    )


def const(source):
    """What `_const` is bound to for the call: the usual limit, a small one, or odd ones."""
    kind = source.below(5)
    if kind == 0:
        return veil_module._Const()
    if kind == 1:
        return veil_module._Const(char_limit=source.below(12))
    return Limits([limit_value(source) for _ in range(1 + source.below(3))], kind == 4)


def hush_name(source):
    return source.pick(
        (lambda: None, lambda: source.text(), lambda: "password", lambda: "x_PwD",
         lambda: str_subclass(source, 0), lambda: source.integer(), lambda: long_text(source, 0))
    )()


def outcome(call):
    try:
        return call(), None
    except SystemError:
        raise
    except BaseException as error:  # noqa: B036 - any exception is an outcome to compare
        return None, error


def on_small_stack(call):
    """Runs `call` on a thread with a 1 MiB stack. A walk of a self-containing value goes
    down until the stack guard stops it: on the main thread's 8 MiB that takes seconds under
    the sanitizers, on a small stack a few milliseconds (and reaches the guard's own test of
    the stack, which the interpreter's recursion budget otherwise stops short of)."""
    result = []
    previous = threading.stack_size(1 << 20)
    try:
        thread = threading.Thread(target=lambda: result.append(outcome(call)))
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    return result[0]


def shallow(call):
    """Runs `call` on a new thread under a recursion limit of 200: the model, like the native
    walk, then meets the limit in milliseconds (the same RecursionError, sooner)."""
    previous = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        return on_small_stack(call)
    finally:
        sys.setrecursionlimit(previous)


def input_keys(objects):
    """The ids of the key objects of every dict among `objects`, read past overridden methods."""
    return {id(key) for obj in objects if issubclass(type(obj), dict) for key in dict.keys(obj)}


def check_same(actual, expected, originals, keys, path="value"):
    """The native result against the model's: new containers of the plain type, unchanged
    leaves and the input's keys as the very objects of the input, replaced leaves as equal
    exact strs. A key that is none of the input's was made while the walk read the dict (a
    misbehaving items() that unpacks two-character strs, whose characters beyond Latin-1 are
    new objects at each iteration): the native walk and the model each got their own, equal
    ones."""
    if type(expected) in (dict, list, tuple):
        assert type(actual) is type(expected), f"{path}: {type(actual)} != {type(expected)}"
        assert len(actual) == len(expected), f"{path}: length {len(actual)} != {len(expected)}"
        if type(expected) is dict:
            for a, e in zip(actual, expected):
                if id(e) in keys:
                    assert a is e, f"{path}: key {a!r} is not {e!r}"
                else:
                    assert type(a) is type(e) and a == e, f"{path}: key {a!r} != {e!r}"
            pairs = zip(actual.values(), expected.values())
        else:
            pairs = zip(actual, expected)
        for index, (a, e) in enumerate(pairs):
            check_same(a, e, originals, keys, f"{path}[{index}]")
    elif any(expected is leaf for leaf in originals):
        assert actual is expected, f"{path}: {actual!r} is not the input's {expected!r}"
    else:
        assert type(actual) is str and actual == expected, f"{path}: {actual!r} != {expected!r}"


def one_input(data):
    source = Source(data)
    walk_hush = source.flag()
    name = hush_name(source) if walk_hush else None
    const_at = source.pos  # `_const` is decoded afresh for each run, and held by the module only
    if not walk_hush:
        const(source)
    value = source.value()
    originals = source.made + [name]

    def run(call, runner=outcome):
        if walk_hush:
            return runner(call)
        saved = veil_module._const
        veil_module._const = const(Source(data[const_at:]))
        try:
            return runner(call)
        finally:
            veil_module._const = saved

    def native():
        if walk_hush:
            return hush_module.hush_secret(name=name, value=value)
        return veil_module.veil_bulk_text(value=value)

    def model():
        if walk_hush:
            return models.hush_secret(name=name, value=value)
        return models.veil_bulk_text(value, ModuleConst())

    actual, raised = run(native, on_small_stack if source.self_containing else outcome)
    if source.mutates:
        return  # the native walk changed the input: the model would walk another value
    expected, expected_raise = run(model, shallow if source.self_containing else outcome)
    if source.known & KNOWN:
        return
    if expected_raise is not None or raised is not None:
        assert type(raised) is type(expected_raise), (
            f"native raised {raised!r}, the model {expected_raise!r}"
        )
        return
    check_same(actual, expected, originals, input_keys(originals + source.keep))


if __name__ == "__main__":
    from fuzz.engine import fuzz

    fuzz(one_input)
