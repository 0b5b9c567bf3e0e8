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
