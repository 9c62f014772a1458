"""How many threads the package's native loops may use: the ``workers`` argument.

``None`` takes ``CELLPROX_WORKERS`` from the environment, and without it every core this process
may use: the CPU affinity mask, further limited by a container's CPU quota (cgroup v2's
``cpu.max``, v1's ``cpu.cfs_quota_us``). ``-1`` is every such core, as scipy spells it. The
answer never changes a result, only how long it takes.
"""
from __future__ import annotations

import math
import operator
import os
from pathlib import Path
from typing import SupportsIndex, cast

MAX_WORKERS = 1024
ENVIRONMENT = "CELLPROX_WORKERS"


def available_cores() -> int:
    """The cores this process may run on: its affinity mask, within its container's CPU quota."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):    # macOS and Windows have no affinity call
        cores = os.cpu_count() or 1
    quota = _cgroup_quota()
    if quota is not None:
        cores = min(cores, max(1, math.ceil(quota)))
    return max(1, min(cores, MAX_WORKERS))


def _cgroup_quota(root: Path = Path("/sys/fs/cgroup")) -> float | None:
    """The CPU quota of this process's cgroup in cores, or None where there is none."""
    try:
        fields = (root / "cpu.max").read_text().split()
        if len(fields) == 2 and fields[0] != "max":
            return int(fields[0]) / int(fields[1])
        return None
    except (OSError, ValueError, ZeroDivisionError):
        pass
    try:
        quota = int((root / "cpu" / "cpu.cfs_quota_us").read_text())
        period = int((root / "cpu" / "cpu.cfs_period_us").read_text())
        return quota / period if quota > 0 and period > 0 else None
    except (OSError, ValueError):
        return None


def resolve_workers(workers: object, who: str) -> int:
    """The thread count ``workers`` stands for (1 .. 1,024); errors name ``who``'s argument."""
    if workers is None:
        text = os.environ.get(ENVIRONMENT, "").strip()
        if not text:
            return available_cores()
        try:
            value = int(text)
        except ValueError:
            raise ValueError(f"{who}: the environment's {ENVIRONMENT}={text!r} must be a "
                             f"whole number of threads, 1 to {MAX_WORKERS}, or -1 for every "
                             "core") from None
        return _checked(value, who, f"the environment's {ENVIRONMENT}")
    if isinstance(workers, bool) or not hasattr(workers, "__index__"):
        raise TypeError(f"{who}: workers must be None, a whole number of threads or -1 (every "
                        f"core), not {type(workers).__name__} {workers!r}")
    # A cast rather than an ignore: mypy releases differ in what hasattr narrows.
    return _checked(operator.index(cast(SupportsIndex, workers)), who, "workers")


def _checked(value: int, who: str, name: str) -> int:
    if value == -1:
        return available_cores()
    if not 1 <= value <= MAX_WORKERS:
        raise ValueError(f"{who}: {name} is {value}, but it must be 1 to {MAX_WORKERS} threads, "
                         "or -1 for every core (None: every core, or CELLPROX_WORKERS)")
    return value
