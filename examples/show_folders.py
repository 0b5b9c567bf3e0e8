"""tools.folders.folders: test for, create, count and remove folders, each call logged.

The methods of `Folder` are wrapped by the host application's `logger` decorator; here the
stand-in `logger.py` beside this file plays that part and logs through the standard library,
so every call below shows its own log lines.
"""

import logging
import sys
import tempfile
from pathlib import Path

from tools.folders.folders import Folder


def tour(root: Path) -> None:
    tree = root / "project"
    print("before anything, the folder exists:   ", Folder.exists(tree))
    Folder.create(tree / "docs" / "drafts")
    for name in ["README.md", "setup.cfg", "docs/guide.md", "docs/faq.md", "docs/drafts/todo.md"]:
        (tree / name).write_text("")
    (tree / "latest").symlink_to(tree / "docs")
    print("after create(), it exists:            ", Folder.exists(str(tree)))
    print("files directly in it:                 ", Folder.count(tree))
    print("files and folders directly in it:     ", Folder.count(tree, folders=True))
    print("everything below it, at every depth:  ", Folder.count(tree, recursive=True))
    try:
        Folder.count(tree, mask="*.md")
    except NotImplementedError as error:
        print("a file-name mask:                     ", error)
    try:
        Folder.remove(tree)
    except OSError as error:
        print("remove() of a folder with content:    ", error.strerror)
    Folder.remove(tree, recursive=True)
    print("after remove(recursive=True), exists: ", Folder.exists(tree))


def show() -> None:
    # The log lines go to standard output, between the results, for this section only.
    log = logging.getLogger("tools.folders.folders")
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("    log %(levelname)s %(name)s: %(message)s"))
    level, propagate = log.level, log.propagate
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    log.propagate = False
    try:
        with tempfile.TemporaryDirectory() as root:
            tour(Path(root))
    finally:
        log.removeHandler(handler)
        log.setLevel(level)
        log.propagate = propagate
