"""Progress on standard error for long steps (a stand-in until the progress bar lands)."""
from __future__ import annotations

from types import TracebackType


class _Bar:
    def update(self, done: int) -> None:
        pass

    def __enter__(self) -> _Bar:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        pass


def progress_bar(enabled: bool, description: str, total: int | None, unit: str = "cells") -> _Bar:
    return _Bar()
