"""Decodes the fuzzer's bytes into values: plain ones, nested containers and hostile objects.

Every target reads its input through a `Source`, so that the same bytes always decode to the
same call; the objects are new at each decoding and keep no state between uses, so a value can
be handed to the native code and then to a model and behave the same both times.
"""

import collections
import os
import pathlib
import sys
import weakref

# Exceptions that hostile objects raise. SystemError is left out on purpose: the targets treat
# a SystemError as the native code's fault.
ERRORS = (
    ValueError,
    UnicodeError,
    TypeError,
    AttributeError,
    LookupError,
    ArithmeticError,
    RecursionError,
    StopIteration,
    NotImplementedError,
    KeyboardInterrupt,
)

# Characters that matter somewhere: underscores and the letters of the password markers, one
# character per str width, NUL, a lone surrogate, and characters whose lower() is unusual.
CHARACTERS = "_____apswdorPWDé\u03a9\U0001d535\x00\udc80\u0130\u212a"

FORMAT_DIGITS = sys.get_int_max_str_digits()

# The byte that makes a top-level value self-containing (not 0, which is what a read past the
# end of the input gives).
SELF_CONTAINING = 0xA5


class Source:
    """Reads choices from the fuzzer's bytes, front to back. Once the bytes run out, every
    choice is the first option, so every input decodes to something finite."""

    def __init__(self, data, safe_paths=False):
        self.data = data
        self.pos = 0
        self.made = []  # every object decoded so far, in order
        self.keep = []  # referents of proxies, kept alive as long as the value
        self.known = set()  # known faults that this input reaches (see the targets)
        self.mutates = False  # whether the value changes itself while it is walked
        self.self_containing = False  # whether the value holds itself
        self.safe_paths = safe_paths

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        if n <= 1:
            return 0
        if n <= 256:
            return self.byte() % n
        return ((self.byte() << 8) | self.byte()) % n

    def pick(self, options):
        return options[self.below(len(options))]

    def flag(self):
        return self.byte() & 1 == 1

    def character(self):
        if self.byte() < 224:
            return self.pick(CHARACTERS)
        return chr(((self.byte() << 16) | (self.byte() << 8) | self.byte()) % 0x110000)

    def text(self, max_len=8):
        if self.safe_paths:
            return self.pick(SAFE_PATHS)
        return "".join(self.character() for _ in range(self.below(max_len + 1)))

    def integer(self):
        kind = self.below(6)
        if kind == 0:
            return self.below(256) - 128
        if kind == 1:
            return (self.byte() << 56 | self.byte() << 32 | self.byte()) - (1 << 40)
        if kind == 2:
            return 10 ** self.below(FORMAT_DIGITS + 20) - 1  # up to past the digit limit
        if kind == 3:
            return -(2**63) + self.below(3) - 1
        if kind == 4:
            return sys.maxsize + self.below(3) - 1
        return self.pick((0, 1, -1, 4000, 4001, 3999))

    def remember(self, value):
        self.made.append(value)
        return value

    def value(self, depth=0):
        """Any value: the deeper it is, the likelier a leaf."""
        if depth == 0 and self.byte() == SELF_CONTAINING:
            maker = self_containing
        else:
            maker = self.pick(LEAVES if depth >= 4 else LEAVES + CONTAINERS * 2)
        try:
            value = maker(self, depth)
        except BaseException:  # a hostile __hash__ or __eq__ met while building a dict
            value = None
        self.remember(value)
        if depth == 0:
            self.aim_mutators()
        return value

    def aim_mutators(self):
        """Gives each mutating leaf its container, now that the whole value exists (its
        enclosing containers are made after it)."""
        containers = [made for made in self.made if type(made) in (list, dict)]
        for made in self.made:
            if isinstance(made, Mutator):
                made.aim(containers)


# --- leaves ----------------------------------------------------------------------------------

# The only path strings a target may hand to Folder: relative, inside the folder it runs in.
SAFE_PATHS = ("a", "a/b", "a/b/c", "missing", "f.txt", "a/f.txt", "*", "*.txt", "[", "a/*")


def none(source, depth):
    return None


def boolean(source, depth):
    return source.flag()


def integer(source, depth):
    return source.integer()


def real(source, depth):
    return source.pick((0.0, -0.0, 1.5, float("inf"), float("nan"), 1e300, 5e-324))


def text(source, depth):
    return source.text()


def long_text(source, depth):
    """Text around the usual limit, or a repetition long enough to pass any small one."""
    if source.safe_paths:
        return source.text()
    unit = source.text(3) or "x"
    return (unit * (4100 // len(unit) + 1))[: 3990 + source.below(20)]


def raw_bytes(source, depth):
    if source.safe_paths:
        return source.pick(SAFE_PATHS).encode()
    return bytes(source.byte() for _ in range(source.below(6)))


def path(source, depth):
    kind = pathlib.Path if source.flag() else pathlib.PurePosixPath
    return kind(source.pick(SAFE_PATHS))


def a_set(source, depth):
    items = frozenset(source.integer() for _ in range(source.below(4)))
    return items if source.flag() else set(items)


def shared(source, depth):
    """An object decoded before: the same object twice in one value."""
    return source.pick(source.made) if source.made else None


def hostile(source, depth):
    base = source.pick(HOSTILE_BASES)
    return hostile_class(source, base)(*hostile_arguments(source, base))


def str_subclass(source, depth):
    return hostile_class(source, str)(source.text())


def proxy(source, depth):
    """A weak proxy of another value; the referent lives as long as the decoded value."""
    referent = source.pick((lambda: hostile(source, depth), lambda: container(source, depth)))()
    if isinstance(referent, (dict, list, tuple, str)):
        source.known.add("proxy of a container or str")
    source.keep.append(referent)
    try:
        return weakref.proxy(referent)
    except TypeError:  # not weakly referable (a plain tuple, say)
        return referent


class Mutator:
    """A leaf that changes one of the value's lists or dicts when the walk converts it, asks
    its length, compares it or hashes it: what the walk reads next may be gone."""

    ACTIONS = ("clear", "append", "pop", "insert", "replace")

    def __init__(self, choice, action):
        self.choice, self.action, self.container = choice, action, None

    def aim(self, containers):
        if containers:
            self.container = containers[self.choice % len(containers)]

    def mutate(self):
        """Once only: a leaf that appended itself at every turn would never let a walk end."""
        target, self.container = self.container, None
        if target is None:
            return
        if self.action == "clear":
            target.clear()
        elif isinstance(target, list):
            if self.action == "pop" and target:
                target.pop(0)
            elif self.action == "replace" and target:
                target[-1] = object()
            else:
                target.insert(0, "added") if self.action == "insert" else target.append(self)
        else:
            if self.action == "pop" and target:
                target.pop(next(iter(target)))
            else:
                target[object()] = self

    def __format__(self, spec):
        self.mutate()
        return "mutated"

    def __eq__(self, other):
        self.mutate()
        return False

    def __hash__(self):
        self.mutate()
        return 0


def mutator(source, depth):
    source.mutates = True
    return Mutator(source.byte(), source.pick(Mutator.ACTIONS))


LEAVES = [none, boolean, integer, real, text, long_text, raw_bytes, a_set, shared, hostile,
          str_subclass, path, proxy, mutator]


# --- hostile objects ---------------------------------------------------------------------------


ODD_RESULTS = (None, 2, -1, "text", b"a", 1.5, True, 10**30, NotImplemented)


def behaviour(source, method):
    """A method that raises one of ERRORS, or returns an odd value (or the object itself)."""
    if source.below(3) == 0:
        error = source.pick(ERRORS)

        def raising(self, *args):
            raise error(method)

        return raising
    index = source.below(len(ODD_RESULTS) + 1)

    def returning(self, *args):
        return ODD_RESULTS[index] if index < len(ODD_RESULTS) else self

    return returning


# Methods a hostile object may override; which ones it does, and how, come from the bytes.
HOSTILE_METHODS = ("__bool__", "__index__", "__fspath__", "__str__", "__format__", "__repr__",
                   "__len__", "__eq__", "__hash__", "__lt__", "__gt__", "__iter__", "lower",
                   "lstrip", "items", "__getitem__")


def hostile_class(source, base):
    namespace = {}
    for _ in range(source.below(4)):
        method = source.pick(HOSTILE_METHODS)
        if method == "__fspath__" and source.safe_paths:
            namespace[method] = lambda self, p=source.pick(SAFE_PATHS): p
        elif method == "__hash__" and source.flag():
            namespace[method] = lambda self, h=hash(source.text()): h  # collides with a real name
        else:
            namespace[method] = behaviour(source, method)
    if "__eq__" in namespace and "__hash__" not in namespace:
        namespace["__hash__"] = base.__hash__ or object.__hash__
    return type(f"Hostile{base.__name__.title()}", (base,), namespace)


HOSTILE_BASES = (object, object, str, int, float, bytes, dict, list, tuple, Exception)


def hostile_arguments(source, base):
    if base is str:
        return (source.text(),)
    if base is int:
        return (source.integer(),)
    if base in (bytes, float, Exception):
        return (base(b"ab" if base is bytes else 1.5 if base is float else "message"),)
    if base is dict:
        return ({source.text(): None},)
    if base in (list, tuple):
        return ([source.text(), None],)
    return ()


# --- containers ------------------------------------------------------------------------------


def children(source, depth):
    return [source.value(depth + 1) for _ in range(source.below(5))]


def a_list(source, depth):
    return children(source, depth)


def a_tuple(source, depth):
    return tuple(children(source, depth))


def a_dict(source, depth):
    value = {}
    for _ in range(source.below(5)):
        key, element = dict_key(source), source.value(depth + 1)
        try:
            value[key] = element
        except BaseException:  # a hostile key's __hash__ or __eq__
            pass
    return value


def dict_key(source):
    return source.pick((lambda: source.text(), lambda: source.text(), lambda: None,
                        lambda: source.integer(), lambda: str_subclass(source, 0)))()


Pair = collections.namedtuple("Pair", "first second")


def library_container(source, depth):
    kind = source.below(3)
    if kind == 0:
        return Pair(source.value(depth + 1), source.value(depth + 1))
    if kind == 1:
        return collections.OrderedDict(a_dict(source, depth))
    return collections.defaultdict(list, a_dict(source, depth))


def subclass_container(source, depth):
    """A dict, list or tuple subclass whose iteration or items() misbehaves or lies."""
    base = source.pick((dict, list, tuple))
    namespace = {}
    hook = "items" if base is dict else "__iter__"
    mode = source.below(5)
    if mode == 0:
        error = source.pick(ERRORS)
        if error is StopIteration and base is tuple:
            source.known.add("StopIteration from a tuple's __iter__")

        def raising(self):
            raise error(hook)

        namespace[hook] = raising
    elif mode == 1:
        # Iterates over something else than its own content, made afresh at each call.
        other = [pair_like(source, value) for value in children(source, depth)]
        if base is not dict:
            other = [lambda value=value: value for value in children(source, depth)]
        namespace[hook] = lambda self, other=other: iter([make() for make in other])
    elif mode == 2:
        odd = source.pick((5, None, "ab", [(1,)], [("k", 1, 2)], [()]))
        namespace[hook] = lambda self, odd=odd: odd
    cls = type(f"Odd{base.__name__.title()}", (base,), namespace)
    content = a_dict(source, depth) if base is dict else children(source, depth)
    return cls(content)


def pair_like(source, value):
    """Makes what items() yields for one entry: a pair, or something that unpacks otherwise."""
    key = source.text()
    return source.pick((lambda: (key, value), lambda: [key, value],
                        lambda: iter((key, value)), lambda: (value,), lambda: "ab",
                        lambda: value))


def self_containing(source, depth):
    """A list or dict that holds itself, directly or through a tuple."""
    source.self_containing = True
    kind = source.below(3)
    if kind == 0:
        value = children(source, depth)
        value.insert(source.below(len(value) + 1), value)
    elif kind == 1:
        value = a_dict(source, depth)
        value[source.text()] = value
    else:
        value = children(source, depth)
        value.append((value,))
    return value


def container(source, depth):
    return source.pick(CONTAINERS)(source, depth)


# Self-containing values are drawn apart, rarely (1 in 256) and at the top only: each costs a
# walk down to the recursion guard, which under the sanitizers takes a second or more.
CONTAINERS = [a_list, a_tuple, a_dict, library_container, subclass_container]


def with_cwd(folder):
    """Runs a callable with `folder` as the working folder, and sets the old one back."""

    def run(call):
        old = os.getcwd()
        os.chdir(folder)
        try:
            return call()
        finally:
            os.chdir(old)

    return run
