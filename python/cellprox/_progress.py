"""Progress of long steps on standard error: through tqdm when it is installed (the
``progress`` extra), a plain counter otherwise, nothing at all unless asked for.

    with progress_bar(enabled, "fracturing", total=n) as bar:
        for block in blocks:
            ...
            bar.update(done)          # the absolute count so far, as often as convenient

``update`` may be called in a tight loop: it only looks at a clock until the next refresh is
due, a few times a second. The bar ends its line when it closes, on errors and interrupts too,
so what follows on standard error starts on a line of its own.
"""
from __future__ import annotations

import importlib
import sys
import time
from types import ModuleType, TracebackType
from typing import Any

__all__ = ["ProgressBar", "progress_bar"]

# Seconds between two refreshes of the line.
REFRESH_INTERVAL = 0.2


class ProgressBar:
    """Reports nothing: the bar of a step nobody asked to watch, and the base of the others."""

    def __init__(self, description: str, total: int | None, unit: str) -> None:
        self.description = description
        self.total = total
        self.unit = unit
        self.done = 0
        self._shown: int | None = None
        self._next_refresh = 0.0
        self._closed = False

    def update(self, done: int) -> None:
        """Records that ``done`` units are finished (a count, not an increment)."""
        self.done = done
        if done != self._shown:
            now = time.monotonic()
            if now >= self._next_refresh or done == self.total:
                self._refresh(now)

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            if self.done != self._shown:
                self._refresh(time.monotonic())
            self._finish()

    def _refresh(self, now: float) -> None:
        self._next_refresh = now + REFRESH_INTERVAL
        self._shown = self.done
        self._show()

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _show(self) -> None:
        pass

    def _finish(self) -> None:
        pass


class _CounterBar(ProgressBar):
    """One line on standard error, rewritten in place: description, count, share, time."""

    def __init__(self, description: str, total: int | None, unit: str) -> None:
        super().__init__(description, total, unit)
        self._start = time.monotonic()
        self._width = 0
        self._refresh(self._start)

    def _line(self) -> str:
        elapsed = time.monotonic() - self._start
        if self.total:
            share = f" ({100.0 * self.done / self.total:3.0f}%)"
            count = f"{self.done:,}/{self.total:,}"
        else:
            share, count = "", f"{self.done:,}"
        return f"{self.description}: {count} {self.unit}{share}, {elapsed:.1f} s"

    def _show(self) -> None:
        line = self._line()
        # Blanks over the tail of a longer line written before.
        padding = " " * max(self._width - len(line), 0)
        self._width = len(line)
        stream = sys.stderr
        stream.write(f"\r{line}{padding}")
        stream.flush()

    def _finish(self) -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()


class _TqdmBar(ProgressBar):
    def __init__(self, tqdm: ModuleType, description: str, total: int | None,
                 unit: str) -> None:
        super().__init__(description, total, unit)
        # tqdm throttles too, but only after it has done the arithmetic of each call. Without
        # its monitor thread, which would outlive the bar (a thread left running makes forking
        # the process unsafe) and is not needed when updates come this often.
        bar_type = type("Bar", (tqdm.tqdm,), {"monitor_interval": 0})
        self._bar: Any = bar_type(total=total, desc=description, unit=f" {unit}",
                                  file=sys.stderr, leave=True, mininterval=REFRESH_INTERVAL)

    def _show(self) -> None:
        self._bar.update(self.done - self._bar.n)

    def _finish(self) -> None:
        self._bar.close()


def _tqdm() -> ModuleType | None:
    try:
        return importlib.import_module("tqdm")
    except ImportError:
        return None


def progress_bar(enabled: bool, description: str, total: int | None,
                 unit: str = "cells") -> ProgressBar:
    """A progress reporter for one step of ``total`` units (None when unknown beforehand).

    When ``enabled`` is false it prints nothing; otherwise it shows a tqdm bar on standard
    error if tqdm can be imported, else a plain counter line.
    """
    if not enabled:
        return ProgressBar(description, total, unit)
    tqdm = _tqdm()
    if tqdm is not None:
        return _TqdmBar(tqdm, description, total, unit)
    return _CounterBar(description, total, unit)
