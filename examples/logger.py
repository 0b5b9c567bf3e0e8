"""A stand-in for the host application's `logger` module, for the demo and the tests.

`tools.folders.folders` imports `logging` from a top-level module named `logger`, which the
host application supplies. This one logs every call of a decorated static method through the
standard library's `logging`: one record when the call starts (method and arguments) and one
when it ends (result or exception, and the time it took), on the logger named by `prefix`.
Put this folder on `sys.path` (the demo runs from it) to use it.
"""

from __future__ import annotations

import functools
import logging as std_logging
import time
from collections.abc import Callable
from typing import Any

__all__ = ["logging"]


def _arguments(args: tuple[Any, ...], kwargs: dict[str, Any]) -> str:
    return ", ".join([*map(repr, args), *(f"{name}={value!r}" for name, value in kwargs.items())])


def logging(prefix: str) -> Callable[[staticmethod[..., Any]], staticmethod[..., Any]]:
    """Returns a decorator that makes a static method log its calls on the logger `prefix`."""
    log = std_logging.getLogger(prefix)

    def decorate(method: staticmethod[..., Any]) -> staticmethod[..., Any]:
        if not isinstance(method, staticmethod):
            raise TypeError(f"logging() decorates static methods, not {type(method).__name__}")
        function = method.__func__
        name = getattr(function, "__qualname__", repr(function))

        @functools.wraps(function)
        def logged(*args: Any, **kwargs: Any) -> Any:
            log.info("%s(%s)", name, _arguments(args, kwargs))
            started = time.perf_counter()
            try:
                result = function(*args, **kwargs)
            except BaseException as error:
                elapsed = (time.perf_counter() - started) * 1000
                log.warning("%s raised %s: %s (%.3f ms)", name, type(error).__name__, error, elapsed)
                raise
            elapsed = (time.perf_counter() - started) * 1000
            log.info("%s -> %r (%.3f ms)", name, result, elapsed)
            return result

        return staticmethod(logged)

    return decorate
