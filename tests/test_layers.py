"""The frame's source files depend one way only: each includes only files of the layers below it.

This reads the sources, not the installed package: it checks how the code is laid out.
"""

import pathlib
import re

import pytest

FRAME = pathlib.Path(__file__).resolve().parents[1] / "src" / "frame"

# The core, bottom first. A file may include its own header and the files of lower layers.
CORE_LAYERS = [
    {"compiler", "ref", "thread_stack"},
    {"internals"},
    {"context"},
    {"constants"},
    {"objects"},
    {"function"},
    {"binding", "traceback", "recursion"},
    {"nativefunction"},
    {"module"},
]
LAYER_OF = {name: level for level, names in enumerate(CORE_LAYERS) for name in names}
# What several modules share on top of the core; it may include any of the core.
SHARED = "shared"

INCLUDE = re.compile(r'^#include "frame/(.+)\.hpp"', re.MULTILINE)

pytestmark = pytest.mark.skipif(not FRAME.is_dir(), reason="needs the source tree")


def sources():
    return sorted(p for p in FRAME.rglob("*") if p.suffix in (".hpp", ".cpp"))


def place(path):
    """(layer, name) of a source file: layer is a core level, or SHARED."""
    relative = path.relative_to(FRAME)
    if relative.parts[0] == SHARED:
        return SHARED, f"{SHARED}/{path.stem}"
    if relative.parts[0] == "platform":
        return LAYER_OF["thread_stack"], "thread_stack"  # one platform's answer for it
    return LAYER_OF[path.stem], path.stem


def test_every_frame_file_has_a_place():
    unplaced = [str(p.relative_to(FRAME)) for p in sources()
                if p.relative_to(FRAME).parts[0] not in (SHARED, "platform")
                and p.stem not in LAYER_OF]
    assert unplaced == []


@pytest.mark.parametrize("path", sources(), ids=lambda p: str(p.relative_to(FRAME)))
def test_includes_point_downward(path):
    layer, own = place(path)
    upward = []
    for included in INCLUDE.findall(path.read_text()):
        if included == own:
            continue
        if included.startswith(SHARED + "/"):
            if layer != SHARED:
                upward.append(included)  # the core never reaches up into what it carries
            continue
        target = LAYER_OF.get(included)
        assert target is not None, f"{included} is not a file of the frame"
        if layer != SHARED and target >= layer:
            upward.append(included)
    assert upward == [], f"{path.name} includes files of its own layer or above"
