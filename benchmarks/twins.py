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


def _type_error(name, value):
    return TypeError(
        f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
    )


def boot_banner(prefix="app", name="main", separator=":"):
    if prefix is not None and type(prefix) is not str:
        raise _type_error("prefix", prefix)
    if name is not None and type(name) is not str:
        raise _type_error("name", name)
    if separator is not None and type(separator) is not str:
        raise _type_error("separator", separator)
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
        if mask is not None and type(mask) is not str:
            raise _type_error("mask", mask)
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


# --- PropKeeper -------------------------------------------------------------------------------


class PropKeeper:
    __slots__ = ("__obj", "__attr")

    def __init__(self, obj, attr):
        if type(attr) is not str:
            raise _type_error("attr", attr)
        self.__obj = obj
        self.__attr = attr

    @property
    def value(self):
        return PropKeeper.get_attribute(obj=self.__obj, attr=self.__attr)

    @value.setter
    def value(self, value):
        PropKeeper.set_attribute(obj=self.__obj, attr=self.__attr, value=value)

    @property
    def exists(self):
        return PropKeeper.has_attribute(obj=self.__obj, attr=self.__attr)

    @staticmethod
    def get_name(obj, attr):
        if type(attr) is not str:
            raise _type_error("attr", attr)
        if not attr.startswith("__") or attr.startswith("___") or attr.endswith("__"):
            return attr
        owner = obj if isinstance(obj, type) else obj.__class__
        class_name = owner.__name__.lstrip("_")
        return f"_{class_name}{attr}"

    @staticmethod
    def get_attribute(obj, attr):
        if type(attr) is not str:
            raise _type_error("attr", attr)
        return object.__getattribute__(obj, PropKeeper.get_name(obj=obj, attr=attr))

    @staticmethod
    def set_attribute(obj, attr, value):
        if type(attr) is not str:
            raise _type_error("attr", attr)
        object.__setattr__(obj, PropKeeper.get_name(obj=obj, attr=attr), value)

    @staticmethod
    def has_attribute(obj, attr):
        if type(attr) is not str:
            raise _type_error("attr", attr)
        try:
            PropKeeper.get_attribute(obj=obj, attr=attr)
        except AttributeError:
            return False
        return True


class Owner:
    """A target with a private attribute."""

    def __init__(self):
        self.__count = 1


# --- hush_secret ------------------------------------------------------------------------------


def hush_secret(name=None, value=None):
    if name is not None and type(name) is not str:
        raise _type_error("name", name)
    if name is None:
        name = ""
    if value is None:
        value = ""
    if isinstance(value, dict):
        result = {}
        for k, v in value.items():
            result[k] = hush_secret(name=k, value=v)
        return result
    if isinstance(value, list):
        result = []
        for v in value:
            result.append(hush_secret(name=name, value=v))
        return result
    if isinstance(value, tuple):
        return tuple(hush_secret(name=name, value=v) for v in value)
    if isinstance(value, str):
        lowered = name.lower()
        if "password" in lowered or "pwd" in lowered:
            return "*" * len(value)
    return value


# --- veil_bulk_text ---------------------------------------------------------------------------

from dataclasses import dataclass  # noqa: E402


@dataclass(frozen=True)
class _Const:
    char_limit: int = 4000


_const = _Const()


def veil_bulk_text(value=None):
    if value is None:
        value = ""
    if isinstance(value, dict):
        result = {}
        for k, v in value.items():
            result[k] = veil_bulk_text(value=v)
        return result
    if isinstance(value, list):
        result = []
        for v in value:
            result.append(veil_bulk_text(value=v))
        return result
    if isinstance(value, tuple):
        return tuple(veil_bulk_text(value=v) for v in value)
    try:
        value_str = f"{value}"
    except ValueError:
        return (
            "\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n"
            "                "
        )
    if len(value_str) > _const.char_limit:
        return (
            "\n{\n" + value_str[: _const.char_limit] + "\n...big-content hidden...\n}\n                "
        )
    return value


def sample_configuration(services=300):
    """A realistic nested configuration of about 10 000 nodes: services with users,
    passwords, tokens, URLs, numbers, and a few texts over 4000 characters."""
    return {
        "name": "inventory",
        "version": 7,
        "services": [
            {
                "name": f"service-{i}",
                "url": f"https://svc{i}.example.internal/api",
                "port": 8000 + i,
                "db_pwd": f"secret-{i}",
                "notes": "lorem ipsum " * 400 if i % 60 == 0 else "short note",
                "replicas": (1, 2, 3),
                "users": [
                    {
                        "user": f"user{i}-{j}",
                        "password": f"pw-{i}-{j}",
                        "token": f"tok-{i}-{j}",
                        "roles": ["read", "write"],
                    }
                    for j in range(3)
                ],
            }
            for i in range(services)
        ],
    }
