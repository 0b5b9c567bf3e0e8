"""Replays every input of the fuzz targets' corpora and every former crash (tests/fuzz/).

Each input runs once through its target's `one_input`, which raises when the native code
misbehaves (a SystemError, a result other than the model's); a crash of the process itself
ends this run too, with the sanitizers' report.
"""

import importlib
import pathlib

import pytest

FUZZ = pathlib.Path(__file__).parent / "fuzz"
TARGETS = ("binding", "walks", "prop_keeper")


def inputs():
    """(target, file) for each corpus input, and for each crash kept as `<target>-crash-*`."""
    for target in TARGETS:
        for path in sorted((FUZZ / "corpus" / target).iterdir()):
            yield pytest.param(target, path, id=f"{target}/{path.name[:12]}")
    for path in sorted((FUZZ / "crashes").glob("*-crash-*")):
        target = path.name.split("-")[0]
        yield pytest.param(target, path, id=f"crash/{path.name}")


def test_every_target_has_a_corpus():
    for target in TARGETS:
        assert any((FUZZ / "corpus" / target).iterdir()), target


@pytest.mark.parametrize(("target", "path"), list(inputs()))
def test_replay(target, path):
    importlib.import_module(f"fuzz.{target}").one_input(path.read_bytes())
