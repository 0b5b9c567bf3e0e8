"""The module frame: argument binding, strict type test, the nativefunction type, tracebacks.

Functions of `tools._testing.frame_probe` (a module built only for the tests) reach what
find_origin does not: typed, truth-valued and required parameters, methods, recursion.
"""

import gc
import inspect
import json
import pickle
import traceback
import warnings
import weakref

import pytest

import tools._testing.frame_probe as probe
from tools.common.find_origin import find_origin

NativeFunction = type(find_origin)


class Text(str):
    """A str subclass: refused where a parameter is typed str."""


class Unequal(str):
    """A str subclass whose comparison fails."""

    def __eq__(self, other):
        raise LookupError("no comparing")

    __hash__ = str.__hash__


class Rehashed(str):
    """A str subclass equal to its text but hashed apart, so a dict keeps it beside the str."""

    __eq__ = str.__eq__

    def __hash__(self):
        return str.__hash__(self) + 1


def entries(error):
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)]


# --- binding --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: find_origin(1, 2, 3), "find_origin() takes at most 2 positional arguments (3 given)"),
        (lambda: find_origin(1, file=2), "find_origin() got multiple values for keyword argument 'file'"),
        (lambda: find_origin(1, 2, func=2), "find_origin() got multiple values for keyword argument 'func'"),
        (lambda: find_origin(x=1), "find_origin() got an unexpected keyword argument 'x'"),
        (lambda: find_origin(None, x=1), "find_origin() got an unexpected keyword argument 'x'"),
        (lambda: probe.required(1), "required() takes at least 2 positional arguments (1 given)"),
        (lambda: probe.required(), "required() takes at least 2 positional arguments (0 given)"),
        (lambda: probe.required(b=1), "required() takes at least 2 positional arguments (0 given)"),
        (lambda: probe.required(1, c=1), "required() takes at least 2 positional arguments (1 given)"),
        (lambda: probe.required(1, 2, 3, 4), "required() takes at most 3 positional arguments (4 given)"),
        (lambda: probe.required(1, 2, 3, 4, a=1), "required() takes at most 3 positional arguments (4 given)"),
        (lambda: probe.Probe().one(), "one() takes exactly 2 positional arguments (1 given)"),
        (lambda: probe.Probe().one(1, 2), "one() takes exactly 2 positional arguments (3 given)"),
        (lambda: probe.Probe.one(), "one() takes exactly 2 positional arguments (0 given)"),
        (lambda: probe.descend(), "descend() takes exactly 1 positional argument (0 given)"),
        (lambda: probe.exec_foreign(1), "exec_foreign() takes exactly 0 positional arguments (1 given)"),
        (lambda: find_origin(**{1: 2}), "keywords must be strings"),
        (lambda: probe.call_vector(probe.typed, ("a", "b"), (1,)), "typed() keywords must be strings"),
        # One parameter named twice by keyword, by two objects of equal text.
        (lambda: probe.call_vector(probe.required, (1, 2), ("a", "a")),
         "required() got multiple values for keyword argument 'a'"),
        (lambda: probe.call_vector(probe.required, (0, 1, 2), ("a", "c", "".join("c"))),
         "required() got multiple values for keyword argument 'c'"),
        (lambda: probe.required(**{"a": 1, Rehashed("a"): 2, "b": 3}),
         "required() got multiple values for keyword argument 'a'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: probe.required(1, 2), (1, 2, None)),
        (lambda: probe.required(1, 2, 3), (1, 2, 3)),
        (lambda: probe.required(c=3, b=2, a=1), (1, 2, 3)),
        (lambda: probe.required(1, c=3, b=2), (1, 2, 3)),
        # Keywords are matched by content too, not only by identity.
        (lambda: probe.required(**{"".join("ab")[:1]: 1, "b": 2}), (1, 2, None)),
        # A str subclass keyword is matched with ==.
        (lambda: probe.required(**{Text("a"): 1, Text("b"): 2}), (1, 2, None)),
        (lambda: probe.call_vector(probe.required, (1, 2), ("b",)), (1, 2, None)),
    ],
)
def test_binding_results(call, expected):
    assert call() == expected


def test_str_subclass_keyword_comparison_errors_propagate():
    with pytest.raises(LookupError, match="no comparing"):
        probe.required(**{Unequal("z"): 1})


def test_binding_errors_report_the_definition_line():
    with pytest.raises(TypeError) as caught:
        probe.required(1)
    assert entries(caught.value)[-1] == ("tests/native/frame_probe.py", "tools._testing.frame_probe.required", 14)


def test_method_binds_the_instance_without_a_bound_method():
    instance = probe.Probe()
    assert instance.one(5) == (instance, 5)
    assert instance.one(x=6) == (instance, 6)
    assert probe.Probe.one(instance, 7) == (instance, 7)
    assert probe.Probe.one is vars(probe.Probe)["one"]
    bound = instance.one
    assert inspect.ismethod(bound) and bound.__self__ is instance and bound.__func__ is probe.Probe.one
    descriptor = vars(probe.Probe)["one"]
    assert type(descriptor).__get__(descriptor, None, probe.Probe) is descriptor


# --- strict type test and truth values ------------------------------------------------------


@pytest.mark.parametrize(
    "call, parameter, got, noted",
    [
        (lambda: probe.typed(1), "text", "int", False),
        (lambda: probe.typed(None), "text", "NoneType", False),
        (lambda: probe.typed(b"a"), "text", "bytes", False),
        (lambda: probe.typed(Text("a")), "text", "Text", True),
        (lambda: probe.typed("a", 2), "maybe", "int", False),
        (lambda: probe.typed("a", maybe=Text("b")), "maybe", "Text", True),
        (lambda: probe.flags(label=1.5), "label", "float", False),
    ],
)
def test_strict_type_test(call, parameter, got, noted):
    with pytest.raises(TypeError) as caught:
        call()
    error = caught.value
    assert str(error) == f"Argument '{parameter}' has incorrect type (expected str, got {got})"
    notes = getattr(error, "__notes__", [])
    if noted:
        assert len(notes) == 1 and "subclass" in notes[0].lower() and "PEP 484" in notes[0]
    else:
        assert notes == []
    # A refused type adds no entry for the function itself.
    assert all("frame_probe" not in name for _, name, _ in entries(error))


def test_strict_type_test_accepts_exact_str_and_allowed_none():
    assert probe.typed("a") == ("a", None)
    assert probe.typed("a", None) == ("a", None)
    assert probe.typed(text="a", maybe="b") == ("a", "b")


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    "args, expected",
    [
        ((), (True, False, "*")),
        ((None, None, None), (None, None, None)),
        ((0, [1]), (False, True, "*")),
        (("", "x"), (False, True, "*")),
        (([], ()), (False, False, "*")),
        ((Truthy(True), Truthy(False)), (True, False, "*")),
    ],
)
def test_truth_values(args, expected):
    assert probe.flags(*args) == expected


def test_truth_tests_run_in_order_before_the_type_test():
    with pytest.raises(ZeroDivisionError):
        probe.flags(Truthy(ZeroDivisionError()), Truthy(KeyError()), 1)
    with pytest.raises(KeyError) as caught:
        probe.flags(True, Truthy(KeyError()), 1)
    assert ("tests/native/frame_probe.py", "tools._testing.frame_probe.flags", 12) in entries(
        caught.value
    )


# --- the function type ----------------------------------------------------------------------


@pytest.fixture
def restore_attributes():
    """Puts back every attribute a test writes on find_origin."""
    names = ["__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__kwdefaults__",
             "__annotations__"]
    saved = {name: getattr(find_origin, name) for name in names}
    saved_dict = dict(find_origin.__dict__)
    yield find_origin
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, value in saved.items():
            setattr(find_origin, name, value)
    find_origin.__dict__.clear()
    find_origin.__dict__.update(saved_dict)


@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("__name__", 5, "__name__ must be set to a string object"),
        ("func_name", None, "__name__ must be set to a string object"),
        ("__qualname__", b"x", "__qualname__ must be set to a string object"),
        ("__defaults__", [1, 2], "__defaults__ must be set to a tuple object"),
        ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ],
)
def test_refused_writes(restore_attributes, attribute, value, message):
    with pytest.raises(TypeError) as caught:
        setattr(find_origin, attribute, value)
    assert str(caught.value) == message


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_cannot_be_deleted(restore_attributes, attribute):
    with pytest.raises(TypeError, match=f"{attribute} must be set to a string object"):
        delattr(find_origin, attribute)


@pytest.mark.parametrize(
    "attribute",
    ["__globals__", "func_globals", "__code__", "func_code", "__closure__", "func_closure",
     "_is_coroutine"],
)
def test_read_only_attributes(attribute):
    before = getattr(find_origin, attribute)
    with pytest.raises(AttributeError):
        setattr(find_origin, attribute, None)
    assert getattr(find_origin, attribute) is before


def test_read_only_values():
    assert find_origin.__closure__ is None and find_origin.func_closure is None
    assert find_origin._is_coroutine is False
    assert find_origin.func_globals is find_origin.__globals__
    assert find_origin.func_code is find_origin.__code__


def test_names_accept_str_subclasses_but_errors_keep_the_defined_name(restore_attributes):
    find_origin.__name__ = Text("renamed")
    assert find_origin.__name__ == "renamed" and find_origin.func_name == "renamed"
    find_origin.__qualname__ = "other.qual"
    assert repr(find_origin).startswith("<nativefunction other.qual at 0x")
    with pytest.raises(TypeError, match=r"^find_origin\(\) takes at most 2 positional"):
        find_origin(1, 2, 3)


def test_name_is_interned():
    import sys

    assert find_origin.__name__ is sys.intern("find_origin")


def test_doc_and_module_accept_anything(restore_attributes):
    find_origin.__doc__ = 42
    assert find_origin.__doc__ == 42 and find_origin.func_doc == 42
    del find_origin.__doc__
    assert find_origin.__doc__ is None
    find_origin.__module__ = 3.5
    assert find_origin.__module__ == 3.5


def test_defaults_writes_warn_and_do_not_change_calls(restore_attributes):
    with pytest.warns(RuntimeWarning) as warned:
        find_origin.__defaults__ = ("/a/b", "x")
    assert str(warned[0].message) == (
        "changes to nativefunction.__defaults__ will not currently affect the values used in "
        "function calls"
    )
    assert find_origin.__defaults__ == ("/a/b", "x")
    assert find_origin() is None
    with pytest.warns(RuntimeWarning):
        del find_origin.__defaults__
    assert find_origin.__defaults__ is None
    assert find_origin() is None
    with pytest.warns(RuntimeWarning):
        find_origin.__defaults__ = None
    assert find_origin.__defaults__ is None


def test_defaults_warning_as_error_still_stores(restore_attributes):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            find_origin.__defaults__ = (1,)
    assert find_origin.__defaults__ == (1,)


def test_kwdefaults_writes_warn(restore_attributes):
    with pytest.warns(RuntimeWarning) as warned:
        find_origin.__kwdefaults__ = {"file": 1}
    assert str(warned[0].message) == (
        "changes to nativefunction.__kwdefaults__ will not currently affect the values used in "
        "function calls"
    )
    assert find_origin(func=None) is None
    with pytest.warns(RuntimeWarning):
        find_origin.__kwdefaults__ = None
    assert find_origin.__kwdefaults__ is None


def test_annotations_writes(restore_attributes):
    mine = {"x": "int"}
    find_origin.__annotations__ = mine
    assert find_origin.__annotations__ is mine
    find_origin.__annotations__ = None
    made = find_origin.__annotations__
    assert made == {} and find_origin.__annotations__ is made
    del find_origin.__annotations__
    assert find_origin.__annotations__ == {}


def test_attribute_dict(restore_attributes):
    find_origin.marker = "here"
    assert find_origin.__dict__ == {"marker": "here"} and find_origin.func_dict["marker"] == "here"
    find_origin.__dict__ = {"other": 1}
    assert find_origin.other == 1 and not hasattr(find_origin, "marker")


def test_type():
    assert NativeFunction.__name__ == "nativefunction"
    assert type(probe.typed).__name__ == "nativefunction"  # each module has its own
    assert NativeFunction.__flags__ & (1 << 17), "method descriptor"
    assert NativeFunction.__flags__ & (1 << 11), "vectorcall"
    # The type's own docstring, not the descriptor that serves each function's __doc__.
    assert isinstance(NativeFunction.__doc__, str) and NativeFunction.__doc__
    with pytest.raises(TypeError):
        NativeFunction()
    with pytest.raises(TypeError):
        NativeFunction.extra = 1

    class Sub(NativeFunction):
        pass

    with pytest.raises(TypeError):
        Sub()


def test_identity_pickling_repr_and_weak_references():
    assert find_origin == find_origin and find_origin != probe.typed
    assert hash(find_origin) == hash(find_origin) == object.__hash__(find_origin)
    assert find_origin.__reduce__() == "find_origin"
    assert pickle.loads(pickle.dumps(find_origin)) is find_origin
    assert pickle.loads(pickle.dumps(probe.Probe.one)) is probe.Probe.one
    assert repr(find_origin) == f"<nativefunction find_origin at {hex(id(find_origin))}>"
    reference = weakref.ref(find_origin)
    assert reference() is find_origin


def test_functions_take_part_in_garbage_collection():
    assert gc.is_tracked(find_origin)
    assert vars(probe) in gc.get_referents(probe.typed)


def test_signature_of_typed_and_method_functions():
    assert str(inspect.signature(probe.typed)) == "(text: 'str', maybe: 'str' = None) -> 'tuple'"
    assert str(inspect.signature(probe.flags)) == "(first=True, second=False, label='*')"
    assert str(inspect.signature(probe.Probe.one)) == "(self, x: 'int')"
    assert str(inspect.signature(probe.Probe().one)) == "(x: 'int')"
    assert inspect.getfullargspec(probe.required).args == ["a", "b", "c"]


def test_running_a_code_object_raises_and_keeps_its_fields(child):
    # Every function of every module, its code run as a plain Python function: the process
    # must survive, and each run must fail at once with an ordinary exception.
    (child.cwd / "logger.py").write_text("def logging(prefix):\n    return lambda f: f\n")
    done = child.run(
        """
        import json, sys, types, importlib
        names = ["tools.common.find_origin", "tools.common.hush_secret",
                 "tools.common.veil_bulk_text", "tools.common.prop_keeper",
                 "tools.folders.folders", "tools.boot_banner.boot_banner",
                 "tools._testing.frame_probe"]
        def functions(namespace):
            for value in list(vars(namespace).values()):
                for inner in (value, getattr(value, "__func__", None), getattr(value, "fget", None)):
                    if type(inner).__name__ == "nativefunction":
                        yield inner
                if isinstance(value, type) and value.__module__ == namespace.__name__:
                    yield from functions(value)
        seen = []
        def run(code, args):
            try:
                types.FunctionType(code, {})(*args)
            except TypeError as error:
                return str(error)
        for name in names:
            for f in functions(importlib.import_module(name)):
                code = f.__code__
                args = [None] * code.co_argcount
                messages = {run(code, args)}
                sys.settrace(lambda *a: None)
                messages.add(run(code, args))
                sys.settrace(None)
                seen.append([f.__qualname__, sorted(messages), code.co_firstlineno,
                             code.co_linetable.hex(), code.co_name, code.co_filename])
        print(json.dumps(seen))
        """
    )
    seen = json.loads(done.stdout)
    assert len(seen) >= 20
    for qualname, messages, first_line, line_table, name, filename in seen:
        assert messages == ["the code object of a nativefunction describes its signature only; "
                            "it cannot be run"], qualname
        assert first_line > 0 and line_table == "" and qualname.endswith(name)
        assert filename.startswith(("src/tools/", "tests/native/")) and filename.endswith(".py")


# --- calls ----------------------------------------------------------------------------------


def test_calls_with_positional_arguments_allocate_nothing():
    assert probe.count_allocations(find_origin, ()) == 0
    assert probe.count_allocations(find_origin, (None, None)) == 0
    # The counter does count: a call that makes new objects allocates.
    assert probe.count_allocations(find_origin, ("/a/b",)) > 0


def test_self_recursion_raises_recursion_error_and_the_interpreter_goes_on():
    with pytest.raises(RecursionError):
        probe.descend(1)
    assert probe.required(1, 2) == (1, 2, None)


def test_missing_global_raises_name_error(monkeypatch):
    descend = probe.descend
    monkeypatch.delattr(probe, "descend")
    with pytest.raises(NameError, match=r"^name 'descend' is not defined$") as caught:
        descend(depth=1)
    assert entries(caught.value)[-1][1:] == ("tools._testing.frame_probe.descend", 31)
    assert caught.value.name == "descend"


def test_each_call_sees_the_global_as_it_is_bound_now(monkeypatch):
    # descend() looks itself up at every level: the first call fills whatever the lookup
    # remembers, and each change of the namespace after it must show in the next call.
    descend = probe.descend
    with pytest.raises(RecursionError):
        descend(depth=1)
    monkeypatch.setattr(probe, "descend", lambda depth: ("rebound", depth))
    assert descend(depth=2) == ("rebound", 2)
    vars(probe)["descend"] = lambda depth: ("again", depth)
    assert descend(depth=3) == ("again", 3)
    del vars(probe)["descend"]
    with pytest.raises(NameError):
        descend(depth=4)
    vars(probe).update(descend=lambda depth: ("updated", depth))
    assert descend(depth=5) == ("updated", 5)


@pytest.mark.parametrize("line", [1, 64, 65, 200, 7, 129, 3])
def test_each_statement_line_reaches_the_traceback(line):
    with pytest.raises(ValueError) as caught:
        probe.fail(ValueError("boom"), line)
    assert entries(caught.value)[-1] == ("tests/native/frame_probe.py", "tools._testing.frame_probe.fail", line)


def test_traceback_entries_for_many_lines_stay_right():
    # More lines than the code cache's first allocation, in an unsorted order.
    lines = [(i * 37) % 301 + 1 for i in range(301)]
    for line in lines + lines[::-1]:
        with pytest.raises(KeyError) as caught:
            probe.fail(KeyError(line), line)
        assert entries(caught.value)[-1][2] == line


def test_exec_of_another_module_object_is_refused():
    with pytest.raises(RuntimeError) as caught:
        probe.exec_foreign()
    assert str(caught.value) == (
        "Module 'frame_probe' has already been imported. Re-initialisation is not supported."
    )


@pytest.mark.parametrize(
    "version, running",
    [(0x030E00F0, "3.14"), (0x030C0500, "3.12"), (0x040D0000, "4.13")],
)
def test_version_check_warns(version, running):
    with pytest.warns(RuntimeWarning) as warned:
        probe.warn_version(version)
    assert str(warned[0].message) == (
        "compile time Python version 3.13 of module 'tools._testing.frame_probe' does not match "
        f"runtime version {running}"
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="does not match runtime version"):
            probe.warn_version(version)


def test_version_check_is_silent_for_any_313_release():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        probe.warn_version(0x030D00F0)
        probe.warn_version(0x030D0AA1)
