"""How values are named in the package's messages, the same whichever numpy is installed."""
from __future__ import annotations

from typing import Any

import numpy as np


def type_name(value: object) -> str:
    """The name of `value`'s type; numpy's bool is ``bool_`` (numpy 2 names the class ``bool``,
    which would read as Python's own)."""
    return "bool_" if isinstance(value, np.bool_) else type(value).__name__


def counted(count: int, noun: str, nouns: str | None = None) -> str:
    """``count`` and ``noun``, plural (``nouns``, else ``noun`` + s) unless there is one: "1 pair",
    "0 pairs", "1,200 cells"."""
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {nouns or noun + 's'}"


def plain(value: Any) -> Any:
    """`value` with numpy scalars in tuples and lists made Python numbers, for a repr that reads
    ``(1.0, 2.0)`` rather than numpy 2's ``(np.float64(1.0), np.float64(2.0))``."""
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (tuple, list)):
        return type(value)(plain(item) for item in value)
    return value
