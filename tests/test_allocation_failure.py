"""Every function under allocation failure, with the interpreter's own hooks.

`_testcapi.set_nomemory(start, stop)` makes allocations fail from the start-th on (up to the
stop-th, or all of them when stop is 0). Each sweep runs in a child interpreter of its own
and moves the failing allocation over every index until the call succeeds: the outcome must
be the right result or a MemoryError (or an error chained from one, or the case's own
error), never a crash, a hang or a SystemError, and an error that leaves a function carries
that function's traceback entry, unless it is the MemoryError of an entry that could not be
added, which has the exception in flight as its context. The same call made again without
the hooks is right, and repeating the failing calls leaves no blocks behind. The import of
each module is swept the same way, each index in a process forked for it.

Where the interpreter itself fails under the hooks, a plain-Python control in the child shows
it with the same operation, and only the outcome that the control shows is left out.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("_testcapi has no allocation-failure hooks", allow_module_level=True)

# The host's `logger` stand-in. Its factory hands out a decorator made once: a decorator made
# at each call (a lambda) would meet the interpreter's own fault, not the package's: when
# making a function fails, 3.13.0 drops a reference to the function's code object, a
# constant of the enclosing code, which is then freed while still in use there (in plain
# Python, `sys.getrefcount` of the lambda's code falls by one at the failing index; a later
# call makes its function from whatever was allocated in its place).
LOGGER = "def logging(prefix):\n    return keep\n\ndef keep(method):\n    return method\n"

# Shared by both kinds of child: the hooked step, the controls and the rules. The hooked step
# is kept in a small function: the interpreter's exception handling boxes the offset of the
# handler as an int, which allocates for offsets of 256 and above, and spins when that fails.
COMMON = r'''
import _testcapi, faulthandler, gc, json, os, pathlib, signal, sys, tempfile, warnings

def attempt(call, start, stop):
    _testcapi.set_nomemory(start, stop)
    try:
        result = call()
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        return False, error
    _testcapi.remove_mem_hooks()
    return True, result

def chain(error):
    seen = []
    while error is not None and all(error is not s for s in seen):
        seen.append(error)
        error = error.__cause__ or error.__context__
    return seen

def entries(error):
    names, tb = [], error.__traceback__
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names

def describe(error):
    return f"{type(error).__name__}: {error}"

def same_error(a, b):
    return type(a) is type(b) and str(a) == str(b)

def shown(call, keep, limit=80):
    """What `keep` takes from the errors of `call`, with each of its first allocations failing,
    in both modes. Each error is dropped at once: with MemoryErrors kept alive, the interpreter
    hands out its one last-resort instance, whose traceback and context then pile up."""
    found = set()
    for one in (True, False):
        for n in range(limit):
            ok, outcome = attempt(call, n, n + 1 if one else 0)
            kept = None if ok else keep(outcome)
            if kept:
                found.add(kept)
            del outcome
    return found

# Control 1: a plain Python function that raises. CPython 3.13.0 then raises
# SystemError("error return without exception set") at some indexes: while it clears a frame
# whose frame object the traceback keeps, it makes the caller's frame object, and when that
# fails it drops the exception in flight and clears the MemoryError too.
def plain(value):
    for key in value:
        if not isinstance(key, str):
            raise TypeError("not a str")

PLAIN_VALUE = {"a": 1, 7: 2}
BARE_SYSTEM_ERROR = bool(shown(
    lambda: plain(PLAIN_VALUE),
    lambda e: type(e) is SystemError and e.__context__ is None
    and str(e) == "error return without exception set"))

# Control 2: a builtin (native code, as the package's functions are) that raises, called from
# a lambda. When the interpreter cannot make the lambda's frame object for its traceback
# entry, it drops the exception in flight: a bare MemoryError whose traceback has no entry
# for the lambda. With one failure only, the lambda's entry is missing for no other reason.
SEVEN = "seven"
CALLER_FRAME_DROPPED = bool(shown(
    lambda: int(SEVEN),
    lambda e: type(e) is MemoryError and e.__context__ is None and "<lambda>" not in entries(e)))

def caller_frame_dropped(error):
    return (CALLER_FRAME_DROPPED and type(error) is MemoryError and error.__context__ is None
            and "<lambda>" not in entries(error))

# Control 3: the os functions that pathlib and the package give a Path. When looking up its
# __fspath__ fails, the interpreter's path conversion replaces the MemoryError with its own
# TypeError ("stat: path should be string, bytes, os.PathLike or integer, not PosixPath"),
# whose context is then whatever exception was being handled (pathlib calls some of them in
# an `except` block).
CONTROL_TOP = pathlib.Path(tempfile.mkdtemp())
(CONTROL_TOP / "inner").mkdir()
PATH_TYPE_ERRORS = set().union(*(
    shown(call, lambda e: type(e) is TypeError and str(e).endswith("not PosixPath") and str(e))
    for call in (lambda: os.fspath(CONTROL_TOP), lambda: os.stat(CONTROL_TOP),
                 lambda: os.lstat(CONTROL_TOP),
                 lambda: os.listdir(path=CONTROL_TOP), lambda: os.mkdir(CONTROL_TOP),
                 lambda: os.rmdir(CONTROL_TOP), lambda: os.scandir(CONTROL_TOP))))

# Control 4: code of the standard library with large handlers (os.walk, shutil.rmtree,
# dataclasses) spins in the interpreter once every allocation fails from some index on (the
# handler offsets above); where it does in plain Python, the package's call of it is swept
# with single failures only.
def in_fork(call, prepare, start, stop):
    """0 when `call` succeeds in a process forked for it, 1 when it raises, 2 when it spins."""
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            prepare()
            signal.alarm(2)  # (the watchdog thread of faulthandler is gone after a fork)
            code = 0 if attempt(call, start, stop)[0] else 1
        finally:
            os._exit(code)
    status = os.waitpid(pid, 0)[1]
    return os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 2

def spins_in_plain_python(call, prepare=lambda: None, limit=400):
    """Whether `call` spins with every allocation failing from one of its last `limit` indexes
    on (where the handlers of a large function come last). The index where it first succeeds
    is found by bisection; a spin counts as a failure there."""
    low, high = 0, 1
    while in_fork(call, prepare, high, 0) != 0:
        low, high = high, high * 2
    while low < high:
        middle = (low + high) // 2
        if in_fork(call, prepare, middle, 0) == 0:
            high = middle
        else:
            low = middle + 1
    return any(in_fork(call, prepare, n, 0) == 2 for n in range(high - 1, max(high - limit, 0) - 1, -1))

# Control 5: when making a function fails (a `def` or `lambda` run at each call), 3.13.0
# drops a reference to the function's code object, a constant of the enclosing code, which is
# then freed while still in use there: a later call makes its function from whatever was
# allocated in its place, or crashes. Shown by the reference counts of those constants, with
# single failures of a plain Python call, each in a process forked for it.
def drops_a_code_reference(call, function, prepare=lambda: None, limit=400):
    codes = [c for c in function.__code__.co_consts if hasattr(c, "co_code")]
    for n in range(limit):
        pid = os.fork()
        if pid == 0:
            dropped = False
            try:
                prepare()
                before = [sys.getrefcount(c) for c in codes]
                attempt(call, n, n + 1)  # its outcome, and what its traceback holds, dropped
                gc.collect()
                dropped = any(a < b for a, b in zip([sys.getrefcount(c) for c in codes], before))
            finally:
                os._exit(int(dropped))
        if os.waitpid(pid, 0)[1] != 0:
            return True
    return False

def interpreters_own(error):
    """The outcomes that the controls show in plain Python, and only those."""
    if type(error) is SystemError:
        return (BARE_SYSTEM_ERROR and error.__context__ is None
                and str(error) == "error return without exception set")
    return type(error) is TypeError and str(error) in PATH_TYPE_ERRORS

findings = []
'''

# Runs in the child: the cases of one module, swept in both modes, then the leak check over
# the indexes where each case failed.
SWEEP = (
    COMMON
    + r'''
def check_error(where, mode, outcome, expected, entry):
    if interpreters_own(outcome):
        return
    errors = chain(outcome)
    if any(isinstance(e, SystemError) for e in errors):
        findings.append(f"{where}: {' <- '.join(map(describe, errors))}")
    own = isinstance(expected, BaseException) and same_error(outcome, expected)
    if not (own or any(isinstance(e, MemoryError) for e in errors)):
        findings.append(f"{where}: unexpected {describe(outcome)}")
    # With every allocation failing, even an entry's MemoryError may be the one instance the
    # interpreter keeps for that case, already the one in flight.
    if (mode == "one" and entry is not None and entry not in entries(outcome)
            and not (isinstance(outcome, MemoryError) and outcome.__context__ is not None)
            and not caller_frame_dropped(outcome)):
        findings.append(f"{where}: no entry for {entry} on {describe(outcome)}")

# The blocks that repeating the failing calls leaves, for two numbers of repeats: what caches
# and free lists keep (filled by a first pass) does not grow with the repeats, a leak does.
# A block lost at any one index in LEAK_REPEATS passes makes the difference LEAK_REPEATS or
# more; the interpreter's own counts move by a few blocks at most.
COUNTS_BLOCKS = sys.getallocatedblocks() != 0
LEAK_REPEATS = 10

def growth(passes, repeat):
    least = None
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(passes):
            repeat()
        gc.collect()
        grown = sys.getallocatedblocks() - before
        least = grown if least is None else min(least, grown)
    return least

def check_leaks(label, call, prepare, failing):
    if not COUNTS_BLOCKS or not failing:
        return
    def repeat():
        for start, stop in failing:
            prepare()
            attempt(call, start, stop)
    # Warnings are ignored meanwhile: in development mode a failed os.walk leaves its scandir
    # iterator to a ResourceWarning whose text holds the iterator's address, and each new text
    # is one more entry in a warnings registry (os.walk in plain Python does the same).
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        repeat()
        small, large = growth(LEAK_REPEATS, repeat), growth(2 * LEAK_REPEATS, repeat)
    if large - small >= LEAK_REPEATS:
        findings.append(f"{label}: {len(failing)} failing calls repeated {LEAK_REPEATS} and "
                        f"{2 * LEAK_REPEATS} times left {small} and {large} blocks")

def sweep(label, call, entry, prepare=lambda: None, verify=None, every_from_n=True,
          limit=20000):
    """Sweeps `call` (its arguments made beforehand, so that the hooks fail only what the call
    itself allocates). `prepare` runs before every call, outside the hooks; `verify(ok,
    outcome, hooked)` returns what is wrong with the state a call left, or None. Without
    `every_from_n`, single failures only, until 200 indexes in a row succeed."""
    prepare()
    ok, expected = attempt(call, 10**9, 0)
    assert ok or not isinstance(expected, MemoryError), (label, expected)
    assert verify is None or verify(ok, expected, False) is None, (label, verify(ok, expected, False))
    failing = []
    # Every allocation from the n-th on first: its first success (or the case's own error)
    # comes once n passes the call's last allocation, which bounds the single failures.
    last_index = None
    for mode in ("all", "one") if every_from_n else ("one",):
        successes = 0
        for n in range(limit):
            stop = n + 1 if mode == "one" else 0
            prepare()
            faulthandler.dump_traceback_later(30, exit=True)
            ok, outcome = attempt(call, n, stop)
            faulthandler.cancel_dump_traceback_later()
            where = f"{label} [{mode} {n}]"
            if ok and isinstance(expected, BaseException):
                findings.append(f"{where}: succeeded where {describe(expected)} was due")
            elif ok and (type(outcome) is not type(expected) or outcome != expected):
                findings.append(f"{where}: wrong result {outcome!r}")
            elif not ok:
                failing.append((n, stop))
                check_error(where, mode, outcome, expected, entry)
            problem = verify and verify(ok, outcome, True)
            if problem:
                findings.append(f"{where}: {problem}")
            prepare()
            again_ok, again = attempt(call, 10**9, 0)
            same = (again_ok and type(again) is type(expected) and again == expected) or (
                not again_ok and isinstance(expected, BaseException) and same_error(again, expected))
            if not same:
                findings.append(f"{where}: the call again without hooks gave {again!r}")
            problem = verify and verify(again_ok, again, False)
            if problem:
                findings.append(f"{where}: the call again without hooks: {problem}")
            if mode == "all" and (ok or (not ok and isinstance(expected, BaseException)
                                         and same_error(outcome, expected))):
                break
            successes = successes + 1 if ok else 0
            if mode == "one" and (n > last_index + 50 if every_from_n else successes >= 200):
                break
        else:
            findings.append(f"{label} [{mode}]: never ended in {limit} indexes")
        last_index = n
    check_leaks(label, call, prepare, failing)
'''
)

CASES = {
    "find_origin": r'''
from tools.common.find_origin import find_origin
import json as some_module
E = "tools.common.find_origin.find_origin"
FILE = "/a/b/c.txt"
FUNCTION = some_module.dumps
sweep("find_origin(file)", lambda: find_origin(FILE), E)
sweep("find_origin(file=)", lambda: find_origin(file=FILE), E)
sweep("find_origin(func=module)", lambda: find_origin(func=some_module), E)
sweep("find_origin(func=function)", lambda: find_origin(func=FUNCTION), E)
sweep("find_origin(None, class)", lambda: find_origin(None, pathlib.Path), E)
sweep("find_origin(1, 2, 3)", lambda: find_origin(1, 2, 3), E)
sweep("find_origin(x=)", lambda: find_origin(x=1), E)
''',
    "hush_secret": r'''
from tools.common.hush_secret import hush_secret
E = "tools.common.hush_secret.hush_secret"
CONFIG = {"db": {"user": "u", "password": "pw", "hosts": ["a", ("b", None)]}, "n": [1, 2.5]}
MASKED = {"Password": "pw", "api_passwd": "x", "passwords": ["p", "q"], "pwd": 1}
INT_KEY = {"a": [1], 7: "x"}
class Name(str):
    pass
SUBCLASS_NAME = Name("password")
sweep("hush_secret(value=nested)", lambda: hush_secret(value=CONFIG), E)
sweep("hush_secret(value=masked strings)", lambda: hush_secret(value=MASKED), E)
sweep("hush_secret(name, value)", lambda: hush_secret("password", "secret"), E)
sweep("hush_secret(name=, value=)", lambda: hush_secret(name="user", value="secret"), E)
sweep("hush_secret(int key)", lambda: hush_secret(value=INT_KEY), E)
# A failed type test adds no entry for the function.
sweep("hush_secret(str subclass name)", lambda: hush_secret(SUBCLASS_NAME, "s"), None)
''',
    "veil_bulk_text": r'''
from tools.common.veil_bulk_text import veil_bulk_text
E = "tools.common.veil_bulk_text.veil_bulk_text"
BULK = {"a": "x" * 4100, "b": [1, ("y" * 5000, None)], "c": "short"}
TEXT = "z" * 4500
sys.set_int_max_str_digits(4300)
HUGE = {"n": 10 ** 5000, "m": [2]}  # its text conversion fails with ValueError
sweep("veil_bulk_text(nested with excerpts)", lambda: veil_bulk_text(BULK), E)
sweep("veil_bulk_text(value=text)", lambda: veil_bulk_text(value=TEXT), E)
sweep("veil_bulk_text(unconvertible leaf)", lambda: veil_bulk_text(value=HUGE), E)
''',
    "prop_keeper": r'''
from tools.common.prop_keeper import PropKeeper
class Owner:
    def __init__(self):
        self.__count = 1
        self.plain = 2
class Slotted:
    __slots__ = ("__hidden",)
    def __init__(self):
        self.__hidden = 3
OWNER = Owner()
SLOTTED = Slotted()
KEEPER = PropKeeper(OWNER, "__count")
SLOT_KEEPER = PropKeeper(SLOTTED, "__hidden")
E = "tools.common.prop_keeper.PropKeeper."
sweep("get_name", lambda: PropKeeper.get_name(OWNER, "__count"), E + "get_name")
sweep("get_name(obj=, name=)", lambda: PropKeeper.get_name(obj=SLOTTED, attr="__hidden"), E + "get_name")
sweep("get_attribute", lambda: PropKeeper.get_attribute(obj=OWNER, attr="__count"), E + "get_attribute")
sweep("get_attribute plain", lambda: PropKeeper.get_attribute(OWNER, "plain"), E + "get_attribute")
sweep("get_attribute missing", lambda: PropKeeper.get_attribute(OWNER, "__nope"), E + "get_attribute")
sweep("set_attribute", lambda: PropKeeper.set_attribute(OWNER, "__count", 1), E + "set_attribute")
sweep("set_attribute slot", lambda: PropKeeper.set_attribute(SLOTTED, "__hidden", 3), E + "set_attribute")
sweep("has_attribute", lambda: PropKeeper.has_attribute(OWNER, "__nope"), E + "has_attribute")
sweep("value", lambda: KEEPER.value, E + "value")
sweep("value of a slot", lambda: SLOT_KEEPER.value, E + "value")
sweep("name", lambda: KEEPER.name, E + "name")
sweep("exists", lambda: KEEPER.exists, E + "exists")
''',
    "folders": r'''
import shutil
from tools.folders.folders import Folder
TOP = tempfile.mkdtemp()
for name in ("a", "b"):
    os.mkdir(os.path.join(TOP, name))
    open(os.path.join(TOP, name, "f.txt"), "w").close()
TOP_PATH = pathlib.Path(TOP)
MISSING = TOP + "/missing"
EXISTING = TOP + "/a"
FRESH = TOP + "/fresh/deeper"
GONE = TOP + "/gone"
E = "tools.folders.folders.Folder."

def fresh_tree():
    shutil.rmtree(GONE, ignore_errors=True)
    os.makedirs(GONE + "/inner")
    open(GONE + "/inner/f.txt", "w").close()

def no_fresh_folder():
    for folder in (FRESH, TOP + "/fresh"):
        if os.path.isdir(folder):
            os.rmdir(folder)

def empty_folder():
    shutil.rmtree(GONE, ignore_errors=True)
    os.mkdir(GONE)

def created(ok, outcome, hooked):
    if ok and not os.path.isdir(FRESH):
        return "create succeeded, the folder is missing"

def removed(ok, outcome, hooked):
    if ok and os.path.exists(GONE):
        return "remove succeeded, the folder is still there"

sweep("exists", lambda: Folder.exists(TOP), E + "exists")
sweep("exists(Path)", lambda: Folder.exists(path=TOP_PATH), E + "exists")
sweep("count", lambda: Folder.count(TOP, folders=True), E + "count")
OS_WALK_SPINS = spins_in_plain_python(lambda: list(os.walk(top=TOP_PATH)))
RMTREE_SPINS = spins_in_plain_python(lambda: shutil.rmtree(GONE), fresh_tree)
# shutil.rmtree defines its error handler at each call (`def onexc(*args): raise`), and so
# meets control 5: its sweep would end in the interpreter's own crash.
RMTREE_DROPS_CODE = drops_a_code_reference(lambda: shutil.rmtree(GONE), shutil.rmtree, fresh_tree)
sweep("count recursive", lambda: Folder.count(TOP_PATH, recursive=True), E + "count",
      every_from_n=not OS_WALK_SPINS)
sweep("count missing", lambda: Folder.count(MISSING), E + "count")
sweep("count mask", lambda: Folder.count(MISSING, mask="*.txt"), E + "count")
sweep("create existing", lambda: Folder.create(path=EXISTING), E + "create")
sweep("create fresh", lambda: Folder.create(FRESH, True), E + "create", no_fresh_folder, created)
sweep("remove empty", lambda: Folder.remove(GONE), E + "remove", empty_folder, removed)
if not RMTREE_DROPS_CODE:
    sweep("remove tree", lambda: Folder.remove(GONE, recursive=True), E + "remove", fresh_tree,
          removed, every_from_n=not RMTREE_SPINS)
''',
    "boot_banner": r'''
import io
from tools.boot_banner.boot_banner import boot_banner
E = "tools.boot_banner.boot_banner.boot_banner"
OUT = io.StringIO()
sys.stdout = OUT  # the banners; the findings go to the real output at the end
# A fresh key for every call: made beforehand, and the last one's variable removed, so that
# the environment stays as large as it was.
KEYS = iter([f"k{i}" for i in range(200000)])
key = None

def fresh_key():
    global key
    if key is not None:
        os.environ.pop(f"banner:{key}", None)
        os.environ.pop(f"app:{key}", None)
    key = next(KEYS)
    OUT.seek(0)
    OUT.truncate()

LABELS = ("User: ", "Host: ", "OS Platform: ", "Python Version: ", "Implementation: ")
BANNER = []

def banner(ok, outcome, hooked):
    """A call that succeeded set its key and printed eight lines: framed by dashes as long as
    the lines beside them, and with the labels; a fact may read as the text of its error
    under the hooks, but without them each reads as the first banner's."""
    if not ok:
        return None
    if os.environ.get(f"banner:{key}") != "true":
        return "the key is not set"
    lines = OUT.getvalue().split("\n")
    if len(lines) != 9 or lines[8] != "":
        return f"not eight lines: {lines!r}"
    if lines[0] != "-" * len(lines[1]) or lines[7] != "-" * len(lines[6]):
        return f"rules do not fit: {lines!r}"
    if any(not line.startswith(label) for line, label in zip(lines[2:7], LABELS)):
        return f"labels missing: {lines!r}"
    if not BANNER:
        BANNER.extend(lines[2:7])
    elif not hooked and lines[2:7] != BANNER:
        return f"facts differ from the first banner: {lines[2:7]!r}"
    return None

sweep("boot_banner(key)", lambda: boot_banner("banner", key), E, fresh_key, banner)
sweep("boot_banner(keywords)", lambda: boot_banner(prefix="banner", name=key, separator=":"),
      E, fresh_key, banner)
sweep("boot_banner(None, key, None)", lambda: boot_banner(None, key, None), E, fresh_key)
sweep("boot_banner(4 arguments)", lambda: boot_banner("a", "b", "c", "d"), E)
sweep("boot_banner(int prefix)", lambda: boot_banner(prefix=1), None)  # a type test: no entry
sys.stdout = sys.__stdout__
''',
}

# Runs in the child: the import of one module, with the failing allocation at every index,
# each in a process forked for it (an import that succeeded cannot be undone). The import's
# own steps, create and exec, run under the hooks; the import system around them (Python
# code with large handlers) is kept out, as is the standard library the bodies import.
IMPORT_SWEEP = (
    COMMON
    + r'''
import _imp, importlib, importlib.util, io, contextlib, traceback
import typing, dataclasses, inspect, shutil, datetime, getpass, socket, platform, logger

NAME = sys.argv[1]
SPEC = importlib.util.find_spec(NAME)
TOP = tempfile.mkdtemp()
os.mkdir(os.path.join(TOP, "a"))
open(os.path.join(TOP, "f.txt"), "w").close()

class Owner:
    def __init__(self):
        self.__count = 3

def use(module):
    """A call of the module's function, as text, to compare with a clean import's."""
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = {
            "tools.common.find_origin": lambda: module.find_origin("/a/b/c.txt"),
            "tools.common.hush_secret": lambda: module.hush_secret(value={"password": "p", "n": [1]}),
            "tools.common.veil_bulk_text": lambda: module.veil_bulk_text(value={"a": "x" * 4100}),
            "tools.common.prop_keeper": lambda: module.PropKeeper.get_attribute(Owner(), "__count"),
            "tools.folders.folders": lambda: module.Folder.count(TOP, folders=True),
            "tools.boot_banner.boot_banner": lambda: module.boot_banner(prefix=f"p{os.getpid()}"),
        }[NAME]()
    return repr((result, out.getvalue().count("\n")))

def load(start, stop):
    _testcapi.set_nomemory(start, stop)
    try:
        module = _imp.create_dynamic(SPEC)
        _imp.exec_dynamic(module)
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        return False, error
    _testcapi.remove_mem_hooks()
    return True, module

# dataclasses makes functions at each use (`wrap` in `dataclass()`, and the methods it
# compiles for the class), and so meets control 5: once a failure lands in its code, the
# interpreter itself may crash or hand out freed objects, there or in the next import. Such
# an index is left out when control 5 shows it with `dataclass()` in plain Python: the
# failure's traceback, or the crash's, passes through dataclasses or the code it compiles.
DATACLASS_DROPS_CODE = drops_a_code_reference(lambda: dataclasses.dataclass(frozen=True),
                                              dataclasses.dataclass)

def in_dataclasses(text):
    """Whether a trace passes through dataclasses or the methods it compiles (made by its
    `__create_fn__`; their file is "<string>", as this harness's own is)."""
    return DATACLASS_DROPS_CODE and ("dataclasses.py" in text or "__create_fn__" in text)

def trace_of(error):
    return "".join(traceback.format_exception(error))

def in_child(start, stop, report):
    """Reports whether the import at this index failed inside dataclasses, then whether it
    succeeded and what is wrong with it or with the next import, or None."""
    ok, outcome = load(start, stop)
    report({"dataclasses": not ok and in_dataclasses(trace_of(outcome))})
    if ok:
        return True, None if use(outcome) == CLEAN else f"the imported module gave {use(outcome)}"
    errors = chain(outcome)
    if not interpreters_own(outcome) and (
            any(isinstance(e, SystemError) for e in errors)
            or not any(isinstance(e, MemoryError) for e in errors)):
        return False, f"import failed with {' <- '.join(map(describe, errors))}"
    sys.modules.pop(NAME, None)  # as the import system does when exec fails
    try:
        module = importlib.import_module(NAME)
    except BaseException as error:
        return False, f"after {describe(outcome)}, the next import failed: {describe(error)}"
    return False, None if use(module) == CLEAN else f"after {describe(outcome)}: {use(module)}"

def forked(start, stop):
    """(succeeded, problem) of the import at one index, in a forked process."""
    read, write = os.pipe()
    crash = tempfile.TemporaryFile()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.dup2(crash.fileno(), 2)  # where faulthandler writes the Python stack of a crash
        signal.alarm(20)  # the default action ends the process: "died"
        def report(line):
            os.write(write, (json.dumps(line) + "\n").encode())
        try:
            report(in_child(start, stop, report))
        except BaseException as error:
            report([False, f"the check itself failed: {describe(error)}"])
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        lines = [json.loads(line) for line in pipe.read().splitlines()]
    _, status = os.waitpid(pid, 0)
    crash.seek(0)
    left_out = (lines and lines[0]["dataclasses"]) or (
        not lines and in_dataclasses(crash.read().decode(errors="replace")))
    if left_out:
        return False, None
    if status != 0 or len(lines) != 2:
        return False, f"died (wait status {status})"
    return lines[1]

def clean_use():
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.write(write, use(importlib.import_module(NAME)).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        text = pipe.read().decode()
    os.waitpid(pid, 0)
    return text

CLEAN = clean_use()
# veil_bulk_text's body makes its `_Const` class with dataclasses, whose Python code spins in
# the interpreter itself once every allocation fails (control 4, with a plain class): its
# import is swept with single failures only.
def plain_dataclass():
    return dataclasses.dataclass(frozen=True)(
        type("_Const", (), {"__annotations__": {"char_limit": int}, "char_limit": 4000}))

EVERY_FROM_N = NAME != "tools.common.veil_bulk_text" or not spins_in_plain_python(plain_dataclass)
indexes = 0
# Every allocation from n on (where the body's code allows it), then single failures: they
# end after a run of successes as long as the one that ended the first mode's sweep.
last_index = None
for mode in ("all", "one") if EVERY_FROM_N else ("one",):
    successes = 0
    for n in range(20000):
        indexes += 1
        stop = 0 if mode == "all" else n + 1
        ok, problem = forked(n, stop)
        if problem:
            findings.append(f"{NAME} [{mode} {n}]: {problem}")
        successes = successes + 1 if ok else 0
        if mode == "all" and ok:
            break
        if mode == "one" and (n > last_index + 50 if last_index is not None else successes > 100):
            break
    else:
        findings.append(f"{NAME} [{mode}]: never ended")
    last_index = n
print(json.dumps({"findings": findings, "indexes": indexes}))
sys.exit(0)
'''
)

MODULES = {
    "boot_banner": "tools.boot_banner.boot_banner",
    "find_origin": "tools.common.find_origin",
    "folders": "tools.folders.folders",
    "hush_secret": "tools.common.hush_secret",
    "prop_keeper": "tools.common.prop_keeper",
    "veil_bulk_text": "tools.common.veil_bulk_text",
}


def run_child(tmp_path, script, *args):
    (tmp_path / "logger.py").write_text(LOGGER)
    flags = ["-X", "dev"] if sys.flags.dev_mode else []
    return subprocess.run([sys.executable, *flags, "-X", "faulthandler", "-c", script, *args],
                          cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(tmp_path)),
                          capture_output=True, text=True, timeout=900)


def last_json(tmp_path, script, *args):
    done = run_child(tmp_path, script, *args)
    assert done.returncode == 0, f"child failed ({done.returncode}):\n{done.stderr[-4000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def run_sweep(tmp_path, code):
    return last_json(tmp_path, SWEEP + textwrap.dedent(code) + "\nprint(json.dumps(findings))\n")


@pytest.fixture(scope="module", autouse=True)
def interpreter_survives_the_hooks(tmp_path_factory):
    """The harness alone, with its plain-Python controls: where the interpreter itself dies
    under the hooks there is nothing of the package to sweep. A debug build of 3.13.5 does:
    it aborts on its own assertion (ceval.c, "_PyErr_Occurred(tstate)") while it unwinds the
    control's plain Python frame after a failed allocation."""
    done = run_child(tmp_path_factory.mktemp("control"), COMMON)
    if done.returncode < 0:
        last = done.stderr.strip().splitlines()[:1]
        pytest.skip(f"the interpreter dies under the hooks in plain Python code: {last}")
    assert done.returncode == 0, done.stderr[-4000:]


# Open: the leak check's repeats of failing calls can die with SIGSEGV in pathlib's own Python
# code (Path(...).parent, Path.mkdir -> _parse_path), in the sweeps of find_origin and Folder,
# which call Path; which build meets it depends on where the failing indexes fall. A core dump
# shows the interpreter's own fault: _parse_path's sys.intern() grows the interned-strings
# dict with PyDict_SetDefaultRef, and an earlier failed resize of that dict, reported as a
# success (the same fault as dict.setdefault's), makes this resize read an entry that is not
# there. The harness has no control that leaves exactly this out yet, so every call sweep
# stays an expected failure (non-strict) until one does.
@pytest.mark.xfail(reason="open: see above", strict=False)
@pytest.mark.parametrize("module", sorted(CASES))
def test_every_allocation_failure(tmp_path, module):
    findings = run_sweep(tmp_path, CASES[module])
    assert findings == [], "\n".join(findings[:40])


# Open: the import of veil_bulk_text still dies at a few single failures (0 to 5 of 2 600
# indexes, varying from run to run), after a failure in `type()` making `_Const` or in
# dataclasses' code. Both fail in plain Python too: `type("_Const", (), namespace)` with the
# same namespace, under single failures and then used cleanly, dies (dict.setdefault, which
# reports success for a failed resize), and dataclasses meets control 5. Native stacks of such
# crashes, taken by hand under gdb, lie wholly in the interpreter: a resize inside type()'s own
# readying of the class (type_dict_set_doc) meeting an entry with no key, and the dealloc of a
# function whose frame could not be pushed (control 5). The sweep cannot take native stacks
# itself, so it does not yet tell them apart from the package's own.
@pytest.mark.parametrize("module", [
    pytest.param(m, marks=pytest.mark.xfail(reason="open: see above", strict=False))
    if m == "veil_bulk_text" else m
    for m in sorted(MODULES)])
def test_every_allocation_failure_of_an_import(tmp_path, module):
    report = last_json(tmp_path, IMPORT_SWEEP, MODULES[module])
    assert report["indexes"] > 100  # the sweep reached into the module body
    assert report["findings"] == [], "\n".join(report["findings"][:40])


# The exception in flight is never lost: when its traceback entry cannot be added, the
# MemoryError raised instead has it as its context (the interpreter's own rule). The calls
# are made straight from the module's code, without a frame of their own.
REPRODUCER = r"""
import _testcapi, gc, json
from tools.common.hush_secret import hush_secret
from tools.common.prop_keeper import PropKeeper

def names(error):
    found, tb = [], error.__traceback__
    while tb:
        found.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return found

v = {"a": [1], 7: "x"}
lost = []
for entry in ("tools.common.hush_secret.hush_secret",
              "tools.common.prop_keeper.PropKeeper.get_attribute"):
    for n in range(200):
        gc.collect()
        _testcapi.set_nomemory(n, n + 1)
        try:
            if entry.endswith("hush_secret"):
                hush_secret(value=v)
            else:
                PropKeeper.get_attribute(1, "nope")
            _testcapi.remove_mem_hooks()
            break
        except BaseException as e:
            err = e
        finally:
            _testcapi.remove_mem_hooks()
        if entry not in names(err) and not (isinstance(err, MemoryError) and err.__context__):
            lost.append(f"{entry} [{n}]: {err!r} without its entry")
print(json.dumps(lost))
"""


def test_an_entry_that_cannot_be_added_raises_memory_error_with_the_error_as_context(tmp_path):
    assert last_json(tmp_path, REPRODUCER) == []
