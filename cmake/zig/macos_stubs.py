"""Copies Zig's libSystem stubs for one macOS architecture (see zig.cmake):

    python3 macos_stubs.py SOURCE.tbd ARCH TARGET.tbd

Every list of targets in the text-based stubs keeps ARCH's macOS entry alone: for arm64 that
is the entry of arm64, arm64e or arm64e.x1 (the system's own libraries are arm64e, which arm64
code links against), for x86_64 that of x86_64. A list left empty marks a part of no use to
ARCH, which the linker passes over.
"""

import pathlib
import re
import sys

ACCEPTED = {
    "arm64": {"arm64-macos", "arm64e-macos", "arm64e.x1-macos"},
    "x86_64": {"x86_64-macos"},
}


def main() -> None:
    source, arch, target = sys.argv[1:]
    accepted = ACCEPTED[arch]

    def keep_arch(match: re.Match[str]) -> str:
        names = {name.strip() for name in match.group(2).split(",")}
        kept = f" {arch}-macos " if names & accepted else " "
        return f"{match.group(1)}[{kept}]"

    text = pathlib.Path(source).read_text()
    text, count = re.subn(r"(targets:\s*)\[([^\]]*)\]", keep_arch, text)
    if count == 0:
        sys.exit(f"{source}: no lists of targets found")
    pathlib.Path(target).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(target).write_text(text)


if __name__ == "__main__":
    main()
