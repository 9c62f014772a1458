"""The optional libraries of the ``distributed`` extra, imported when first needed: importing
cellprox never imports them, and a missing one is an ImportError that says how to install it."""
from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["dask_distributed", "parquet", "pyarrow"]

INSTALL = 'pip install "cellprox[distributed]"'


def _imported(name: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(name)
    except ImportError as error:
        message = f"{purpose} needs {name.split('.')[0]}, which cannot be imported ({error}); {INSTALL}"
        if "NumPy 2" in str(error):
            # pyarrow 26 and later need numpy 2 and do not tell pip so.
            message += ' (beside numpy 1.x: pip install "pyarrow<26")'
        raise ImportError(message) from error


def pyarrow() -> ModuleType:
    return _imported("pyarrow", "reading and writing scenes and pairs on disk")


def parquet() -> ModuleType:
    pyarrow()
    return _imported("pyarrow.parquet", "reading and writing scenes and pairs on disk")


def dask_distributed() -> ModuleType:
    return _imported("distributed", "running a search over a scene on Dask")
