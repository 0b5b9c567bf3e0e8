"""Native functions against their pure-Python twins (twins.py), side by side in one run.

    python benchmarks/run.py [pyperf options, e.g. --fast or -o results.json]

Prints one line per case: the median time of each, and the ratio native / Python.
"""

import pathlib
import platform
import sys
import timeit

import pyperf

HERE = pathlib.Path(__file__).resolve().parent
# Each case: (name, setup shared by both sides, statement, native import, twin import).
PREFIX = f"import sys; sys.path.insert(0, {str(HERE)!r})\n"
CASES = [
    (
        "find_origin()",
        "",
        "find_origin()",
        "from tools.common.find_origin import find_origin",
        "from twins import find_origin",
    ),
    (
        "find_origin(None, None)",
        "",
        "find_origin(None, None)",
        "from tools.common.find_origin import find_origin",
        "from twins import find_origin",
    ),
    (
        "find_origin(file=None, func=None)",
        "",
        "find_origin(file=None, func=None)",
        "from tools.common.find_origin import find_origin",
        "from twins import find_origin",
    ),
    *[
        (
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
    (
        "hush_secret, ~10 000 nodes",
        "from twins import sample_configuration; config = sample_configuration()",
        "hush_secret(value=config)",
        "from tools.common.hush_secret import hush_secret",
        "from twins import hush_secret",
    ),
    (
        "veil_bulk_text, ~10 000 nodes",
        "from twins import sample_configuration; config = sample_configuration()",
        "veil_bulk_text(value=config)",
        "from tools.common.veil_bulk_text import veil_bulk_text",
        "from twins import veil_bulk_text",
    ),
    (
        "boot_banner() once printed",
        "import os; os.environ['app:main'] = 'true'",
        "boot_banner()",
        "from tools.boot_banner.boot_banner import boot_banner",
        "from twins import boot_banner",
    ),
    (
        "Folder.count, 2000 files, listing",
        "from twins import bench_folder; folder = bench_folder()",
        "Folder.count(folder)",
        "from tools.folders.folders import Folder",
        "from twins import Folder",
    ),
    (
        "Folder.count, 2000 files, whole tree",
        "from twins import bench_folder; folder = bench_folder()",
        "Folder.count(folder, recursive=True)",
        "from tools.folders.folders import Folder",
        "from twins import Folder",
    ),
]


def timer(statement, import_line, setup):
    """A pyperf time function: `loops` runs of `statement`, after the imports and the setup."""

    def time_loops(loops):
        return timeit.Timer(statement, PREFIX + import_line + "\n" + setup).timeit(loops)

    return time_loops


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
    import os

    return f"{model} ({platform.machine()}), {os.cpu_count()} cores"


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds * 1e9:.0f} ns"


def main():
    runner = pyperf.Runner(processes=6, values=3, warmups=1)
    runner.metadata["description"] = "tools: native functions against pure-Python twins"
    results = []
    for name, setup, statement, native_import, twin_import in CASES:
        native = runner.bench_time_func(f"{name} [native]", timer(statement, native_import, setup))
        twin = runner.bench_time_func(f"{name} [python]", timer(statement, twin_import, setup))
        results.append((name, native, twin))
    if runner.args.worker:
        return
    print()
    print(f"Machine: {machine()}; Python {platform.python_version()}")
    print(f"{'case':<38} {'native':>12} {'python':>12} {'ratio':>7}")
    for name, native, twin in results:
        if native is None or twin is None:
            continue
        n, p = native.median(), twin.median()
        print(f"{name:<38} {format_time(n):>12} {format_time(p):>12} {n / p:>7.2f}")


if __name__ == "__main__":
    sys.exit(main())
