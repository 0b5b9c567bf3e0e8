"""Native functions against their pure-Python twins (twins.py), side by side in one run, and
against the floor of the same work where the test-only module tools._testing.floors has one.

    python benchmarks/run.py [pyperf options, e.g. --fast or -o results.json]

Prints one line per case: the median time of each side (pyperf, each side in its own worker
processes), the ratio native / Python and, for the cases with a floor, the ratio native / floor.
Every time is the CPU time of the timing thread: on a machine shared with other work, time
spent waiting for a core is no part of the cost. The ratios come from a second, paired pass,
since the load still drifts (caches, memory bandwidth) between one side's worker processes
and the next: one process times the sides of a case in alternation, round after round, and
each round gives one ratio; the table shows their median and interquartile range. The floors: for a call, an extension object whose
vectorcall returns None at once (the interpreter's generic call path, which no function type
can go below); for a walk, a C copy of the nested dicts, lists and tuples that shares every
leaf (the containers any copying walk must build). The real-data cases (realdata.py) call the
function once per document of a public cloud's API descriptions.
"""

import dataclasses
import os
import pathlib
import platform
import statistics
import sys
import time
import timeit

import pyperf

HERE = pathlib.Path(__file__).resolve().parent
PREFIX = f"import sys; sys.path.insert(0, {str(HERE)!r})\n"


@dataclasses.dataclass(frozen=True)
class Floor:
    """The floor side of a case: its import, and its statement where it differs."""

    import_line: str
    statement: str | None = None


@dataclasses.dataclass(frozen=True)
class Case:
    name: str
    setup: str  # shared by every side
    statement: str
    native_import: str
    twin_import: str
    floor: Floor | None = None


# The call floor stands in under the function's own name, so every side runs one statement.
CALL_FLOOR = Floor("from tools._testing.floors import call_floor as find_origin")
COPY_FLOOR = Floor(
    "from tools._testing.floors import copy_containers", "copy_containers(config)"
)
REAL_DATA = "from realdata import documents; docs = documents()"


def real_data_case(function, label_argument=""):
    module = f"tools.common.{function}"
    return Case(
        f"{function}, real data, 60 documents",
        REAL_DATA,
        f"for doc in docs: {function}({label_argument}value=doc)",
        f"from {module} import {function}",
        f"from twins import {function}",
        Floor(
            "from tools._testing.floors import copy_containers",
            "for doc in docs: copy_containers(doc)",
        ),
    )


CASES = [
    *[
        Case(
            f"find_origin({arguments})",
            "",
            f"find_origin({arguments})",
            "from tools.common.find_origin import find_origin",
            "from twins import find_origin",
            CALL_FLOOR,
        )
        for arguments in ["", "None, None", "file=None, func=None"]
    ],
    *[
        Case(
            f"PropKeeper {label}",
            "from twins import Owner; target = Owner(); keeper = PropKeeper(target, '__count')",
            statement,
            "from tools.common.prop_keeper import PropKeeper",
            "from twins import PropKeeper",
        )
        for label, statement in [
            ("get_attribute", "PropKeeper.get_attribute(target, '__count')"),
            ("set_attribute", "PropKeeper.set_attribute(target, '__count', 2)"),
            ("has_attribute", "PropKeeper.has_attribute(target, '__count')"),
            ("value", "keeper.value"),
        ]
    ],
    Case(
        "hush_secret, ~10 000 nodes",
        "from twins import sample_configuration; config = sample_configuration()",
        "hush_secret(value=config)",
        "from tools.common.hush_secret import hush_secret",
        "from twins import hush_secret",
        COPY_FLOOR,
    ),
    Case(
        "veil_bulk_text, ~10 000 nodes",
        "from twins import sample_configuration; config = sample_configuration()",
        "veil_bulk_text(value=config)",
        "from tools.common.veil_bulk_text import veil_bulk_text",
        "from twins import veil_bulk_text",
        COPY_FLOOR,
    ),
    real_data_case("hush_secret"),
    real_data_case("veil_bulk_text"),
    Case(
        "boot_banner() once printed",
        "import os; os.environ['app:main'] = 'true'",
        "boot_banner()",
        "from tools.boot_banner.boot_banner import boot_banner",
        "from twins import boot_banner",
    ),
    Case(
        "Folder.count, 2000 files, listing",
        "from twins import bench_folder; folder = bench_folder()",
        "Folder.count(folder)",
        "from tools.folders.folders import Folder",
        "from twins import Folder",
    ),
    Case(
        "Folder.count, 2000 files, whole tree",
        "from twins import bench_folder; folder = bench_folder()",
        "Folder.count(folder, recursive=True)",
        "from tools.folders.folders import Folder",
        "from twins import Folder",
    ),
]


# The CPU time of the timing thread, not the wall clock: on a machine shared with other work,
# time spent waiting for a core while another process runs is no part of the cost measured.
def make_timer(statement, import_line, setup):
    return timeit.Timer(statement, PREFIX + import_line + "\n" + setup, timer=time.thread_time)


def timer(statement, import_line, setup):
    """A pyperf time function: `loops` runs of `statement`, after the imports and the setup."""

    def time_loops(loops):
        return make_timer(statement, import_line, setup).timeit(loops)

    return time_loops


def sides(case):
    """(label, statement, import line) of each side of a case: native first."""
    found = [
        ("native", case.statement, case.native_import),
        ("python", case.statement, case.twin_import),
    ]
    if case.floor:
        found.append(("floor", case.floor.statement or case.statement, case.floor.import_line))
    return found


PAIRED_ROUNDS = 25
PAIRED_CHUNK = 0.005  # seconds of the native side per round, at least


def paired_ratios(case):
    """{side: (median, first quartile, third quartile)} of native / side over rounds in which
    all sides of `case` run back to back, in rotating order, the same number of loops each."""
    timers = [(label, make_timer(s, i, case.setup)) for label, s, i in sides(case)]
    native = timers[0][1]
    loops = 1
    while native.timeit(loops) < PAIRED_CHUNK:
        loops *= 2
    times = {label: [] for label, _ in timers}
    for round_ in range(PAIRED_ROUNDS):
        shift = round_ % len(timers)
        for label, t in timers[shift:] + timers[:shift]:
            times[label].append(t.timeit(loops))
    summary = {}
    for label, _ in timers[1:]:
        per_round = [n / other for n, other in zip(times["native"], times[label])]
        first, median, third = statistics.quantiles(per_round, n=4)
        summary[label] = (median, first, third)
    return summary


def machine():
    """The CPU model and core count, as Linux reports them."""
    model = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model} ({platform.machine()}), {os.cpu_count()} cores"


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds * 1e9:.0f} ns"


def main():
    runner = pyperf.Runner(processes=6, values=3, warmups=1)
    runner.metadata["description"] = "tools: native functions against pure-Python twins and floors"
    results = []
    for case in CASES:
        benchmarks = {
            label: runner.bench_time_func(
                f"{case.name} [{label}]", timer(statement, import_line, case.setup)
            )
            for label, statement, import_line in sides(case)
        }
        results.append((case, benchmarks))
    if runner.args.worker:
        return
    print()
    print(f"Machine: {machine()}; Python {platform.python_version()}")
    print(f"Real data: {real_data_description()}")
    print(
        f"Times: CPU time of the timing thread. Ratios: median of {PAIRED_ROUNDS} paired "
        f"rounds [interquartile range]; "
        f"load average at start: {os.getloadavg()[0]:.2f}"
    )
    print(
        f"{'case':<40} {'floor':>9} {'native':>9} {'python':>9} "
        f"{'native/python':>19} {'native/floor':>19}"
    )
    for case, benchmarks in results:
        if None in benchmarks.values():
            continue  # left out by pyperf's options
        medians = {label: benchmark.median() for label, benchmark in benchmarks.items()}
        ratios = paired_ratios(case)
        times = [format_time(medians[label]) if label in medians else "-" for label in COLUMNS]
        shares = [format_ratio(ratios[label]) if label in ratios else "-" for label in RATIOS]
        print(
            f"{case.name:<40} {times[0]:>9} {times[1]:>9} {times[2]:>9} "
            f"{shares[0]:>19} {shares[1]:>19}",
            flush=True,
        )
    print(f"Load average at end: {os.getloadavg()[0]:.2f}")


COLUMNS = ("floor", "native", "python")  # times
RATIOS = ("python", "floor")  # native / each


def format_ratio(summary):
    median, first, third = summary
    return f"{median:.2f} [{first:.2f}-{third:.2f}]"


def real_data_description():
    sys.path.insert(0, str(HERE))
    import realdata

    return realdata.describe(realdata.documents())


if __name__ == "__main__":
    sys.exit(main())
