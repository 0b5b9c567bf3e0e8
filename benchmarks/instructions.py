"""Instructions per run of benchmark cases (run.py's CASES, native side), counted by callgrind,
for one or more installed builds of the package: a measure that does not move with the load.

    python benchmarks/instructions.py SITE [SITE ...]

SITE is a folder that holds an installed `tools` package. Each case runs under
`valgrind --tool=callgrind` three times per SITE, with N, 2N and 3N runs of its statement, in
fresh processes with PYTHONHASHSEED=0. The difference of two consecutive totals, divided by N, is
what one run costs (imports and setup cancel out); of the two differences the smaller is shown,
as a one-time event in one of them (a garbage collection, a table that grows) only adds to it.
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

# (case name in run.py, N)
MEASURED = [
    ("find_origin()", 20_000),
    ("find_origin(file=None, func=None)", 20_000),
    ("PropKeeper get_attribute", 20_000),
    ("PropKeeper value", 20_000),
    ("hush_secret, ~10 000 nodes", 5),
    ("veil_bulk_text, ~10 000 nodes", 5),
    ("hush_secret, real data, 60 documents", 1),
    ("veil_bulk_text, real data, 60 documents", 1),
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
    for name, runs in MEASURED:
        cells = []
        for site in args.sites:
            totals = [instructions(site, name, runs * k) for k in (1, 2, 3)]
            per_run = min(b - a for a, b in zip(totals, totals[1:])) / runs
            cells.append(f"{per_run:,.0f}")
        print(f"| `{name}` | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
