"""Starts libFuzzer (through atheris) on a target's `one_input`."""

import os
import shlex
import sys


def fuzz(one_input):
    import atheris

    # libFuzzer starts its helper processes (for -merge, say) by handing argv[0] to the shell:
    # the script alone is no program, the interpreter followed by the script is.
    program = f"{shlex.quote(sys.executable)} {shlex.quote(os.path.abspath(sys.argv[0]))}"
    atheris.Setup([program, *sys.argv[1:]], one_input)
    atheris.Fuzz()
