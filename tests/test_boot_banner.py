"""tools.boot_banner.boot_banner: the banner, its once-only marker and its failures.

Every call of boot_banner changes the process environment, so each scenario runs in a fresh
child interpreter (the `child` fixture); only the import-time surface is checked in-process.
"""

import getpass
import inspect
import itertools
import json
import pathlib
import platform
import socket
import sys
import textwrap
from datetime import datetime

import pytest

import tools.boot_banner.boot_banner as module
from tools.boot_banner.boot_banner import boot_banner

SOURCE = "src/tools/boot_banner/boot_banner.py"
FUNCTION = "tools.boot_banner.boot_banner.boot_banner"
DATE_FORMAT = "%Y-%m-%d %H:%M:%S.%f"
KEYS = ["app:main", "svc/worker", "svc:worker", "svc:main", "app:worker", "x"]

# Runs ahead of every scenario in the child. `printed` captures what one call writes (and
# insists that the call returns None); `report` hands the results back as the last line.
PRELUDE = """\
import contextlib, io, json, os, sys, traceback, types
import tools.boot_banner.boot_banner as module
from tools.boot_banner.boot_banner import boot_banner

def printed(*args, **kwargs):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert boot_banner(*args, **kwargs) is None
    return out.getvalue()

def entries(error):
    # This module's own traceback entries: (function name, line).
    return [(f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename == "src/tools/boot_banner/boot_banner.py"]

def report(**results):
    print(json.dumps(results))
"""


@pytest.fixture(autouse=True)
def clean_keys(monkeypatch):
    """No key of these tests reaches a child from the environment this suite runs in."""
    for key in KEYS:
        monkeypatch.delenv(key, raising=False)


def run(child, code, env=None):
    """Runs a scenario; returns what it reported and everything it wrote before that."""
    done = child.run(PRELUDE + textwrap.dedent(code), env=env)
    *before, last = done.stdout.split("\n")[:-1]
    return json.loads(last), "".join(line + "\n" for line in before)


def banner_lines(text):
    """The eight lines of one printed banner, checked for the shape every banner has."""
    assert text.endswith("\n")
    lines = text[:-1].split("\n")
    assert len(lines) == 8, lines
    assert lines[0] == "-" * len(lines[1])
    assert lines[7] == "-" * len(lines[6])
    labels = ["User: ", "Host: ", "OS Platform: ", "Python Version: ", "Implementation: "]
    for line, label in zip(lines[2:7], labels):
        assert line.startswith(label)
    return lines


# --- the banner --------------------------------------------------------------------------


def test_first_call_prints_the_banner_and_sets_the_marker(child):
    results, out = run(
        child,
        """
        import getpass, platform, socket
        from datetime import datetime

        def fact(source):
            try:
                return str(source())
            except Exception as error:
                return str(error)

        before = datetime.now()
        first = boot_banner()
        after = datetime.now()
        second = boot_banner()
        report(
            first=repr(first), second=repr(second), marker=os.environ.get("app:main"),
            before=before.isoformat(), after=after.isoformat(),
            facts=[fact(getpass.getuser), fact(socket.getfqdn),
                   fact(lambda: platform.platform(aliased=True)), sys.version,
                   fact(platform.python_implementation)],
        )
        """,
    )
    assert results["first"] == results["second"] == "None"
    assert results["marker"] == "true"
    lines = banner_lines(out)  # the second call added nothing to stdout
    stamp = datetime.strptime(lines[1], DATE_FORMAT)
    assert lines[1] == stamp.strftime(DATE_FORMAT)
    assert len(lines[0]) == 26
    before, after = (datetime.fromisoformat(results[k]) for k in ("before", "after"))
    assert before <= stamp <= after
    user, host, os_platform, py_version, py_implementation = results["facts"]
    assert lines[2:7] == [
        f"User: {user}",
        f"Host: {host}",
        f"OS Platform: {os_platform}",
        f"Python Version: {py_version}",
        f"Implementation: {py_implementation}",
    ]


@pytest.mark.parametrize(
    ("preset", "prints"),
    [("true", False), ("True", True), ("1", True), ("", True), ("true ", True), ("false", True)],
)
def test_a_preset_marker_silences_only_when_it_is_exactly_true(child, preset, prints):
    results, _ = run(
        child,
        """
        report(first=printed(), second=printed(), marker=os.environ["app:main"])
        """,
        env={"app:main": preset},
    )
    if prints:
        banner_lines(results["first"])
    else:
        assert results["first"] == ""
    assert results["second"] == ""
    assert results["marker"] == "true"


@pytest.mark.parametrize(
    ("call", "key"),
    [
        ("()", "app:main"),
        ("(None, None, None)", "app:main"),
        ("('app', 'main', ':')", "app:main"),
        ("(''.join(['ap', 'p']), ''.join(['ma', 'in']))", "app:main"),  # equal, not the same
        ("('svc', 'worker', '/')", "svc/worker"),
        ("(separator='/', name='worker', prefix='svc')", "svc/worker"),
        ("('svc', 'worker')", "svc:worker"),
        ("('svc', separator=None)", "svc:main"),
        ("(None, 'worker', None)", "app:worker"),
        ("('', 'x', '')", "x"),
    ],
)
def test_the_key_is_prefix_separator_name(child, call, key):
    results, _ = run(
        child,
        f"""
        before = set(os.environ)
        first = printed{call}
        added = sorted(set(os.environ) - before)
        report(first=first, second=printed{call}, added=added,
               marker=os.environ.get({key!r}))
        """,
    )
    banner_lines(results["first"])
    assert results["added"] == [key]
    assert results["marker"] == "true"
    assert results["second"] == ""


def test_each_key_prints_once(child):
    results, _ = run(
        child,
        """
        keys = [("svc", "worker", "/"), ("app", "main", ":"), ("svc", "worker", ":")]
        report(outputs=[printed(*key) for key in keys + keys])
        """,
    )
    first_round, second_round = results["outputs"][:3], results["outputs"][3:]
    for out in first_round:
        banner_lines(out)
    assert second_round == ["", "", ""]


def test_keys_of_every_character_width(child):
    # One byte, two bytes and four bytes per character, and empty parts, in every position.
    parts = ["", "ab", "é", "ω名", "😀"]
    cases = [c for c in itertools.product(parts, repeat=3) if "".join(c)]
    results, _ = run(
        child,
        f"""
        failures = []
        for prefix, name, separator in {cases!r}:
            key = prefix + separator + name
            os.environ.pop(key, None)  # several cases share a key
            out = printed(prefix, name, separator)
            if out.count("\\n") != 8 or os.environ.get(key) != "true" or printed(
                    prefix, name, separator):
                failures.append([prefix, name, separator])
        report(failures=failures, count=len({cases!r}))
        """,
    )
    assert results == {"failures": [], "count": len(cases)}


def test_a_later_child_process_inherits_the_marker(child):
    results, _ = run(
        child,
        """
        import subprocess
        first = printed()
        def spawn(*args):
            code = f"from tools.boot_banner.boot_banner import boot_banner; boot_banner{args!r}"
            return subprocess.run([sys.executable, "-c", code], capture_output=True,
                                  text=True, check=True).stdout
        report(first=first, same_key=spawn(), other_key=spawn("svc", "worker", "/"))
        """,
    )
    banner_lines(results["first"])
    assert results["same_key"] == ""
    banner_lines(results["other_key"])


# --- argument errors ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message", "noted", "lines"),
    [
        ("(1)", "Argument 'prefix' has incorrect type (expected str, got int)", False, []),
        ("(1, 2.0)", "Argument 'prefix' has incorrect type (expected str, got int)", False, []),
        ("(name=S('x'))", "Argument 'name' has incorrect type (expected str, got S)", True, []),
        (
            "('a', 'b', b':')",
            "Argument 'separator' has incorrect type (expected str, got bytes)",
            False,
            [],
        ),
        ("('a', 'b', ':', 'd')", "boot_banner() takes at most 3 positional arguments (4 given)",
         False, [9]),
        ("('a', prefix='b')", "boot_banner() got multiple values for keyword argument 'prefix'",
         False, [9]),
        ("(key='x')", "boot_banner() got an unexpected keyword argument 'key'", False, [9]),
    ],
)
def test_argument_errors_leave_the_environment_untouched(child, call, message, noted, lines):
    results, out = run(
        child,
        f"""
        class S(str):
            pass

        before = dict(os.environ)
        try:
            boot_banner{call}
        except TypeError as error:
            report(message=str(error), notes=getattr(error, "__notes__", []),
                   entries=entries(error), untouched=dict(os.environ) == before)
        else:
            report(message=None)
        """,
    )
    assert out == ""
    assert results["message"] == message
    assert bool(results["notes"]) is noted
    assert results["entries"] == [[FUNCTION, line] for line in lines]
    assert results["untouched"]


# --- facts -------------------------------------------------------------------------------

FACTS = [  # module attribute, line index, label
    ("getuser", 2, "User: "),
    ("getfqdn", 3, "Host: "),
    ("platform", 4, "OS Platform: "),
    ("version", 5, "Python Version: "),
    ("python_implementation", 6, "Implementation: "),
]


@pytest.mark.parametrize(("attribute", "index", "label"), FACTS)
def test_a_removed_fact_source_shows_its_name_error(child, attribute, index, label):
    results, _ = run(
        child,
        f"""
        expected = printed()
        del os.environ["app:main"]
        delattr(module, {attribute!r})
        report(expected=expected, out=printed())
        """,
    )
    expected, lines = banner_lines(results["expected"]), banner_lines(results["out"])
    assert lines[index] == f"{label}name '{attribute}' is not defined"
    others = [i for i in range(2, 7) if i != index]
    assert [lines[i] for i in others] == [expected[i] for i in others]


@pytest.mark.parametrize(("attribute", "index", "label"), [f for f in FACTS if f[0] != "version"])
def test_a_failing_fact_shows_its_error_text(child, attribute, index, label):
    results, _ = run(
        child,
        f"""
        class NoFact(LookupError):
            def __str__(self):
                return "cannot tell: " + self.args[0]

        def failing(*args, **kwargs):
            raise NoFact({attribute!r})

        setattr(module, {attribute!r}, failing)
        report(out=printed(), marker=os.environ["app:main"])
        """,
    )
    lines = banner_lines(results["out"])
    assert lines[index] == f"{label}cannot tell: {attribute}"
    assert results["marker"] == "true"


def test_rebound_sources_are_used_in_order_after_the_marker(child):
    results, _ = run(
        child,
        """
        calls = []

        def fake(name, value):
            def source(*args, **kwargs):
                calls.append([name, list(args), kwargs, os.environ.get("app:main")])
                return value
            return source

        class Moment:
            def strftime(self, format):
                calls.append(["strftime", [format], {}, os.environ.get("app:main")])
                return "1999-12-31"

        module.datetime = types.SimpleNamespace(now=fake("now", Moment()))
        module.getuser = fake("getuser", "alice")
        module.getfqdn = fake("getfqdn", "box.example")
        module.platform = fake("platform", "Plan9")
        module.version = 42
        module.python_implementation = fake("python_implementation", "TinyPy")
        report(out=printed(), calls=calls)
        """,
    )
    assert banner_lines(results["out"]) == [
        "-" * 10,
        "1999-12-31",
        "User: alice",
        "Host: box.example",
        "OS Platform: Plan9",
        "Python Version: 42",
        "Implementation: TinyPy",
        "-" * 22,
    ]
    assert results["calls"] == [
        ["now", [], {}, "true"],
        ["strftime", [DATE_FORMAT], {}, "true"],
        ["getuser", [], {}, "true"],
        ["getfqdn", [], {}, "true"],
        ["platform", [], {"aliased": True}, "true"],
        ["python_implementation", [], {}, "true"],
    ]


def test_a_rebound_os_holds_the_marker(child):
    results, _ = run(
        child,
        """
        class Environ(dict):
            def get(self, key):
                self.setdefault("asked", []).append(key)
                return super().get(key)

        environ = Environ()
        module.os = types.SimpleNamespace(environ=environ)
        first, second = printed("svc", "worker", "/"), printed("svc", "worker", "/")
        report(first=first, second=second, fake=environ, real=os.environ.get("svc/worker"))
        """,
    )
    banner_lines(results["first"])
    assert results["second"] == ""
    assert results["fake"] == {"asked": ["svc/worker", "svc/worker"], "svc/worker": "true"}
    assert results["real"] is None


def test_print_is_the_builtin_fetched_at_import(child):
    results, out = run(
        child,
        """
        import builtins
        original = builtins.print
        seen = []
        builtins.print = module.print = seen.append
        try:
            boot_banner()
        finally:
            builtins.print = original
        report(seen=seen)
        """,
    )
    assert results["seen"] == []
    banner_lines(out)


# --- failures ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("setup", "call", "error", "line"),
    [
        pytest.param(
            "del module.os", "()", "NameError: name 'os' is not defined", 25, id="no-os"
        ),
        pytest.param(
            "module.os = types.SimpleNamespace(environ=types.SimpleNamespace())",
            "()",
            "AttributeError: 'types.SimpleNamespace' object has no attribute 'get'",
            25,
            id="environ-without-get",
        ),
        pytest.param(
            "",
            "('app', 'main', '=')",
            "ValueError: illegal environment variable name",
            27,
            id="key-with-equals",
        ),
        pytest.param(
            "", "('app', 'ma\\0in')", "ValueError: embedded null byte", 27, id="key-with-nul"
        ),
        pytest.param(
            "", "('', '', '')", "OSError: [Errno 22] Invalid argument", 27, id="empty-key"
        ),
    ],
)
def test_errors_before_the_marker_set_nothing(child, setup, call, error, line):
    results, _ = run(
        child,
        f"""
        {setup}
        before = dict(os.environ)
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out):
                boot_banner{call}
        except BaseException as e:
            report(error=f"{{type(e).__name__}}: {{e}}", entries=entries(e),
                   out=out.getvalue(), untouched=dict(os.environ) == before)
        else:
            report(error=None)
        """,
    )
    assert results == {
        "error": error,
        "entries": [[FUNCTION, line]],
        "out": "",
        "untouched": True,
    }


@pytest.mark.parametrize(
    ("setup", "error", "line"),
    [
        pytest.param(
            "module.datetime = types.SimpleNamespace(now=raising(ZeroDivisionError('no clock')))",
            "ZeroDivisionError: no clock",
            29,
            id="now",
        ),
        pytest.param(
            "module.datetime = types.SimpleNamespace(now=lambda: types.SimpleNamespace("
            "strftime=lambda format: 12345))",
            "TypeError: object of type 'int' has no len()",
            30,
            id="date-without-length",
        ),
        pytest.param(
            "module.getuser = lambda: Unformattable()",
            "RuntimeError: no text",
            36,
            id="value-without-text",
        ),
        pytest.param(
            "module.getfqdn = raising(Mute())",
            "RuntimeError: no text either",
            41,
            id="error-without-text",
        ),
        pytest.param(
            "module.getuser = raising(KeyboardInterrupt('stop'))",
            "KeyboardInterrupt: stop",
            33,
            id="KeyboardInterrupt",
        ),
        pytest.param(
            "module.platform = raising(SystemExit(3))", "SystemExit: 3", 43, id="SystemExit"
        ),
        pytest.param(
            "module.python_implementation = raising(GeneratorExit('done'))",
            "GeneratorExit: done",
            53,
            id="GeneratorExit",
        ),
        pytest.param(
            "stream.close()", "ValueError: I/O operation on closed file", 59, id="print"
        ),
    ],
)
def test_errors_after_the_marker_propagate_and_keep_it(child, setup, error, line):
    results, _ = run(
        child,
        f"""
        def raising(error):
            def source(*args, **kwargs):
                raise error
            return source

        class Unformattable:
            def __format__(self, format_spec):
                raise RuntimeError("no text")

        class Mute(OSError):
            def __str__(self):
                raise RuntimeError("no text either")

        stream = io.StringIO()
        {setup}
        try:
            with contextlib.redirect_stdout(stream):
                boot_banner()
        except BaseException as e:
            failure = dict(error=f"{{type(e).__name__}}: {{e}}", entries=entries(e))
        else:
            failure = dict(error=None, entries=[])
        out = "" if stream.closed else stream.getvalue()
        report(**failure, out=out, marker=os.environ.get("app:main"), again=printed())
        """,
    )
    assert results == {
        "error": error,
        "entries": [[FUNCTION, line]],
        "out": "",
        "marker": "true",
        "again": "",
    }


def test_a_fact_that_interrupts_stops_the_gathering(child):
    results, _ = run(
        child,
        """
        gathered = []
        def interrupted():
            gathered.append("getfqdn")
            raise KeyboardInterrupt
        def later(**kwargs):
            gathered.append("platform")
            return "later"
        module.getfqdn, module.platform = interrupted, later
        try:
            boot_banner()
        except KeyboardInterrupt:
            report(gathered=gathered)
        else:
            report(gathered=None)
        """,
    )
    assert results["gathered"] == ["getfqdn"]


# --- the function and its module ---------------------------------------------------------


def test_function_attributes():
    assert boot_banner.__name__ == boot_banner.__qualname__ == "boot_banner"
    assert boot_banner.__module__ == "tools.boot_banner.boot_banner"
    assert boot_banner.__defaults__ == ("app", "main", ":")
    assert list(boot_banner.__annotations__.items()) == [
        ("prefix", "str"),
        ("name", "str"),
        ("separator", "str"),
    ]
    assert boot_banner.__doc__ == (
        "\n        Log Boot Banner.\n\n        :param prefix: 'app-name'\n"
        "        :param name: 'var-name'\n        :param separator: 'separator'\n"
        "        :return:\n        "
    )
    code = boot_banner.__code__
    assert code.co_varnames == (
        "prefix", "name", "separator", "var_name", "info", "execution_date", "user", "exc",
        "host", "os_platform", "py_version", "py_implementation", "py_implementation_",
    )
    assert (code.co_argcount, code.co_filename, code.co_firstlineno) == (3, SOURCE, 9)
    assert str(inspect.signature(boot_banner)) == (
        "(prefix: 'str' = 'app', name: 'str' = 'main', separator: 'str' = ':')"
    )


def test_module_namespace():
    names = [name for name in vars(module) if not name.startswith("__")]
    assert names == [
        "os", "datetime", "getuser", "getfqdn", "platform", "python_implementation",
        "version", "boot_banner",
    ]
    import os

    assert module.os is os
    assert module.datetime is datetime
    assert module.getuser is getpass.getuser
    assert module.getfqdn is socket.getfqdn
    assert module.platform is platform.platform
    assert module.python_implementation is platform.python_implementation
    assert module.version == sys.version
    assert module.__doc__ is None
    assert module.__test__ == {}


def test_demo_section_shows_the_banner_once(child):
    examples = pathlib.Path(__file__).resolve().parents[1] / "examples"
    results, out = run(
        child,
        f"""
        sys.path.insert(0, {str(examples)!r})
        import show_boot_banner
        show_boot_banner.show()
        report(marker=os.environ.get(show_boot_banner.KEY))
        """,
        env={"demo:show_boot_banner": "true"},  # left behind by an earlier run
    )
    assert results["marker"] == "true"
    lines = out.split("\n")
    banner_lines("\n".join(lines[1:9]) + "\n")
    assert "a second call prints nothing:            ''" in out
    assert out.count("Implementation: ") == 1
