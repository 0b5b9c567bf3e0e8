"""Each installed module links against the interpreter and the C library only: its dynamic
section names the C library and nothing else, and no part of a C++ runtime (libstdc++, libc++,
their ABI library or the unwinder) is linked into it or asked for, so that the package installs
wherever the interpreter runs."""

import os
import pathlib
import re
import sys

import pytest

import tools

# The C library: glibc's libc (with libpthread, which glibc before 2.34 keeps apart, and the
# dynamic loader, which holds the thread-local lookup `__tls_get_addr`), or musl's.
C_LIBRARY = re.compile(r"libc\.so\.6|libpthread\.so\.0|ld-linux[-\w.]*\.so\.[12]|libc\.musl-\w+\.so\.1")

# What a C++ runtime defines: the personality routines and the unwinder that exceptions need,
# the ABI library's entry points, operator new and delete, type information and the standard
# library's own names.
CXX_RUNTIME_SYMBOL = re.compile(
    r"__gxx_personality_\w+|__gcc_personality_\w+|_Unwind_\w+|__cxa_\w+|_Zn[wa]\w+|_Zd[la]\w+"
    r"|_ZT[ISV]\w+|_ZSt\w+|_ZNSt\w+|_ZNKSt\w+"
)
# The C library's own, which any shared object with static destructors uses.
C_LIBRARY_SYMBOLS = {"__cxa_atexit", "__cxa_finalize", "__cxa_thread_atexit_impl"}
# Defined by the frame for the vtable of an abstract class, in place of the runtime's.
FRAME_DEFINED = {"__cxa_pure_virtual"}

# Versions of the toolchain's runtime libraries (libstdc++, its ABI part, libgcc_s).
CXX_RUNTIME_VERSION = re.compile(r"GLIBCXX_.*|CXXABI_.*|GCC_.*")

pytestmark = [
    pytest.mark.skipif(sys.platform != "linux", reason="ELF dynamic sections are Linux's"),
    pytest.mark.skipif(
        os.environ.get("TOOLS_SANITIZER_BUILD") == "1",
        reason="the sanitizer build links the sanitizer runtimes and the shared C++ runtime",
    ),
]

MODULES = sorted(pathlib.Path(tools.__file__).parent.rglob("*.so"))


def open_elf(path):
    from elftools.elf.elffile import ELFFile

    return ELFFile(open(path, "rb"))


def needed_libraries(elf):
    from elftools.elf.dynamic import DynamicSection

    return [
        tag.needed
        for section in elf.iter_sections()
        if isinstance(section, DynamicSection)
        for tag in section.iter_tags("DT_NEEDED")
    ]


def runtime_symbols(elf):
    """C++ runtime symbols in the dynamic and (where not stripped) the static symbol table."""
    from elftools.elf.sections import SymbolTableSection

    found = set()
    for section in elf.iter_sections():
        if not isinstance(section, SymbolTableSection):
            continue
        for symbol in section.iter_symbols():
            name = symbol.name
            if not CXX_RUNTIME_SYMBOL.fullmatch(name) or name in C_LIBRARY_SYMBOLS:
                continue
            if name in FRAME_DEFINED and symbol["st_shndx"] != "SHN_UNDEF":
                continue
            found.add(f"{section.name}: {name}")
    return sorted(found)


def runtime_versions(elf):
    from elftools.elf.gnuversions import GNUVerNeedSection

    return sorted(
        f"{file.name}: {version.name}"
        for section in elf.iter_sections()
        if isinstance(section, GNUVerNeedSection)
        for file, versions in section.iter_versions()
        for version in versions
        if CXX_RUNTIME_VERSION.fullmatch(version.name)
    )


def exception_support(elf):
    """What compiled-in exception handling leaves even in a stripped module: the tables of its
    landing pads, and call-frame entries that name a personality routine."""
    found = [".gcc_except_table"] if elf.get_section_by_name(".gcc_except_table") else []
    if elf.has_dwarf_info():
        from elftools.dwarf.callframe import CIE

        dwarf = elf.get_dwarf_info()
        if dwarf.has_EH_CFI():
            augmentations = {
                entry.header["augmentation"]
                for entry in dwarf.EH_CFI_entries()
                if isinstance(entry, CIE)
            }
            found += [f"CIE {a!r} with a personality" for a in sorted(augmentations) if b"P" in a]
    return found


def test_every_module_is_checked():
    shipped = {path.name.split(".")[0] for path in MODULES}
    assert {"boot_banner", "folders", "prop_keeper", "veil_bulk_text", "hush_secret", "find_origin"} <= shipped


@pytest.mark.parametrize("module", MODULES, ids=lambda path: path.name.split(".")[0])
def test_module_needs_only_the_c_library(module):
    with open_elf(module) as elf:
        assert [name for name in needed_libraries(elf) if not C_LIBRARY.fullmatch(name)] == []
        assert runtime_versions(elf) == []


@pytest.mark.parametrize("module", MODULES, ids=lambda path: path.name.split(".")[0])
def test_module_holds_no_cxx_runtime(module):
    with open_elf(module) as elf:
        assert runtime_symbols(elf) == []
        assert exception_support(elf) == []
