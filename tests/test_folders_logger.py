"""The stand-in `logger` of examples/ and the demo section that uses it."""

import importlib.util
import inspect
import json
import logging
import pathlib

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture(scope="module")
def stand_in():
    """examples/logger.py, loaded under a private name so that no `logger` is installed."""
    import_spec = importlib.util.spec_from_file_location("examples_logger", EXAMPLES / "logger.py")
    module = importlib.util.module_from_spec(import_spec)
    import_spec.loader.exec_module(module)
    return module


def joined(head: str, *, tail: str = "") -> str:
    """Joins its words."""
    if head == "fail":
        raise ValueError("no joining")
    return head + tail


@pytest.fixture
def decorated(stand_in):
    return stand_in.logging(prefix="tests.prefix")(staticmethod(joined))


def test_decorator_keeps_the_static_method_face(decorated):
    assert isinstance(decorated, staticmethod)
    function = decorated.__func__
    assert function.__wrapped__ is joined
    assert (function.__name__, function.__doc__) == ("joined", "Joins its words.")
    assert inspect.signature(function) == inspect.signature(joined)


def test_each_call_is_logged_then_made(decorated, caplog):
    caplog.set_level(logging.INFO, logger="tests.prefix")
    assert decorated.__func__("a", tail="b") == "ab"
    (start, end) = caplog.records
    assert {start.name, end.name} == {"tests.prefix"}
    assert start.getMessage() == "joined('a', tail='b')"
    assert end.getMessage().startswith("joined -> 'ab' (") and end.getMessage().endswith(" ms)")


def test_an_exception_is_logged_and_passes_unchanged(decorated, caplog):
    caplog.set_level(logging.INFO, logger="tests.prefix")
    with pytest.raises(ValueError) as caught:
        decorated.__func__("fail")
    (start, end) = caplog.records
    assert end.levelno == logging.WARNING
    assert end.getMessage().startswith("joined raised ValueError: no joining (")
    assert caught.value.__traceback__.tb_next is not None  # raised inside, not re-made


def test_only_static_methods_are_decorated(stand_in):
    with pytest.raises(TypeError, match="decorates static methods, not function"):
        stand_in.logging(prefix="x")(joined)


def test_folder_wrapped_by_the_stand_in(child):
    done = child.run(
        """
        import inspect, json, logging, os, traceback
        records = []
        handler = logging.Handler()
        handler.emit = lambda record: records.append([record.levelname, record.getMessage()])
        logging.getLogger("tools.folders.folders").addHandler(handler)
        logging.getLogger("tools.folders.folders").setLevel(logging.INFO)
        from tools.folders.folders import Folder
        native = Folder.count.__wrapped__
        os.mkdir("sub")
        found = Folder.count(".", folders=True)
        try:
            Folder.count("missing")
        except FileNotFoundError as error:
            entry = traceback.extract_tb(error.__traceback__)[-1]
        print(json.dumps({
            "found": found,
            "native": type(native).__name__,
            "same_signature": inspect.signature(Folder.count) == inspect.signature(native),
            "name": Folder.count.__name__,
            "doc": Folder.count.__doc__ == native.__doc__,
            "records": [[level, message.split(" (")[0]] for level, message in records],
            "entry": [entry.filename, entry.name, entry.lineno],
        }))
        """,
        env={"PYTHONPATH": str(EXAMPLES)},
    )
    report = json.loads(done.stdout)
    assert report["found"] == 1
    assert report["native"] == "nativefunction" and report["same_signature"]
    assert report["name"] == "count" and report["doc"]
    assert report["records"] == [
        ["INFO", "Folder.count('.', folders=True)"],
        ["INFO", "Folder.count -> 1"],
        ["INFO", "Folder.count('missing')"],
        ["WARNING", "Folder.count raised FileNotFoundError: [Errno 2] No such file or directory: 'missing'"],
    ]
    assert report["entry"] == ["src/tools/folders/folders.py", "tools.folders.folders.Folder.count", 68]


def test_demo_section(child):
    done = child.run(
        """
        import show_folders
        print(show_folders.__doc__.strip().splitlines()[0])
        show_folders.show()
        """,
        env={"PYTHONPATH": str(EXAMPLES)},
    )
    lines = done.stdout.splitlines()
    assert lines[0].startswith("tools.folders.folders: ")
    results = [line for line in lines[1:] if not line.startswith("    log ")]
    logs = [line for line in lines[1:] if line.startswith("    log ")]
    assert [line.split(":")[-1].strip() for line in results] == [
        "False", "True", "2", "4", "8", "Not yet implemented. Will be in next versions",
        "Directory not empty", "False"]
    assert len(logs) == 2 * 10  # a start and an end for each of the ten calls
    assert any("WARNING tools.folders.folders: Folder.remove raised OSError" in line for line in logs)
    assert done.stderr == ""
