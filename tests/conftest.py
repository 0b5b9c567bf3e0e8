"""Shared fixtures: child interpreters for what one process can see only once."""

import os
import subprocess
import sys
import textwrap

import pytest


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
