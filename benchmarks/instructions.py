"""Instructions per run of benchmark cases (run.py's CASES, native side), counted by callgrind,
for one or more installed builds of the package: a measure that does not move with the load.

    python benchmarks/instructions.py SITE [SITE ...]

SITE is a folder that holds an installed `tools` package. Each case runs under
`valgrind --tool=callgrind` twice per SITE, with a small and a larger number of runs of its
statement, in fresh processes with PYTHONHASHSEED=0; the difference of the two totals, divided by
the difference of the run counts, is what one run costs (imports and setup cancel out).
Needs valgrind. The real-data cases need the benchmark data (requirements/bench.txt) installed
in the running interpreter's environment.
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

# (case name in run.py, the two run counts)
MEASURED = [
    ("find_origin()", 20_000, 40_000),
    ("find_origin(file=None, func=None)", 20_000, 40_000),
    ("PropKeeper get_attribute", 10_000, 20_000),
    ("PropKeeper value", 10_000, 20_000),
    ("hush_secret, ~10 000 nodes", 5, 10),
    ("veil_bulk_text, ~10 000 nodes", 5, 10),
    ("hush_secret, real data, 60 documents", 1, 2),
    ("veil_bulk_text, real data, 60 documents", 1, 2),
]

DRIVER = """
import sys
sys.path.insert(0, {here!r})
import run
(case,) = [c for c in run.CASES if c.name == {name!r}]
run.make_timer(case.statement, case.native_import, case.setup).timeit({runs})
"""


def environment_sites() -> list[str]:
    """The running interpreter's own site folders, for the benchmark data and pyperf."""
    import site

    return [p for p in site.getsitepackages() if os.path.isdir(p)]


def instructions(site: pathlib.Path, name: str, runs: int) -> int:
    path = os.pathsep.join([str(site.resolve()), *environment_sites()])
    env = {"PATH": os.environ.get("PATH", ""), "PYTHONPATH": path, "PYTHONHASHSEED": "0"}
    with tempfile.TemporaryDirectory() as scratch:
        out = pathlib.Path(scratch) / "callgrind.out"
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-S",
             "-c", DRIVER.format(here=str(HERE), name=name, runs=runs)],
            env=env, cwd=scratch, check=True, capture_output=True,
        )
        (total,) = re.findall(r"^summary:\s+(\d+)", out.read_text(), re.MULTILINE)
    return int(total)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("sites", nargs="+", type=pathlib.Path)
    args = parser.parse_args()
    print("| case | " + " | ".join(str(s) for s in args.sites) + " |")
    print("|---|" + "---:|" * len(args.sites))
    for name, few, many in MEASURED:
        cells = []
        for site in args.sites:
            per_run = (instructions(site, name, many) - instructions(site, name, few)) / (many - few)
            cells.append(f"{per_run:,.0f}")
        print(f"| `{name}` | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
