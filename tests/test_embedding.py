"""A host that embeds the interpreter, finalizes it and starts it again in the same process.

After the interpreter that loaded a module is finalized, importing the module again in the
next interpreter must build a working module, never hand back the objects of the old one.
"""

import json
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import tools
from tools.common.veil_bulk_text import veil_bulk_text

HOST = r"""
#include <Python.h>
#include <stdio.h>

/* Runs the script in ROUNDS interpreters, one after the other, in this one process. */
int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    int rounds = atoi(argv[2]);
    for (int round = 0; round < rounds; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) {
            return 1;
        }
        fflush(stdout);
        if (Py_FinalizeEx() != 0) {
            return 3;
        }
    }
    return 0;
}
"""

# Each round uses every module, including paths that fill the frame's caches (traceback
# entries, attribute reads) and the module constants.
SCRIPT = r"""
import json, sys, traceback
sys.path[:0] = [SITE, ROOT]
from tools.common.find_origin import find_origin
from tools.common.hush_secret import hush_secret
from tools.common.veil_bulk_text import veil_bulk_text
from tools.common.prop_keeper import PropKeeper
from tools.folders.folders import Folder
from tools.boot_banner import boot_banner as banner_module

class Slotted:
    __slots__ = ("_Slotted__secret",)

target = Slotted()
PropKeeper.set_attribute(target, "__secret", 7)
try:
    find_origin(1, 2, 3)
except TypeError as error:
    failed = [str(error), [(f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)][-1]]
print(json.dumps([
    str(find_origin("/a/b")),
    hush_secret(value={"password": "abc", "items": [1, ("pwd", None)]}),
    len(veil_bulk_text(value={"text": "x" * 5000})["text"]),
    PropKeeper.get_attribute(target, "__secret"),
    PropKeeper(target, "__secret").value,
    Folder.count(HERE, files=True, folders=True),
    failed,
    type(find_origin).__doc__ is not None,
    callable(banner_module.boot_banner),
    # The function type's own attributes, looked up in its dict: a type left over from the
    # previous interpreter would search the freed names of that one.
    [name in vars(type(find_origin)) for name in ("__reduce__", "__name__", "__code__")],
    type(find_origin).__mro__ == (type(find_origin), object),
]))
"""


def build_host(tmp_path):
    compiler = shutil.which(sysconfig.get_config_var("CC").split()[0]) or shutil.which("cc")
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    if not compiler or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython")
    (tmp_path / "host.c").write_text(HOST)
    subprocess.run(
        [compiler, "host.c", "-o", "host", f"-I{sysconfig.get_paths()['include']}",
         f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{version}"],
        cwd=tmp_path, check=True, capture_output=True,
    )
    return tmp_path / "host"


def test_a_restarted_interpreter_gets_a_fresh_working_module(tmp_path):
    host = build_host(tmp_path)
    (tmp_path / "logger.py").write_text("def logging(prefix):\n    return lambda f: f\n")
    (tmp_path / "folder").mkdir()
    site = os.path.dirname(tools.__path__[0])
    script = f"SITE = {site!r}\nROOT = {str(tmp_path)!r}\nHERE = {str(tmp_path / 'folder')!r}\n"
    script += SCRIPT
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON") or k == "PYTHONMALLOC"}
    env["PYTHONHOME"] = sys.base_prefix
    done = subprocess.run([host, script, "3"], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    rounds = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(rounds) == 3
    assert rounds[0] == [
        "/a",
        {"password": "***", "items": [1, ["pwd", ""]]},
        len(veil_bulk_text(value={"text": "x" * 5000})["text"]),
        7,
        7,
        0,
        ["find_origin() takes at most 2 positional arguments (3 given)",
         ["tools.common.find_origin.find_origin", 19]],
        True,
        True,
        [True, True, True],
        True,
    ]
    assert rounds[1] == rounds[2] == rounds[0]
