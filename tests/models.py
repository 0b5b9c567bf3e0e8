"""The rules of hush_secret, veil_bulk_text and PropKeeper's private names, in plain Python.

The property tests and the fuzz targets (tests/fuzz/) check the native code against these.
"""

import types

OPENING = "\n{\n"
CLOSING = "\n...big-content hidden...\n}\n" + " " * 16
NOTICE = (
    "\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n"
    + " " * 16
)


def hush_secret(name=None, value=None):
    """hush_secret's rules in plain Python."""
    if name is not None and type(name) is not str:
        raise TypeError(f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})")
    if name is None:
        name = ""
    if value is None:
        value = ""
    if isinstance(value, dict):
        return {k: hush_secret(name=k, value=v) for k, v in value.items()}
    if isinstance(value, list):
        return [hush_secret(name=name, value=v) for v in value]
    if isinstance(value, tuple):
        return tuple(hush_secret(name=name, value=v) for v in value)
    if isinstance(value, str) and ("password" in name.lower() or "pwd" in name.lower()):
        return "*" * len(value)
    return value


def veil_bulk_text(value=None, const=types.SimpleNamespace(char_limit=4000)):
    """veil_bulk_text's rules in plain Python; `const` stands for the module's `_const`, whose
    `char_limit` is read at each use."""
    if value is None:
        value = ""
    if isinstance(value, dict):
        return {k: veil_bulk_text(v, const) for k, v in value.items()}
    if isinstance(value, list):
        return [veil_bulk_text(v, const) for v in value]
    if isinstance(value, tuple):
        return tuple(veil_bulk_text(v, const) for v in value)
    try:
        value_str = f"{value}"
    except ValueError:
        return NOTICE
    if len(value_str) > const.char_limit:
        return OPENING + value_str[: const.char_limit] + CLOSING
    return value


def stored_name(obj, attr):
    """PropKeeper.get_name's rule: only names with exactly two leading underscores and no two
    trailing ones are private; they are prefixed with the owner class's name, stripped of its
    leading underscores. The owner is `obj` when it is a class (its type derives from `type`),
    else what `obj.__class__` reports."""
    if not attr.startswith("__") or attr.startswith("___") or attr.endswith("__"):
        return attr
    owner = obj if issubclass(type(obj), type) else obj.__class__
    class_name = owner.__name__.lstrip("_")
    return f"_{class_name}{attr}"
