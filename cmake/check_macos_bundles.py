"""Checks the macOS modules that `make macos` links (they cannot be run here):

    python3 check_macos_bundles.py BUILD_DIR ARCH NAME [NAME ...]

For every module NAME, BUILD_DIR must hold NAME.cpython-313-darwin.so, and it must be a Mach-O
bundle for ARCH (arm64 or x86_64) that exports its entry point _PyInit_NAME and nothing else,
loads no library but libSystem, and leaves undefined only the interpreter's symbols (looked up
when the interpreter loads the bundle) and libSystem's. Uses file(1) and LLVM's llvm-nm and
llvm-objdump (or their -19 names). Prints one line per module; exits 1 if any check fails.
"""

import pathlib
import re
import shutil
import subprocess
import sys

# The interpreter's exported names (Py..., _Py..., PyExc_...) with Mach-O's leading underscore.
INTERPRETER_SYMBOL = re.compile(r"__?Py\w+")
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


def tool(name: str) -> str:
    for candidate in (name, f"{name}-19"):
        if found := shutil.which(candidate):
            return found
    sys.exit(f"check_macos_bundles: {name} not found (Debian: apt-get install llvm)")


def run(*command: str) -> str:
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def faults(path: pathlib.Path, arch: str, name: str) -> list[str]:
    if not path.is_file():
        return ["missing"]
    found = []
    kind = run("file", "-b", str(path))
    if not kind.startswith(f"Mach-O 64-bit {arch} bundle"):
        found.append(f"not an {arch} bundle: {kind.strip()}")
    exported = run(tool("llvm-nm"), "--extern-only", "--defined-only", "--just-symbol-name", str(path)).split()
    if exported != [f"_PyInit_{name}"]:
        found.append(f"exports {exported}, not _PyInit_{name} alone")
    for line in run(tool("llvm-nm"), "-m", "--undefined-only", str(path)).splitlines():
        symbol = line.split()[2]
        if line.endswith("(from libSystem)"):
            continue
        if line.endswith("(dynamically looked up)") and INTERPRETER_SYMBOL.fullmatch(symbol):
            continue
        found.append(f"undefined symbol of neither the interpreter nor libSystem: {line.strip()}")
    libraries = run(tool("llvm-objdump"), "--macho", "--dylibs-used", str(path)).splitlines()[1:]
    loaded = [entry.split(" (")[0].strip() for entry in libraries]
    if loaded != [LIBSYSTEM]:
        found.append(f"loads {loaded}, not {LIBSYSTEM} alone")
    return found


def main() -> None:
    build, arch, *names = sys.argv[1:]
    failed = False
    for name in names:
        path = pathlib.Path(build) / f"{name}.cpython-313-darwin.so"
        problems = faults(path, arch, name)
        failed |= bool(problems)
        print(f"{path}: " + ("; ".join(problems) if problems else f"{arch} bundle, exports _PyInit_{name}, needs the interpreter and libSystem"))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
