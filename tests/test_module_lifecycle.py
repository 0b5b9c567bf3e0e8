"""The module life cycle, each case in a fresh interpreter: a module initialises once per process.

`tools._testing.frame_fragile` (built only for the tests) imports `setting` from
`fragile_support` at line 10, defines `read_setting` at line 12, and calls
`fragile_support.hook()` at line 14 when there is one.
"""

import json
import pathlib
import shutil
import subprocess
import sysconfig

import pytest

import tools

FRAGILE = "tools._testing.frame_fragile"
# Shared by the child scripts below: the module's entries in a failed import's traceback.
ENTRIES = """
import json, sys, traceback
def entries(error):
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename.startswith("tests/native/")]
"""


def support(tmp_path, text):
    (tmp_path / "fragile_support.py").write_text(text)


def test_reimport_gives_the_same_module_without_running_the_body(child, tmp_path):
    support(tmp_path, "setting = 'on'\nruns = []\ndef hook():\n    runs.append(1)\n")
    done = child.run(
        """
        import sys, importlib
        import fragile_support
        import tools._testing.frame_fragile as first
        del sys.modules["tools._testing.frame_fragile"]
        second = importlib.import_module("tools._testing.frame_fragile")
        third = importlib.reload(second)
        print(first is second is third, len(fragile_support.runs), second.read_setting())
        """
    )
    assert done.stdout.split() == ["True", "1", "on"]


@pytest.mark.parametrize(
    "faulty_support, error, line",
    [
        ("", "ImportError: cannot import name 'setting'", 10),
        ("setting = 1\ndef hook():\n    raise OSError('hook failed')\n", "OSError: hook failed", 14),
    ],
)
def test_failed_import_leaves_the_module_importable_afresh(child, tmp_path, faulty_support, error, line):
    support(tmp_path, faulty_support)
    done = child.run(
        ENTRIES
        + """
import importlib, pathlib
try:
    import tools._testing.frame_fragile
except Exception as e:
    print(json.dumps([type(e).__name__ + ": " + str(e), entries(e)]))
print(json.dumps("tools._testing.frame_fragile" in sys.modules))
pathlib.Path("fragile_support.py").write_text("setting = 'fixed'\\n")
sys.modules.pop("fragile_support")
importlib.invalidate_caches()
import tools._testing.frame_fragile as m
print(json.dumps(m.read_setting()))
"""
    )
    first, registered, retried = (json.loads(line) for line in done.stdout.splitlines())
    assert first == [error, [["tests/native/frame_fragile.py", "init " + FRAGILE, line]]]
    assert registered is False
    assert retried == "fixed"


def test_cannot_import_name_carries_what_the_interpreters_own_error_does(child, tmp_path):
    support(tmp_path, "")
    done = child.run(
        """
        import json
        def attributes(e):
            return [type(e).__name__, e.name, e.path, e.name_from]
        try:
            from fragile_support import setting
        except ImportError as e:
            own = attributes(e)
        try:
            import tools._testing.frame_fragile
        except ImportError as e:
            print(json.dumps([str(e), attributes(e), own]))
        """
    )
    message, ours, own = json.loads(done.stdout)
    assert message == "cannot import name 'setting'"
    assert ours == own
    assert ours[1:] == ["fragile_support", str(tmp_path / "fragile_support.py"), "setting"]


def test_missing_support_module_fails_with_the_import_error(child, tmp_path):
    done = child.run(
        ENTRIES
        + """
try:
    import tools._testing.frame_fragile
except ImportError as e:
    print(json.dumps([type(e).__name__, e.name, entries(e)]))
"""
    )
    assert json.loads(done.stdout) == [
        "ModuleNotFoundError",
        "fragile_support",
        [["tests/native/frame_fragile.py", "init " + FRAGILE, 10]],
    ]


def test_name_found_as_a_loaded_submodule(child, tmp_path):
    (tmp_path / "fragile_support").mkdir()
    (tmp_path / "fragile_support" / "__init__.py").write_text("")
    (tmp_path / "fragile_support" / "setting.py").write_text("")
    done = child.run(
        """
        import sys
        import fragile_support.setting
        del fragile_support.setting  # the attribute is gone, the loaded submodule is not
        import tools._testing.frame_fragile as m
        print(m.setting is sys.modules["fragile_support.setting"])
        """
    )
    assert done.stdout.strip() == "True"


def test_registers_itself_in_sys_modules_when_absent(child, tmp_path):
    support(tmp_path, "setting = 2\n")
    done = child.run(
        """
        import importlib.util, sys
        spec = importlib.util.find_spec("tools._testing.frame_fragile")
        module = importlib.util.module_from_spec(spec)
        print("tools._testing.frame_fragile" in sys.modules)
        spec.loader.exec_module(module)
        print(sys.modules["tools._testing.frame_fragile"] is module)
        """
    )
    assert done.stdout.split() == ["False", "True"]


def test_existing_sys_modules_entry_is_left_alone(child, tmp_path):
    support(tmp_path, "setting = 2\n")
    done = child.run(
        """
        import importlib.util, sys
        spec = importlib.util.find_spec("tools._testing.frame_fragile")
        module = importlib.util.module_from_spec(spec)
        sys.modules["tools._testing.frame_fragile"] = "placeholder"
        spec.loader.exec_module(module)
        print(sys.modules["tools._testing.frame_fragile"])
        """
    )
    assert done.stdout.strip() == "placeholder"


@pytest.mark.parametrize(
    "overrides, expected",
    [
        ({}, {"__file__": True, "__path__": None, "__loader__": "loader"}),
        ({"origin": "missing"}, {"__file__": None, "__path__": None, "__loader__": "loader"}),
        ({"submodule_search_locations": ["/x"]}, {"__file__": True, "__path__": ["/x"], "__loader__": "loader"}),
        ({"loader": None}, {"__file__": True, "__path__": None, "__loader__": None}),
        ({"loader": "missing"}, {"__file__": True, "__path__": None, "__loader__": None}),
    ],
)
def test_import_attributes_copied_from_the_import_spec(child, tmp_path, overrides, expected):
    support(tmp_path, "setting = 2\n")
    done = child.run(
        f"""
        import importlib.util, json
        real = importlib.util.find_spec("tools._testing.frame_fragile")
        overrides = {overrides!r}

        class ImportSpec:
            # The loader itself reads `origin` once to find the file; later reads are ours.
            origin_reads = 0
            name = real.name
            parent = real.parent
            submodule_search_locations = overrides.get("submodule_search_locations")
            def __getattr__(self, attr):
                if attr == "origin":
                    type(self).origin_reads += 1
                    if overrides.get("origin") == "missing" and self.origin_reads > 1:
                        raise AttributeError(attr)
                    return real.origin
                if attr == "loader" and overrides.get("loader") != "missing":
                    return overrides.get("loader", real.loader)
                raise AttributeError(attr)

        import _imp
        module = _imp.create_dynamic(ImportSpec())
        print(json.dumps({{
            "__file__": (module.__file__ == real.origin) if hasattr(module, "__file__") else None,
            "__path__": getattr(module, "__path__", None),
            "__loader__": "loader" if module.__loader__ is real.loader else module.__loader__,
        }}))
        """
    )
    assert json.loads(done.stdout) == expected


def test_second_interpreter_is_refused(child):
    done = child.run(
        """
        import _interpreters
        import tools.common.find_origin
        legacy = _interpreters.create("legacy")
        for _ in range(2):
            failure = _interpreters.run_string(legacy, "import tools.common.find_origin")
            print(failure.type.__name__ + ": " + failure.msg)
        """
    )
    message = (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )
    assert done.stdout.splitlines() == [message, message]


def test_first_interpreter_keeps_the_module(child):
    done = child.run(
        """
        import _interpreters
        legacy = _interpreters.create("legacy")
        print(_interpreters.run_string(legacy, "import tools.common.find_origin"))
        try:
            import tools.common.find_origin
        except ImportError as e:
            print(e)
        """
    )
    assert done.stdout.splitlines() == [
        "None",
        "Interpreter change detected - this module can only be loaded into one interpreter per "
        "process.",
    ]


def extension_files():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    root = pathlib.Path(tools.__file__).parent
    return sorted(root.rglob(f"*{suffix}"))


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.parametrize("path", extension_files(), ids=lambda p: p.name.split(".")[0])
def test_each_module_exports_only_its_entry_point(path):
    listed = subprocess.run(
        ["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True
    ).stdout.split()
    symbols = listed[2::3]
    assert symbols == ["PyInit_" + path.name.split(".")[0]]


def test_builtins_are_fetched_again_by_the_import_that_succeeds(child):
    done = child.run(
        """
        import builtins, os, sys
        real_print = builtins.print
        builtins.print = lambda *args, **kwargs: real_print("rebound print")
        sys.modules["getpass"] = None  # fails the first import, after the built-ins are read
        try:
            import tools.boot_banner.boot_banner
        except ImportError:
            pass
        else:
            raise SystemExit("the first import should fail")
        builtins.print = real_print
        del sys.modules["getpass"]
        from tools.boot_banner.boot_banner import boot_banner
        os.environ.pop("app:main", None)
        boot_banner()
        """
    )
    assert "rebound print" not in done.stdout
    assert len(done.stdout.splitlines()) == 8
