"""tools.common.find_origin: results, failures, introspection and module namespace."""

import inspect
import json
import pathlib
import traceback
import typing

import pytest

import tools.common.find_origin as module
from tools.common.find_origin import find_origin

SOURCE = "src/tools/common/find_origin.py"
FUNCTION = "tools.common.find_origin.find_origin"


def last_entry(error):
    """The innermost traceback entry the module added (file, function name, line)."""
    frames = [f for f in traceback.extract_tb(error.__traceback__) if f.filename == SOURCE]
    assert frames, "no traceback entry for the module"
    return frames[-1].filename, frames[-1].name, frames[-1].lineno


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, None),
        ((None, None), {}, None),
        ((), {"file": None, "func": None}, None),
        ((), {"file": "/a/b/c.txt"}, pathlib.Path("/a/b")),
        (("/a/b/c.txt",), {}, pathlib.Path("/a/b")),
        ((pathlib.Path("/x/y/z"),), {}, pathlib.Path("/x/y")),
        ((), {"file": "c.txt"}, pathlib.Path(".")),
        ((), {"file": ""}, pathlib.Path(".")),
        ((), {"file": "rel/dir/f.py"}, pathlib.Path("rel/dir")),
    ],
)
def test_folder_of_a_file(args, kwargs, expected):
    assert find_origin(*args, **kwargs) == expected


def test_folder_of_a_callable_class_and_module():
    json_folder = pathlib.Path(json.__file__).parent
    assert find_origin(func=json.dumps) == json_folder
    assert find_origin(None, json.JSONEncoder) == json_folder
    assert find_origin(func=json) == json_folder


def test_folder_of_a_function_in_a_file_of_our_own(tmp_path):
    source = tmp_path / "x" / "y" / "m.py"
    source.parent.mkdir(parents=True)
    source.write_text("def f():\n    return 0\n")
    namespace = {}
    exec(compile(source.read_text(), str(source), "exec"), namespace)
    assert find_origin(func=namespace["f"]) == tmp_path / "x" / "y"


def test_relative_source_gives_an_absolute_folder(tmp_path, monkeypatch):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "m.py").write_text("def f():\n    return 0\n")
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(compile("def f():\n    return 0\n", "pkg/m.py", "exec"), namespace)
    assert inspect.getfile(namespace["f"]) == "pkg/m.py"
    assert find_origin(func=namespace["f"]) == tmp_path / "pkg"


def test_file_wins_and_getfile_is_not_called(monkeypatch):
    calls = []
    monkeypatch.setattr(module, "getfile", lambda obj: calls.append(obj) or "/never/here")
    assert find_origin("/p/q.txt", json.dumps) == pathlib.Path("/p")
    assert calls == []
    assert find_origin(func=json.dumps) == pathlib.Path("/never")
    assert calls == [json.dumps]


def test_globals_are_looked_up_at_each_call(monkeypatch):
    monkeypatch.setattr(module, "Path", pathlib.PurePosixPath)
    assert type(find_origin("/a/b")) is pathlib.PurePosixPath


def test_missing_global_falls_back_to_builtins_then_name_error(monkeypatch):
    import builtins

    monkeypatch.delattr(module, "Path")
    with pytest.raises(NameError, match=r"^name 'Path' is not defined$") as caught:
        find_origin("/a/b")
    assert last_entry(caught.value) == (SOURCE, FUNCTION, 35)
    monkeypatch.setattr(builtins, "Path", pathlib.PurePosixPath, raising=False)
    assert find_origin("/a/b") == pathlib.PurePosixPath("/a")


def test_path_is_looked_up_before_getfile(monkeypatch):
    """Path(getfile(func)): with both missing, the NameError names Path."""
    monkeypatch.delattr(module, "Path")
    monkeypatch.delattr(module, "getfile")
    with pytest.raises(NameError, match=r"^name 'Path' is not defined$") as caught:
        find_origin(func=json.dumps)
    assert last_entry(caught.value) == (SOURCE, FUNCTION, 39)


def test_path_is_the_one_bound_before_getfile_runs(monkeypatch):
    def rebinding_getfile(obj):
        monkeypatch.setattr(module, "Path", pathlib.PurePosixPath)
        return "/x/y/z.py"

    monkeypatch.setattr(module, "getfile", rebinding_getfile)
    assert type(find_origin(func=json.dumps)) is type(pathlib.Path())


@pytest.mark.parametrize(
    "call, error, message, line",
    [
        (lambda: find_origin(func=len), TypeError, "module, class, method, function", 39),
        (lambda: find_origin(func=1), TypeError, "module, class, method, function", 39),
        (lambda: find_origin(1), TypeError, "argument should be a str", 35),
        (lambda: find_origin(1, 2, 3), TypeError, "takes at most 2 positional arguments", 19),
        (lambda: find_origin(x=1), TypeError, "unexpected keyword argument 'x'", 19),
    ],
)
def test_failures_carry_their_traceback_line(call, error, message, line):
    with pytest.raises(error, match=message) as caught:
        call()
    assert last_entry(caught.value) == (SOURCE, FUNCTION, line)


def test_failure_keeps_the_callee_entries_below_ours():
    with pytest.raises(TypeError) as caught:
        find_origin(func=len)
    names = [f.name for f in traceback.extract_tb(caught.value.__traceback__)]
    assert names.index(FUNCTION) < names.index("getfile")


def test_function_attributes():
    assert find_origin.__name__ == "find_origin"
    assert find_origin.__qualname__ == "find_origin"
    assert find_origin.__module__ == "tools.common.find_origin"
    assert find_origin.__doc__ == (
        "\n        Find origin of given file/function.\n\n"
        "        :param file: file object (__file__)\n"
        "        :param func: function object (lambda _: 0)\n"
        "        :return: 'location/if-can-be-found'\n        "
    )
    assert len(find_origin.__doc__) == 193
    assert find_origin.__defaults__ == (None, None)
    assert find_origin.__kwdefaults__ is None
    assert list(find_origin.__annotations__.items()) == [
        ("file", "Path | str"),
        ("func", "Callable | Type"),
        ("return", "Path | None"),
    ]
    assert find_origin.__globals__ is vars(module)


def test_code_object():
    code = find_origin.__code__
    assert code.co_argcount == 2
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == ("file", "func", "path")
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == (
        inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    )
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
    assert code.co_firstlineno == 19
    assert code.co_filename == SOURCE
    assert code.co_name == code.co_qualname == "find_origin"


def test_signature():
    assert str(inspect.signature(find_origin)) == (
        "(file: 'Path | str' = None, func: 'Callable | Type' = None) -> 'Path | None'"
    )
    argspec = inspect.getfullargspec(find_origin)
    assert argspec.args == ["file", "func"]
    assert argspec.defaults == (None, None)
    assert argspec.varargs is argspec.varkw is None


def test_module_namespace():
    assert module.Path is pathlib.Path
    assert module.getfile is inspect.getfile
    assert module.Callable is typing.Callable and module.Type is typing.Type
    assert module.__test__ == {}
    assert module.__doc__ is None
    assert module.__name__ == "tools.common.find_origin"
    assert module.__package__ == "tools.common"
    assert module.__spec__.name == module.__name__
    assert module.__loader__ is module.__spec__.loader
    assert module.__file__ == module.__spec__.origin
    assert not hasattr(module, "__path__")
    import builtins

    assert module.__builtins__ is builtins


def test_module_namespace_order(child):
    done = child.run(
        """
        import tools.common.find_origin as m
        print(" ".join(vars(m)))
        """
    )
    assert done.stdout.split() == [
        # A new module object starts with these five; the import attributes fill them in.
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__", "Path", "getfile", "Callable", "Type", "find_origin", "__test__",
    ]
