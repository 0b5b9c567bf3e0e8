"""Fuzz target: argument binding of every function and method of the six modules.

The bytes pick a function, a route to call it (a plain call, a names tuple handed straight to
vectorcall, a method of an instance, a bound method, a partial, the type's tp_call), positional
values, keyword names (the real ones, equal copies, near misses, str subclasses with odd
`__eq__` and `__hash__`, duplicates, names that are not strs) and values of many types,
hostile ones among them; now and then a function attribute is rewritten first. Any exception
is a fine outcome except SystemError, and the process must live on.

Folder's methods are called inside a scratch folder, with path strings from a fixed set of
relative names only; boot_banner prints to a buffer and its environment keys are taken back.

Run it through `make fuzz`; `one_input` is also what tests/test_fuzz_corpus.py replays.
"""

import atexit
import contextlib
import functools
import inspect
import io
import os
import shutil
import sys
import tempfile
import types
import warnings

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import tools.boot_banner.boot_banner as banner_module  # noqa: E402
import tools.common.find_origin as origin_module  # noqa: E402
import tools.common.hush_secret as hush_module  # noqa: E402
import tools.common.prop_keeper as keeper_module  # noqa: E402
import tools.common.veil_bulk_text as veil_module  # noqa: E402
from fuzz.values import Source, hostile_class, with_cwd  # noqa: E402

try:
    from tools._testing.frame_probe import call_vector
except ImportError:  # a build without the test-only modules: no raw names tuples
    call_vector = None


def folders_module():
    """tools.folders.folders, imported with a `logger` whose decorator changes nothing, unless
    the process has imported it already."""
    if "tools.folders.folders" not in sys.modules and "logger" not in sys.modules:
        fake = types.ModuleType("logger")
        fake.logging = lambda prefix: lambda method: method
        sys.modules["logger"] = fake
        try:
            import tools.folders.folders
        finally:
            del sys.modules["logger"]
    import tools.folders.folders

    return tools.folders.folders


Folder = folders_module().Folder
PropKeeper = keeper_module.PropKeeper
FOLDER_METHODS = [inspect.unwrap(Folder.__dict__[name].__func__)
                  for name in ("exists", "create", "count", "remove")]
FUNCTIONS = [
    origin_module.find_origin,
    hush_module.hush_secret,
    veil_module.veil_bulk_text,
    banner_module.boot_banner,
    *FOLDER_METHODS,
    PropKeeper.__init__,
    PropKeeper.__dict__["name"].fget,
    PropKeeper.__dict__["value"].fget,
    PropKeeper.__dict__["value"].fset,
    PropKeeper.__dict__["exists"].fget,
    PropKeeper.get_name,
    PropKeeper.get_attribute,
    PropKeeper.set_attribute,
    PropKeeper.has_attribute,
]
# Each function as a class attribute: calling it through an instance passes the instance first.
HOLDERS = [type("Holder", (), {"method": function})() for function in FUNCTIONS]
ATTRIBUTES = ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__",
              "__kwdefaults__", "__annotations__", "__dict__")
SNAPSHOT = {function: ({name: getattr(function, name) for name in ATTRIBUTES},
                       dict(function.__dict__)) for function in FUNCTIONS}
SCRATCH = tempfile.mkdtemp(prefix="fuzz-binding-")
atexit.register(shutil.rmtree, SCRATCH, ignore_errors=True)


def restore_functions():
    """Undoes whatever an input wrote to the functions' attributes (set_attribute may reach
    them too, since they are among the values)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for function, (saved, content) in SNAPSHOT.items():
            for name, value in saved.items():
                if getattr(function, name) is not value:
                    setattr(function, name, value)
            if function.__dict__ != content:
                function.__dict__.clear()
                function.__dict__.update(content)


def argument(source):
    """A value to pass: any decoded value, or one of the package's own objects. (Not the
    PropKeeper class itself, nor a module of the package: writing to them, which PropKeeper's
    methods do when handed them as `self` or `obj`, would change them for every later input.)"""
    kind = source.below(12)
    if kind == 0:
        return source.remember(source.pick((
            lambda: type("Keeper", (PropKeeper,), {}), lambda: hush_module.hush_secret,
            lambda: origin_module.find_origin, lambda: types.ModuleType("m")))())
    if kind == 1:
        return source.remember(source.pick((lambda: PropKeeper.__new__(PropKeeper),
                                            lambda: PropKeeper(object(), "__x")))())
    return source.value(depth=2)


def keyword(source, params, earlier):
    """A keyword name: real, copied, nearly right, a str subclass, a repeat or not a str."""
    real = source.pick(params) if params else "x"
    kind = source.below(10)
    if kind <= 2:
        return real
    if kind == 3:
        return "".join(list(real))  # equal, but not the interned object
    if kind == 4:
        return source.pick((real + "_", real[:-1], real.upper(), "_" + real, real + "\x00"))
    if kind == 5:
        return hostile_class(source, str)(real)
    if kind == 6 and earlier:
        return source.pick(earlier)
    if kind == 7:
        return source.pick((1, b"value", None, hostile_class(source, str)("")))
    return source.text()


def call_route(source, function, index, positional, names, values):
    """The call, by one of the routes a caller may take."""
    keywords = {}
    for name, value in zip(names, values):
        try:
            keywords[name] = value
        except BaseException:  # noqa: B036 - a name whose __hash__ or __eq__ raises
            pass
    route = source.below(7)
    if route == 1 and call_vector is not None:
        return lambda: call_vector(function, tuple(positional) + tuple(values), tuple(names))
    if route == 2:
        return lambda: HOLDERS[index].method(*positional, **keywords)
    if route == 3:
        instance = argument(source)
        return lambda: function.__get__(instance, None)(*positional, **keywords)
    if route == 4:
        split = source.below(len(positional) + 1)
        return lambda: functools.partial(function, *positional[:split], **keywords)(
            *positional[split:])
    if route == 5:
        return lambda: type(function).__call__(function, *positional, **keywords)
    return lambda: function(*positional, **keywords)


def rewrite_attribute(source, function):
    """Writes (or deletes) one of the function's attributes with a decoded value."""
    name = source.pick(ATTRIBUTES)
    value = argument(source)
    try:
        if source.below(4) == 0:
            delattr(function, name)
        else:
            setattr(function, name, value)
    except SystemError:
        raise
    except BaseException:  # noqa: B036 - refusing the value is fine
        pass


@contextlib.contextmanager
def contained(function):
    """What the call may touch outside the process: the environment, standard output, the
    file system (only inside SCRATCH) and the banner's host-name lookup."""
    environ = dict(os.environ)
    saved_getfqdn = banner_module.getfqdn
    banner_module.getfqdn = lambda: "fuzz.host"
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            if function in FOLDER_METHODS:
                shutil.rmtree(SCRATCH, ignore_errors=True)
                os.makedirs(os.path.join(SCRATCH, "a", "b"))
                open(os.path.join(SCRATCH, "a", "f.txt"), "w").close()
                yield with_cwd(SCRATCH)
            else:
                yield lambda call: call()
    finally:
        banner_module.getfqdn = saved_getfqdn
        if os.environ != environ:
            os.environ.clear()
            os.environ.update(environ)


def one_input(data):
    source = Source(data)
    index = source.below(len(FUNCTIONS))
    function = FUNCTIONS[index]
    source.safe_paths = function in FOLDER_METHODS
    params = function.__code__.co_varnames[: function.__code__.co_argcount]
    count = source.below(len(params) + 3) if source.below(8) else source.below(40)
    positional = [argument(source) for _ in range(count)]
    names = []
    for _ in range(source.below(len(params) + 2)):
        names.append(keyword(source, params, names))
    values = [argument(source) for _ in names]
    call = call_route(source, function, index, positional, names, values)
    rewrite = source.below(6) == 0
    warning_action = source.pick(("ignore", "error"))  # a warning may also fail the call
    try:
        with contained(function) as run, warnings.catch_warnings():
            warnings.simplefilter(warning_action)
            if rewrite:
                rewrite_attribute(source, function)
            try:
                run(call)
            except SystemError:
                raise
            except BaseException:  # noqa: B036 - any other exception is a fine outcome
                pass
    finally:
        restore_functions()


if __name__ == "__main__":
    from fuzz.engine import fuzz

    fuzz(one_input)
