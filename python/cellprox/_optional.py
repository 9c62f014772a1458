"""The libraries of the ``distributed`` extra, imported when first needed: importing cellprox
never imports them, and a missing one is an ImportError that says how to install it."""
from __future__ import annotations

from typing import Any

from cellprox._scene.dependency import INSTALL, pyarrow_modules

__all__ = ["dask_distributed", "parquet", "pyarrow"]


def pyarrow() -> Any:
    return pyarrow_modules()[0]


def parquet() -> Any:
    return pyarrow_modules()[2]


def dask_distributed() -> Any:
    try:
        import distributed
    except ImportError as error:
        raise ImportError(f"running a search over a scene on Dask needs dask.distributed, which "
                          f"cannot be imported ({error}): {INSTALL}") from error
    return distributed
