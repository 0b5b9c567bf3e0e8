"""Fuzz target: PropKeeper against the model of the private-name rule (tests/models.py).

The bytes decode to an attribute name (any code points, underscores in every position) and a
target (instances and classes with odd names, slots, descriptors, hooks that raise, a lying
`__class__`, a metaclass whose `__name__` lies), then to a few operations: the static methods
and an instance's properties. Each operation runs on one decoding of the target and, as the
model says it should behave, on a second decoding of the same bytes; results, exception types
and the attributes each target ends up with must agree.

Run it through `make fuzz`; `one_input` is also what tests/test_fuzz_corpus.py replays.
"""

import os
import sys
import types

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import models  # noqa: E402
from fuzz.values import ERRORS, ODD_RESULTS, Source, behaviour, hostile_class  # noqa: E402
from tools.common.prop_keeper import PropKeeper  # noqa: E402

NAME_CHARACTERS = "________ab_c\u00e9\u03a9\U0001d535\x00\udc80"


def name(source):
    """An attribute or class name, underscores likeliest; now and then any code point."""
    return "".join(source.pick(NAME_CHARACTERS) if source.byte() < 240 else source.character()
                   for _ in range(source.below(9)))


def attr(source):
    kind = source.below(10)
    if kind == 0:
        return hostile_class(source, str)(name(source))  # refused: not exactly str
    if kind == 1:
        return source.pick((None, b"__x", 5))
    return name(source)


def class_name(source):
    """A class name: mostly a plain str, sometimes a str subclass whose lstrip misbehaves."""
    text = name(source)
    if source.below(4) == 0:
        return hostile_class(source, str)(text)
    return text


def namespace(source):
    """A class body: slots, properties, plain attributes and hooks, named from the bytes."""
    body = {}
    if source.below(3) == 0:
        body["__slots__"] = tuple(name(source) or "s" for _ in range(source.below(3)))
    for _ in range(source.below(4)):
        key = name(source)
        kind = source.below(4)
        if kind == 0:
            body[key] = property(behaviour(source, key))
        elif kind == 1:
            body[key] = source.pick(ODD_RESULTS)
        elif kind == 2:
            body[key] = staticmethod(len)
        else:
            body[key] = types.SimpleNamespace()
    for hook in ("__getattribute__", "__getattr__", "__setattr__", "__class__"):
        if source.below(4) == 0:
            body[hook] = property(behaviour(source, hook)) if hook == "__class__" else behaviour(
                source, hook)
    if "__class__" in body and source.flag():
        reported = make_class(source, depth=1)
        body["__class__"] = property(lambda self: reported)
    return body


def metaclass(source):
    if source.below(4):
        return type
    body = {"__name__": property(behaviour(source, "__name__"))} if source.flag() else {}
    return type("Meta", (type,), body)


def make_class(source, depth=0):
    meta = metaclass(source)
    try:
        cls = meta(class_name(source), (), namespace(source) if depth == 0 else {})
    except BaseException:  # slots that clash with class attributes, say
        cls = meta("Fallback", (), {})
    source.remember(cls)
    return cls


def target(source):
    kind = source.below(6)
    if kind == 0:
        return make_class(source)
    if kind == 1:
        return source.pick((lambda: None, lambda: 5, lambda: "text", lambda: types.ModuleType("m"),
                            lambda: types.SimpleNamespace(), lambda: object()))()
    cls = make_class(source)
    try:
        return object.__new__(cls)
    except BaseException:
        return object()


def summary(value, made):
    """What an outcome is, comparable between the two decodings: an object that the decoding
    made by its index, simple values by type and value, anything else by its type's name."""
    for index, known in enumerate(made):
        if value is known:
            return ("made", index)
    if type(value) in (str, int, bool, bytes, type(None)):
        return (type(value).__name__, value)
    return ("other", type(value).__qualname__)


def outcome(call, made):
    try:
        return summary(call(), made)
    except SystemError:
        raise
    except BaseException as error:  # noqa: B036 - any exception is an outcome to compare
        return ("raised", type(error).__name__)


def checked_attr(attr):
    if type(attr) is not str:
        raise TypeError("attr")
    return attr


def model_get(obj, attr):
    return object.__getattribute__(obj, models.stored_name(obj, checked_attr(attr)))


def model_has(obj, attr):
    try:
        model_get(obj, attr)
    except AttributeError:
        return False
    return True


def model_set(obj, attr, value):
    object.__setattr__(obj, models.stored_name(obj, checked_attr(attr)), value)


def model_name(obj, attr):
    return models.stored_name(obj, checked_attr(attr))


# operation -> (native, model), each called with (obj, attr, value)
OPERATIONS = [
    (lambda o, a, v: PropKeeper.get_name(obj=o, attr=a), lambda o, a, v: model_name(o, a)),
    (lambda o, a, v: PropKeeper.get_attribute(o, a), lambda o, a, v: model_get(o, a)),
    (lambda o, a, v: PropKeeper.has_attribute(o, attr=a), lambda o, a, v: model_has(o, a)),
    (lambda o, a, v: PropKeeper.set_attribute(o, a, v), model_set),
    (lambda o, a, v: PropKeeper(o, a).name, lambda o, a, v: model_name(o, a)),
    (lambda o, a, v: PropKeeper(o, a).value, lambda o, a, v: model_get(o, a)),
    (lambda o, a, v: PropKeeper(o, a).exists, lambda o, a, v: model_has(o, a)),
    (lambda o, a, v: setattr(PropKeeper(o, a), "value", v), model_set),
]


def decode(data):
    """The target, its names, the operations (as indexes) and the value to assign."""
    source = Source(data)
    obj = source.remember(target(source))
    names = [source.remember(attr(source)) for _ in range(1 + source.below(3))]
    steps = [(source.below(len(OPERATIONS)), source.below(len(names)))
             for _ in range(1 + source.below(4))]
    value = source.remember(source.pick(ODD_RESULTS + ERRORS))
    return source, obj, names, steps, value


def attributes(obj, made):
    """The target's own attributes after the operations, as summaries."""
    try:
        content = object.__getattribute__(obj, "__dict__")
    except BaseException:
        return None
    if not isinstance(content, (dict, types.MappingProxyType)):
        return None
    return sorted((key, summary(value, made)) for key, value in content.items())


def one_input(data):
    native_source, native_obj, native_names, steps, native_value = decode(data)
    model_source, model_obj, model_names, _, model_value = decode(data)
    for operation, which in steps:
        native, model = OPERATIONS[operation]
        got = outcome(lambda: native(native_obj, native_names[which], native_value),
                      native_source.made)
        wanted = outcome(lambda: model(model_obj, model_names[which], model_value),
                         model_source.made)
        assert got == wanted, (
            f"operation {operation} with {model_names[which]!r}: native {got}, model {wanted}"
        )
    assert attributes(native_obj, native_source.made) == attributes(model_obj, model_source.made)


if __name__ == "__main__":
    from fuzz.engine import fuzz

    fuzz(one_input)
