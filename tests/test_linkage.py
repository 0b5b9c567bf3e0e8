"""Each installed module links against the interpreter only: on Linux its dynamic section
names the C library (and the loader, libm and libpthread that toolchains add) and nothing else,
so that no C++ runtime of the build machine has to be present where the package is installed."""

import os
import pathlib
import re
import sys

import pytest

import tools

ALLOWED_NEEDED = re.compile(r"(libc|libm|libpthread)\.so\.\d+|ld-linux[-\w.]*\.so\.\d+|libc\.musl-\w+\.so\.1")

pytestmark = [
    pytest.mark.skipif(sys.platform != "linux", reason="ELF dynamic sections are Linux's"),
    pytest.mark.skipif(
        os.environ.get("TOOLS_SANITIZER_BUILD") == "1",
        reason="the sanitizer build links the sanitizer runtimes and the shared C++ runtime",
    ),
]


def needed_libraries(path):
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    with open(path, "rb") as file:
        elf = ELFFile(file)
        return [
            tag.needed
            for section in elf.iter_sections()
            if isinstance(section, DynamicSection)
            for tag in section.iter_tags("DT_NEEDED")
        ]


MODULES = sorted(pathlib.Path(tools.__file__).parent.rglob("*.so"))


def test_every_module_is_checked():
    shipped = {path.name.split(".")[0] for path in MODULES}
    assert {"boot_banner", "folders", "prop_keeper", "veil_bulk_text", "hush_secret", "find_origin"} <= shipped


@pytest.mark.parametrize("module", MODULES, ids=lambda path: path.name.split(".")[0])
def test_module_needs_only_the_c_library(module):
    needed = needed_libraries(module)
    assert "libc.so.6" in needed or any(name.startswith("libc.musl") for name in needed)
    assert [name for name in needed if not ALLOWED_NEEDED.fullmatch(name)] == []
