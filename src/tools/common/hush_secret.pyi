from typing import Any

def hush_secret(name: str | None = None, value: Any = None) -> Any:
    """Return a copy of `value` whose strings under password-like names are asterisks."""
