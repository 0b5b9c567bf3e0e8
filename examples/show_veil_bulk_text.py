"""tools.common.veil_bulk_text: hiding the bulky leaves of a payload before it is logged.

Every leaf whose text form is longer than 4000 characters comes back as its first 4000
characters between two marker lines; a leaf whose text form cannot be made at all (an int
with more digits than the interpreter converts) comes back as a fixed notice. The rest of
the payload comes back as it was.
"""

import sys

from tools.common.veil_bulk_text import veil_bulk_text


def summary(value: object) -> str:
    if isinstance(value, str) and value.startswith("\n{\n"):
        first_line = value.strip().splitlines()[1]
        return f"hidden: {len(value)} characters, starting {first_line[:30]!r}..."
    return repr(value)


def show() -> None:
    report = "\n".join(f"line {n}: sensor reading {n * 0.25:.2f}" for n in range(2000))
    huge = 7 ** (sys.get_int_max_str_digits() * 2)  # too many digits to convert to text
    payload = {
        "request_id": "req-4711",
        "status": 200,
        "elapsed_seconds": 0.183,
        "attachments": [
            {"name": "readings.txt", "body": report},
            {"name": "empty.txt", "body": ""},
        ],
        "checksum": huge,
        "tags": ("nightly", "sensor"),
    }
    veiled = veil_bulk_text(payload)
    print("request_id:       ", summary(veiled["request_id"]))
    print("status, elapsed:  ", summary(veiled["status"]), summary(veiled["elapsed_seconds"]))
    print(f"report body ({len(report)} characters) ->", summary(veiled["attachments"][0]["body"]))
    print("empty body:       ", summary(veiled["attachments"][1]["body"]))
    print("huge checksum ->  ", veiled["checksum"].strip().splitlines()[1])
    print("tags:             ", summary(veiled["tags"]))
    print("the payload itself is untouched:", payload["attachments"][0]["body"][:22] + "...")
