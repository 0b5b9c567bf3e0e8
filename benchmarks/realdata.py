"""Real-world JSON for the walk benchmarks: the API descriptions that the botocore package ships
(pinned in requirements/bench.txt) for a public cloud's services.

Only the data files are read; the package itself is never imported. Every eighth service in
name order, starting from the fifth, gives 60 documents of about 275 000 nodes: dicts of up to
a few thousand keys (the shapes of the large services), strings of median length 17.
"""

import functools
import gzip
import importlib.util
import json
import pathlib
import statistics

DOCUMENTS = 60
STRIDE, START = 8, 4


def data_folder():
    # find_spec locates a top-level package without running its __init__.
    spec = importlib.util.find_spec("botocore")
    if spec is None or not spec.submodule_search_locations:
        raise SystemExit("botocore is not installed: make bench installs requirements/bench.txt")
    return pathlib.Path(next(iter(spec.submodule_search_locations))) / "data"


@functools.cache
def documents():
    """The service descriptions, parsed: a tuple of dicts, loaded once per process."""
    paths = sorted(data_folder().glob("*/*/service-2.json.gz"))
    chosen = paths[START::STRIDE][:DOCUMENTS]
    return tuple(json.loads(gzip.decompress(path.read_bytes())) for path in chosen)


def describe(docs):
    """Documents, nodes (containers and leaves), the largest dict, the median string length."""
    nodes, largest, lengths = 0, 0, []
    stack = list(docs)
    while stack:
        value = stack.pop()
        nodes += 1
        if isinstance(value, dict):
            largest = max(largest, len(value))
            stack.extend(value.values())
        elif isinstance(value, list):
            stack.extend(value)
        elif isinstance(value, str):
            lengths.append(len(value))
    return (
        f"{len(docs)} documents, {nodes} nodes, dicts of up to {largest} keys, "
        f"strings of median length {statistics.median(lengths):g}"
    )
