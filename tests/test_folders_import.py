"""How tools.folders.folders meets `logger` at import, each case in a fresh interpreter.

A module initialises once per process, so every case runs in a child interpreter whose
working folder holds the `logger.py` that the case needs (or none).
"""

import json
import textwrap

import pytest

SOURCE = "src/tools/folders/folders.py"
INIT = "init tools.folders.folders"
CLASS_BODY = "tools.folders.folders.Folder"
DECORATOR_LINES = {"exists": 10, "create": 22, "count": 36, "remove": 74}

# Records every call of the factory and of the decorators it returns; the decorator returns a
# static method of its own, so the tests can see that its result is what callers reach.
RECORDING_LOGGER = """
import sys

events = []
failing = {}  # "logging" or "decorator" -> the method whose call raises
raised = []

def _fail_if(stage, name):
    if failing.get(stage) == name:
        raised.append(RuntimeError(f"{stage} refused {name}"))
        raise raised[-1]

def logging(*args, **kwargs):
    module = sys.modules["tools.folders.folders"]
    factory_calls = sum(1 for event in events if event[0] == "logging")
    name = ["exists", "create", "count", "remove"][factory_calls % 4]
    events.append(("logging", args, kwargs, "Folder" in vars(module), module))
    _fail_if("logging", name)

    def decorator(*args, **kwargs):
        events.append(("decorator", args, kwargs))
        _fail_if("decorator", name)
        label = args[0].__func__.__name__
        return staticmethod(lambda *a, **k: ("through the decorator", label, a, k))

    return decorator
"""

# A module body that reports what a failed import raised, as JSON.
REPORT = """
import importlib, json, os, sys, traceback
sys.dont_write_bytecode = True

def attempt():
    importlib.invalidate_caches()
    try:
        module = importlib.import_module("tools.folders.folders")
    except BaseException as error:
        attempt.error = error
        entries = [[entry.filename, entry.name, entry.lineno]
                   for entry in traceback.extract_tb(error.__traceback__)
                   if entry.filename.startswith("src/")]
        return {"error": type(error).__name__, "message": str(error), "entries": entries}
    return {"module": module}
"""


def run_json(child, body):
    done = child.run(REPORT + textwrap.dedent(body))
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_logging_is_called_once_per_method_and_its_decorator_result_is_bound(child):
    (child.cwd / "logger.py").write_text(RECORDING_LOGGER)
    report = run_json(child, """
        import logger
        from tools.folders.folders import Folder
        summary = []
        for event in logger.events:
            if event[0] == "logging":
                _, args, kwargs, class_bound, _ = event
                summary.append(["logging", list(args), kwargs, class_bound])
            else:
                _, args, kwargs = event
                method = args[0]
                summary.append(["decorator", len(args), sorted(kwargs), type(method).__name__,
                                type(method.__func__).__name__, method.__func__.__qualname__])
        calls = {name: getattr(Folder, name)(1, x=2) for name in ["exists", "create", "count", "remove"]}
        print(json.dumps({"events": summary, "calls": calls}))
    """)
    expected = []
    for name in ["exists", "create", "count", "remove"]:
        expected.append(["logging", [], {"prefix": "tools.folders.folders"}, False])
        expected.append(["decorator", 1, [], "staticmethod", "nativefunction", f"Folder.{name}"])
    assert report["events"] == expected
    assert report["calls"] == {
        name: ["through the decorator", name, [1], {"x": 2}]
        for name in ["exists", "create", "count", "remove"]
    }


GOOD_LOGGER = "def logging(prefix):\n    return lambda method: method\n"


@pytest.mark.parametrize(
    "logger_source, error, message",
    [
        (None, "ModuleNotFoundError", "No module named 'logger'"),
        ("", "ImportError", "cannot import name 'logging'"),
        ("logger = None\n", "ImportError", "cannot import name 'logging'"),
        ("raise LookupError('the host logger is broken')\n", "LookupError",
         "the host logger is broken"),
    ],
)
def test_import_fails_without_a_usable_logger_and_succeeds_later(child, logger_source, error,
                                                                 message):
    if logger_source is not None:
        (child.cwd / "logger.py").write_text(logger_source)
    report = run_json(child, f"""
        failed = attempt()
        with open("logger.py", "w") as file:
            file.write({GOOD_LOGGER!r})
        sys.modules.pop("logger", None)
        later = attempt()
        Folder = later["module"].Folder
        print(json.dumps({{"failed": failed, "count": Folder.count(".")}}))
    """)
    assert report["failed"] == {
        "error": error,
        "message": message,
        "entries": [[SOURCE, INIT, 1]],
    }
    assert report["count"] == 1  # logger.py itself


@pytest.mark.parametrize("stage", ["logging", "decorator"])
@pytest.mark.parametrize("method", ["exists", "create", "count", "remove"])
def test_a_failing_decorator_fails_the_import_and_a_later_one_succeeds(child, stage, method):
    (child.cwd / "logger.py").write_text(RECORDING_LOGGER)
    report = run_json(child, f"""
        import logger
        logger.failing[{stage!r}] = {method!r}
        failed = attempt()
        first_module = logger.events[0][4]
        same_error = failed.pop("error") == "RuntimeError" and attempt.error is logger.raised[0]
        calls_before = len(logger.events)
        logger.failing.clear()
        later = attempt()["module"]
        print(json.dumps({{
            "failed": failed,
            "same_error": same_error,
            "partly_built_class_bound": "Folder" in vars(first_module),
            "new_module": later is not first_module,
            "calls_later": [event[0] for event in logger.events[calls_before:]],
            "exists_later": later.Folder.exists("."),
        }}))
    """)
    assert report["failed"] == {
        "message": f"{stage} refused {method}",
        "entries": [[SOURCE, INIT, 7], [SOURCE, CLASS_BODY, DECORATOR_LINES[method]]],
    }
    assert report["same_error"]
    assert not report["partly_built_class_bound"]
    assert report["new_module"]
    assert report["calls_later"] == ["logging", "decorator"] * 4
    assert report["exists_later"] == ["through the decorator", "exists", ["."], {}]


def test_the_prefix_is_the_module_name(child):
    # Loaded under another name, the module passes that name on.
    (child.cwd / "logger.py").write_text(RECORDING_LOGGER)
    report = run_json(child, """
        import importlib.util, logger, tools.folders
        from importlib.machinery import EXTENSION_SUFFIXES
        folder = tools.folders.__path__[0]
        file = next(f"{folder}/folders{suffix}" for suffix in EXTENSION_SUFFIXES
                    if os.path.exists(f"{folder}/folders{suffix}"))
        import_spec = importlib.util.spec_from_file_location("elsewhere.folders", file)
        module = importlib.util.module_from_spec(import_spec)
        import_spec.loader.exec_module(module)
        print(json.dumps([module.__name__, [event[2] for event in logger.events if event[0] == "logging"],
                          sys.modules["tools.folders.folders"] is module]))
    """)
    assert report == ["elsewhere.folders", [{"prefix": "elsewhere.folders"}] * 4, True]


def test_the_decorator_result_need_not_be_a_static_method(child):
    (child.cwd / "logger.py").write_text(
        "def logging(prefix):\n    return lambda method: (prefix, type(method).__name__)\n")
    report = run_json(child, """
        Folder = attempt()["module"].Folder
        print(json.dumps([Folder.exists, Folder.remove]))
    """)
    assert report == [["tools.folders.folders", "staticmethod"]] * 2


def test_builtins_are_fetched_once_at_import(child):
    (child.cwd / "logger.py").write_text(GOOD_LOGGER)
    report = run_json(child, """
        # Everything else is imported first, so that only the module body meets the stand-ins.
        import builtins, logger, pathlib, shutil
        importlib.invalidate_caches()
        real_any, real_staticmethod = builtins.any, builtins.staticmethod
        asked, wrapped = [], []
        builtins.any = lambda pair: asked.append(pair) or real_any(pair)
        builtins.staticmethod = lambda function: wrapped.append(function.__name__) or real_staticmethod(function)
        from tools.folders.folders import Folder
        builtins.any, builtins.staticmethod = real_any, real_staticmethod
        pathlib.Path("folder").mkdir()
        print(json.dumps([Folder.count(".", folders=True), asked, wrapped]))
    """)
    # The module keeps the `any` that stood at import, and gives it each entry's two answers.
    assert report[0] == 2
    assert sorted(report[1]) == [[False, True], [True, False]]
    assert report[2] == ["exists", "create", "count", "remove"]


def test_a_method_that_escaped_a_failed_import_reads_its_own_namespace(child):
    (child.cwd / "logger.py").write_text(RECORDING_LOGGER)
    report = run_json(child, """
        import logger
        logger.failing["decorator"] = "remove"
        attempt()
        # The decorator was handed `exists` before the import failed at `remove`.
        escaped = next(event for event in logger.events if event[0] == "decorator")[1][0].__func__
        logger.failing.clear()
        later = attempt()["module"]
        later.Path = None  # the new module's namespace has no usable Path any more
        print(json.dumps([escaped.__name__, escaped.__globals__ is vars(later), escaped(".")]))
    """)
    assert report == ["exists", False, True]
