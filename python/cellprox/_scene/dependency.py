"""pyarrow, imported on first use: ``import cellprox`` must work without it, and a scene's
reader or writer without it says how to get it."""
from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["INSTALL", "pyarrow_modules"]

INSTALL = 'pip install "cellprox[distributed]"'


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
            f'"pyarrow>=14,<26" for numpy 1.x, or {INSTALL} with numpy 2') from error
    return pyarrow, pyarrow.compute, pyarrow.parquet
