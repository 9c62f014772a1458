"""What this process has used: processor seconds, resident memory and its peak."""
from __future__ import annotations

import resource
from pathlib import Path


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


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
