"""Every use of the interpreter's internals goes through src/frame/internals.hpp.

This reads the sources, not the installed package: it checks that porting to another
interpreter version stays the work of that one file.
"""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
HEADER = ROOT / "src" / "frame" / "internals.hpp"
SOURCE_DIRS = [ROOT / "src", ROOT / "tests" / "native"]

# What only the header may name: underscore names and the unstable API, fields of the
# interpreter's structures that may change between versions, and the headers and calls that
# Python.h leaves out.
INTERNAL = re.compile(
    r"\b_Py[A-Z]\w*"
    r"|\bPyUnstable_\w+"
    r"|\bPy_SET_SIZE\b"
    r"|\btp_version_tag\b"
    r"|\bc_recursion_remaining\b"
    r"|\bd_wrapped\b|\bd_member\b|\bPyDescr_TYPE\b"
    r"|\bPyWrapperDescrObject\b|\bPyMemberDescrObject\b"
    r"|->\s*co_\w+"
    r"|\bPyFrame_New\b|<frameobject\.h>|<internal/"
    r"|\bma_version_tag\b|<opcode\.h>"
)

pytestmark = pytest.mark.skipif(not HEADER.is_file(), reason="needs the source tree")


def sources():
    return sorted(
        p
        for folder in SOURCE_DIRS
        for p in folder.rglob("*")
        if p.suffix in (".hpp", ".cpp", ".h", ".c") and p not in (HEADER, HEADER.with_suffix(".cpp"))
    )


def internals_used(text):
    return sorted({m.group(0) for m in INTERNAL.finditer(text)})


@pytest.mark.parametrize("path", sources(), ids=lambda p: str(p.relative_to(ROOT)))
def test_internals_only_through_the_header(path):
    assert internals_used(path.read_text()) == [], f"{path.name} uses internals directly"


@pytest.mark.parametrize(
    ("line", "found"),
    [
        ("PyObject* f = _PyType_Lookup(type, name);", ["_PyType_Lookup"]),
        ("Ref d = Ref::steal(_PyDict_NewPresized(n));", ["_PyDict_NewPresized"]),
        ("PyUnstable_Type_AssignVersionTag(t) ? t->tp_version_tag : 0",
         ["PyUnstable_Type_AssignVersionTag", "tp_version_tag"]),
        ("++thread_->c_recursion_remaining;", ["c_recursion_remaining"]),
        ("reinterpret_cast<PyWrapperDescrObject*>(o)->d_wrapped",
         ["PyWrapperDescrObject", "d_wrapped"]),
        ("PyObject* t = ((PyCodeObject*)code)->co_linetable;", ["->co_linetable"]),
        ("#include <frameobject.h>", ["<frameobject.h>"]),
        # The public API and names that merely look alike.
        ('Ref t = Ref::steal(PyObject_GetAttrString(code, "co_linetable"));', []),
        ("if (Py_EnterRecursiveCall(context)) {", []),
        ("PyList_SET_ITEM(list, i, Py_SIZE(other));", []),
        ("my_PyType_Lookup(type, name);", []),
    ],
)
def test_what_counts_as_an_internal(line, found):
    assert internals_used(line) == sorted(found)


def test_the_header_uses_what_it_guards():
    # The header is what the check leaves out; it must still be where these are used.
    used = set(internals_used(HEADER.read_text()))
    assert {"_PyType_Lookup", "_PyDict_NewPresized", "Py_SET_SIZE", "tp_version_tag",
            "c_recursion_remaining", "d_wrapped", "<frameobject.h>"} <= used
