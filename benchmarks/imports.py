"""What each module costs at import, for one or more installed builds of the package.

    python benchmarks/imports.py [--runs N] SITE [SITE ...]

SITE is a folder that holds an installed `tools` package (a site-packages folder, or the
target of `pip install --target`). For every module, every SITE gets N fresh interpreter
processes, taken in turns so that the machine's load falls on every build alike. Each process
first imports the standard-library modules (and the `logger` stand-in of examples/) that the
modules import, so that what is timed is the module alone: loading its shared object and
running its exec step. Printed per module and SITE: the file's size, the median of the
import's own time from `-X importtime`, and the median growth of the process's resident memory
(Rss of /proc/self/smaps_rollup) over the import.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples"

MODULES = [
    "tools.common.prop_keeper",
    "tools.common.veil_bulk_text",
    "tools.common.hush_secret",
    "tools.common.find_origin",
    "tools.folders.folders",
    "tools.boot_banner.boot_banner",
]

# The standard-library imports of every module's exec step, and the package folders.
PRELUDE = (
    "import typing, dataclasses, inspect, pathlib, os, os.path, shutil, datetime, getpass,"
    " socket, platform, logger, tools, tools.common, tools.folders, tools.boot_banner\n"
)
PROBE = """
def rss():
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Rss:"):
                return int(line.split()[1])
before = rss()
import {module}
print("rss", rss() - before)
"""


def module_file(site: pathlib.Path, module: str) -> pathlib.Path:
    folder = site.joinpath(*module.split(".")[:-1])
    (found,) = folder.glob(module.rsplit(".", 1)[1] + ".*.so")
    return found


def one_import(site: pathlib.Path, module: str) -> tuple[int, int]:
    """The import's own time in microseconds and the resident memory it added in KiB."""
    env = {"PATH": os.environ.get("PATH", ""), "PYTHONPATH": os.pathsep.join([str(site), str(EXAMPLES)])}
    code = PRELUDE + PROBE.format(module=module)
    done = subprocess.run(
        [sys.executable, "-X", "importtime", "-S", "-c", code],
        env=env, capture_output=True, text=True, check=True,
    )
    own = None
    for line in done.stderr.splitlines():
        # "import time: self [us] | cumulative | imported package"
        fields = [part.strip() for part in line.removeprefix("import time:").split("|")]
        if len(fields) == 3 and fields[2] == module:
            own = int(fields[0])
    if own is None:
        raise RuntimeError(f"{module} did not show in -X importtime:\n{done.stderr}")
    rss = int(done.stdout.split()[-1])
    return own, rss


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=41)
    parser.add_argument("sites", nargs="+", type=pathlib.Path)
    args = parser.parse_args()
    print("| module | " + " | ".join(f"{s}: size, import, Rss" for s in args.sites) + " |")
    print("|---|" + "---:|" * len(args.sites))
    for module in MODULES:
        times = {site: [] for site in args.sites}
        rss = {site: [] for site in args.sites}
        for _ in range(args.runs):
            for site in args.sites:
                own, grown = one_import(site, module)
                times[site].append(own)
                rss[site].append(grown)
        cells = [
            f"{module_file(site, module).stat().st_size / 1024:.1f} KiB, "
            f"{statistics.median(times[site]):.0f} us, {statistics.median(rss[site]):.0f} KiB"
            for site in args.sites
        ]
        print(f"| `{module}` | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
