"""Shared fixtures: child interpreters for what one process can see only once."""

import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

# Helper modules of the suite (not tests themselves) live beside this file.
sys.path.insert(0, os.path.dirname(__file__))

# The test-only modules (tools._testing) are built for development, never into a wheel. Where
# the installed package has none (the wheel builds test each wheel), the test files that import
# them are not collected, and the report header says so.
TESTING_MODULES = "tools._testing"
HAS_TESTING_MODULES = importlib.util.find_spec(TESTING_MODULES) is not None
collect_ignore = (
    []
    if HAS_TESTING_MODULES
    else sorted(
        path.name
        for path in pathlib.Path(__file__).parent.glob("test_*.py")
        if TESTING_MODULES in path.read_text(encoding="utf-8")
    )
)


def pytest_report_header():
    if collect_ignore:
        return f"{TESTING_MODULES} is not installed: not collected: {', '.join(collect_ignore)}"
    return None


class ChildPython:
    """Runs code in a fresh interpreter of the installed package."""

    def __init__(self, cwd):
        self.cwd = cwd

    def run(self, code, *, env=None, check=True):
        """Runs `code` (dedented); returns the finished process, stdout and stderr as text."""
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
        full_env.update(env or {})
        done = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
            cwd=self.cwd,
            env=full_env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        if check and done.returncode != 0:
            raise AssertionError(f"child failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
        return done


@pytest.fixture
def child(tmp_path):
    """A fresh interpreter, started in an empty temporary folder."""
    return ChildPython(tmp_path)


class LeakCheck:
    """Calls a function many times and fails if memory blocks or argument references grow.

    After `warmup` rounds of `calls` calls (which fill caches and free lists), the blocks that
    a round leaves allocated are counted for rounds of `calls` calls and for rounds of twice
    as many, the least of `rounds` rounds of each. What caches and free lists keep is
    much the same however many calls a round makes, and differs from one interpreter build to
    the next; a leak grows with the number of calls, so the check compares the two sizes: a
    leak of even one block in ten calls fails it.
    """

    def __init__(self, calls=200, warmup=2, rounds=3):
        self.calls, self.warmup, self.rounds = calls, warmup, rounds

    def scaled(self, calls, warmup, rounds):
        """The same check with other counts, for calls that are costly on their own."""
        return LeakCheck(calls, warmup, rounds)

    @staticmethod
    def _round(calls, func, args, kwargs, raises):
        for _ in range(calls):
            try:
                func(*args, **kwargs)
            except raises:
                pass

    def _least_growth(self, calls, func, args, kwargs, raises):
        import gc

        growth = []
        for _ in range(self.rounds):
            gc.collect()
            before = sys.getallocatedblocks()
            self._round(calls, func, args, kwargs, raises)
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
        return min(growth)

    def __call__(self, func, args=(), kwargs=None, raises=()):
        import gc

        if sys.getallocatedblocks() == 0:
            pytest.skip("blocks are counted only with the interpreter's own allocator")
        kwargs = kwargs or {}
        watched = list(args) + list(kwargs.values())
        for _ in range(self.warmup):
            self._round(self.calls, func, args, kwargs, raises)
        gc.collect()
        refs_before = [sys.getrefcount(obj) for obj in watched]
        small = self._least_growth(self.calls, func, args, kwargs, raises)
        large = self._least_growth(2 * self.calls, func, args, kwargs, raises)
        refs_after = [sys.getrefcount(obj) for obj in watched]
        assert refs_after == refs_before, f"argument references grew: {refs_before} -> {refs_after}"
        assert large - small < self.calls // 10, (
            f"allocated blocks grew with the calls: {small} in a round of {self.calls} calls, "
            f"{large} in a round of {2 * self.calls}"
        )
        return small, large


@pytest.fixture
def leak_free():
    """`leak_free(func, args, kwargs, raises=...)` fails if calling func(*args, **kwargs) leaks."""
    return LeakCheck()
