"""A tour of the tools package: each section shows one module doing its job."""

import importlib
import sys

# The sections, in the order they run; each module's section lives beside this file.
SECTIONS = [
    "show_boot_banner",
    "show_find_origin",
    "show_hush_secret",
    "show_veil_bulk_text",
    "show_prop_keeper",
    "show_folders",
]


def main() -> None:
    for name in SECTIONS:
        section = importlib.import_module(name)
        title = section.__doc__.strip().splitlines()[0]
        print(f"\n=== {title}")
        section.show()


if __name__ == "__main__":
    sys.exit(main())
