from dataclasses import dataclass
from typing import Any

@dataclass(frozen=True)
class _Const:
    char_limit: int = 4000

_const: _Const

def veil_bulk_text(value: Any = None) -> Any:
    """Return a copy of `value` whose leaves with a text form over the limit are excerpts."""
