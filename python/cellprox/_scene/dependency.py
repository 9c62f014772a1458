"""pyarrow, imported on first use: ``import cellprox`` must work without it, and a scene's
reader or writer without it says how to get it."""
from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["INSTALL", "MIN_PYARROW", "pyarrow_modules"]

INSTALL = 'pip install "cellprox[distributed]"'
MIN_PYARROW = 17


def pyarrow_modules() -> tuple[Any, Any, Any]:
    """pyarrow, pyarrow.compute and pyarrow.parquet."""
    try:
        import pyarrow
        import pyarrow.compute
        import pyarrow.parquet
    except ModuleNotFoundError as error:
        if error.name is None or error.name.split(".")[0] != "pyarrow":
            raise
        raise ImportError(f"scenes on disk need pyarrow, which is not installed: {INSTALL}") \
            from error
    except ImportError as error:
        # Installed, but built for another numpy (pyarrow 26 refuses numpy 1.x, which the raw
        # kernels need): a fresh install of the extra would only bring the same pair back.
        raise ImportError(
            f"scenes on disk need pyarrow, which is installed but cannot be imported beside "
            f"numpy {np.__version__} ({error}); install one that can, e.g. pip install "
            f'"pyarrow>=17,<26" for numpy 1.x, or {INSTALL} with numpy 2') from error
    major = int(pyarrow.__version__.split(".")[0])
    if major < MIN_PYARROW:
        # The writer puts the scene's cell count in the footer once it knows it, at the end.
        raise ImportError(f"scenes on disk need pyarrow {MIN_PYARROW} or later, and pyarrow "
                          f"{pyarrow.__version__} is installed: {INSTALL}")
    return pyarrow, pyarrow.compute, pyarrow.parquet
