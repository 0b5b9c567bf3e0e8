"""Every function, on each main path and each error path, many times: no block and no
reference to an argument may be left behind."""

import json
import sys
import pathlib

import pytest

import tools._testing.frame_probe as probe
import tools.common.find_origin as find_origin_module
from tools.common.find_origin import find_origin


class Text(str):
    pass


FILE = "/a/b/c.txt"
SCENARIOS = {
    # find_origin and the frame's binding, through it
    "find_origin-none": (find_origin, (), {}, ()),
    "find_origin-file": (find_origin, (FILE,), {}, ()),
    "find_origin-path": (find_origin, (pathlib.Path(FILE),), {}, ()),
    "find_origin-func": (find_origin, (), {"func": json.dumps}, ()),
    "find_origin-keywords": (find_origin, (), {"file": FILE, "func": None}, ()),
    "find_origin-getfile-fails": (find_origin, (), {"func": len}, TypeError),
    "find_origin-path-fails": (find_origin, (1,), {}, TypeError),
    "find_origin-too-many": (find_origin, (1, 2, 3), {}, TypeError),
    "find_origin-twice": (find_origin, (1,), {"file": 2}, TypeError),
    "find_origin-unknown": (find_origin, (), {"x": 1}, TypeError),
    "find_origin-key-not-str": (find_origin, (), {1: 2}, TypeError),
    # frame paths find_origin does not take
    "typed-ok": (probe.typed, ("a",), {"maybe": "b"}, ()),
    "typed-wrong-type": (probe.typed, (1,), {}, TypeError),
    "typed-subclass-note": (probe.typed, (Text("a"),), {}, TypeError),
    "flags-truth": (probe.flags, ([1], ""), {"label": None}, ()),
    "required-too-few": (probe.required, (1,), {"c": 3}, TypeError),
    "required-str-subclass-keyword": (probe.required, (1,), {Text("b"): 2}, ()),
    "method": (probe.Probe().one, (1,), {}, ()),
    "statement-fails": (probe.fail, (ValueError, 120), {}, ValueError),
}


@pytest.mark.parametrize("name", SCENARIOS)
def test_no_leak(leak_free, name):
    func, args, kwargs, raises = SCENARIOS[name]
    leak_free(func, args, kwargs, raises=raises)


def test_recursion_error_does_not_leak(leak_free):
    # Each call unwinds thousands of levels, so fewer calls show the same.
    leak_free.scaled(calls=20, warmup=1, rounds=3)(probe.descend, (1,), raises=RecursionError)


def test_missing_global_does_not_leak(leak_free, monkeypatch):
    monkeypatch.delattr(find_origin_module, "Path")
    leak_free(find_origin, (FILE,), raises=NameError)


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="blocks are not counted under malloc")
def test_the_check_catches_a_leak(leak_free):
    kept = []
    with pytest.raises(AssertionError, match="allocated blocks grew"):
        leak_free(lambda: kept.append(object()))
    held = object()
    with pytest.raises(AssertionError, match="argument references grew"):
        leak_free(lambda obj: kept.append(obj), (held,))
