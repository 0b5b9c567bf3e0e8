"""tools.boot_banner.boot_banner: a start-up banner, printed once per environment key."""

import contextlib
import io
import os

from tools.boot_banner.boot_banner import boot_banner

# The demo's own key, so that it neither depends on nor disturbs the default app:main.
PREFIX, NAME, SEPARATOR = "demo", "show_boot_banner", ":"
KEY = PREFIX + SEPARATOR + NAME


def show() -> None:
    # A parent process that already ran this demo may have handed the marker down to us.
    os.environ.pop(KEY, None)
    print(f"first call, key {KEY!r} not set yet:")
    boot_banner(PREFIX, NAME, SEPARATOR)
    print(f"the key is now set:                      {KEY}={os.environ[KEY]}")

    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        boot_banner(PREFIX, NAME, SEPARATOR)
    print(f"a second call prints nothing:            {captured.getvalue()!r}")

    try:
        boot_banner(PREFIX, 7)  # type: ignore[arg-type]
    except TypeError as error:
        print(f"arguments must be str (or None):         {error}")
