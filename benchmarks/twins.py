"""Pure-Python twins of the native functions, for the benchmarks.

Each follows the same algorithm as its native counterpart: the same None rules and type
checks, module-level names looked up at each use, and nested calls through the module-level
name with keyword arguments, so a ratio compares implementations, not algorithms.
"""

from inspect import getfile
from pathlib import Path


def find_origin(file=None, func=None):
    path = None
    if file is not None:
        path = Path(file).parent
    elif func is not None:
        path = Path(getfile(func)).absolute().parent
    return path


# --- boot_banner ------------------------------------------------------------------------------

import os  # noqa: E402
from datetime import datetime  # noqa: E402
from getpass import getuser  # noqa: E402
from platform import platform, python_implementation  # noqa: E402
from socket import getfqdn  # noqa: E402
from sys import version  # noqa: E402


def _exact_str_or_none(value, name):
    if value is not None and type(value) is not str:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        )


def boot_banner(prefix="app", name="main", separator=":"):
    _exact_str_or_none(prefix, "prefix")
    _exact_str_or_none(name, "name")
    _exact_str_or_none(separator, "separator")
    if prefix is None:
        prefix = "app"
    if name is None:
        name = "main"
    if separator is None:
        separator = ":"
    var_name = f"{prefix}{separator}{name}"
    if os.environ.get(var_name) == "true":
        return
    os.environ[var_name] = "true"
    info = []
    execution_date = datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")
    info.append("-" * len(execution_date))
    info.append(f"{execution_date}")
    facts = []
    for label, gather in (
        ("User: ", lambda: getuser()),
        ("Host: ", lambda: getfqdn()),
        ("OS Platform: ", lambda: platform(aliased=True)),
        ("Python Version: ", lambda: version),
        ("Implementation: ", lambda: python_implementation()),
    ):
        try:
            value = gather()
        except Exception as exc:
            value = exc
        facts.append(f"{label}{value}")
    info.extend(facts)
    info.append("-" * len(facts[-1]))
    print("\n".join(info))


# --- Folder -----------------------------------------------------------------------------------

import shutil  # noqa: E402
from logger import logging  # noqa: E402


class Folder:
    __slots__ = ()

    @logging(prefix=__name__)
    @staticmethod
    def count(path, files=True, folders=False, mask="*", recursive=False):
        # What binding does natively: truth values reduced in order, then the strict mask test.
        files = None if files is None else bool(files)
        folders = None if folders is None else bool(folders)
        recursive = None if recursive is None else bool(recursive)
        _exact_str_or_none(mask, "mask")
        if files is None:
            files = True
        if folders is None:
            folders = False
        if mask is None:
            mask = "*"
        if recursive is None:
            recursive = False
        if mask != "*":
            raise NotImplementedError("Not yet implemented. Will be in next versions")
        path = Path(path)
        found = 0
        if recursive:
            for paths, folders, files in os.walk(top=path):
                if files:
                    found += len(files)
                if folders:
                    found += len(folders)
        else:
            for file_or_folder in os.listdir(path=path):
                if any(
                    (
                        os.path.isfile(path / file_or_folder) if files else False,
                        os.path.isdir(path / file_or_folder) if folders else False,
                    )
                ):
                    found += 1
        return found


_bench_folder = None


def bench_folder(files=2000):
    """A folder of `files` empty files, made once per process and removed at exit."""
    global _bench_folder
    if _bench_folder is None:
        import atexit
        import tempfile

        _bench_folder = tempfile.mkdtemp(prefix="tools-bench-")
        atexit.register(shutil.rmtree, _bench_folder, True)
        for i in range(files):
            open(os.path.join(_bench_folder, f"file{i:04}.txt"), "w").close()
    return _bench_folder
