from os import PathLike
from pathlib import Path
from types import CodeType, FrameType, ModuleType, TracebackType
from typing import Any, Callable

def find_origin(
    file: str | PathLike[str] | None = None,
    func: ModuleType | type | Callable[..., Any] | TracebackType | FrameType | CodeType | None = None,
) -> Path | None:
    """Return the folder of `file`, or of the source file that defines `func`."""
