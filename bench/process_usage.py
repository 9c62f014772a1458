"""What this process has used: processor seconds, resident memory and its peak."""
from __future__ import annotations

import os
from pathlib import Path

try:
    import resource
except ImportError:     # Windows: no peak from the system, processor seconds from os.times
    resource = None  # type: ignore[assignment]


def peak_mb() -> float:
    if resource is None:
        return float("nan")
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    times = os.times()
    return times.user + times.system


def status_mb(field: str) -> float | None:
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def reset_peak() -> bool:
    """Starts the peak resident memory afresh from what is resident now (Linux 4.0 or later):
    the scene's making, a fracture or a pickle read, would otherwise set the peak the calls are
    judged by."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        return False
    return status_mb("VmHWM") is not None
