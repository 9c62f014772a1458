"""Finding and loading the native module built for this platform."""
from __future__ import annotations

import contextlib
import importlib
import importlib.machinery
import io
import os
import sys
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Protocol, Union, cast

import numpy as np
import numpy.typing as npt

# The deliverable built for each platform, by sys.platform.
DELIVERABLES = {"linux": "cellprox_gnu", "darwin": "cellprox_darwin", "win32": "cellprox_nt"}
ENVIRONMENT_VARIABLE = "CELLPROX_MODULE"
FUNCTIONS = ("get_bb_intersections", "generate_neighbors")
# The package's names that are the deliverable or its kernels.
RAW_NAMES = ("native", *FUNCTIONS)
# How a module built for numpy 1.x refuses any other numpy's C-ABI at import: the deliverables'
# import check, like every module of that generation.
NUMPY_1_REFUSAL = "numpy.core.multiarray failed to import"


# A writable buffer with the right item type and number of dimensions (numpy arrays, memoryviews
# and the like); None is accepted only with a cell_count of 0 or less.
Buffer = Union[npt.NDArray[Any], memoryview, bytearray, None]


class NativeModule(Protocol):
    """The interface of the native modules (cellprox_gnu, cellprox_darwin, cellprox_nt).

    The one written form of their signatures: the type stub installed beside each module takes
    its functions from here.
    """

    __name__: str

    def get_bb_intersections(self, bbox: Buffer, cell_count: int, links: Buffer,
                             link_starts: Buffer, link_count: Buffer) -> int:
        """get_bb_intersections(float[:, :, :] bbox, int cell_count, int[:, :] links,
        int[:] link_starts, unsigned char[:] link_count) -> int"""

    def generate_neighbors(self, cells_p: int, cell_count: int, n_links: int,
                           distance_threshold: float, use_debug: int
                           ) -> npt.NDArray[np.float32]:
        """generate_neighbors(long long cells_p, int cell_count, int n_links,
        float distance_threshold, int use_debug) -> ndarray"""


def module_name() -> tuple[str, str]:
    """The name of the module to load and why that one."""
    chosen = os.environ.get(ENVIRONMENT_VARIABLE, "").strip()
    if chosen:
        return chosen, f"named by the environment variable {ENVIRONMENT_VARIABLE}"
    name = DELIVERABLES.get(sys.platform)
    if name is None:
        supported = ", ".join(f"{name} ({platform})" for platform, name in DELIVERABLES.items())
        raise ImportError(
            f"cellprox has no native module for the platform {sys.platform!r}; it is built for "
            f"{supported}. If you built one of them for this machine, name it in the "
            f"environment variable {ENVIRONMENT_VARIABLE}, e.g. {ENVIRONMENT_VARIABLE}=cellprox_gnu")
    return name, f"the deliverable for sys.platform {sys.platform!r}"


def load() -> NativeModule:
    """Imports the native module; an ImportError says which one, why, and what to do."""
    name, reason = module_name()
    if not name.isidentifier():
        raise ImportError(f"cellprox: {ENVIRONMENT_VARIABLE}={name!r} is not a module name; set "
                          "it to cellprox_gnu, cellprox_darwin or cellprox_nt, or unset it")
    files = " or ".join(name + suffix for suffix in importlib.machinery.EXTENSION_SUFFIXES)
    try:
        module: ModuleType = importlib.import_module(name)
    except ImportError as error:
        hint = (f"unset {ENVIRONMENT_VARIABLE} or make {name} importable (PYTHONPATH)"
                if reason.startswith("named") else
                "reinstall with `pip install --force-reinstall cellprox` (or `pip install .` "
                "in the source tree) for this interpreter")
        raise ImportError(
            f"cellprox could not import its native module {name!r} ({reason}); it looked for a "
            f"file {files} on sys.path. The import failed with {type(error).__name__}: {error}. "
            f"To fix: {hint}.", name=name) from error
    missing = [function for function in FUNCTIONS if not callable(getattr(module, function, None))]
    if missing:
        raise ImportError(
            f"cellprox: the module {name!r} ({reason}, loaded from "
            f"{getattr(module, '__file__', '?')}) lacks {', '.join(missing)}; it is not a "
            f"cellprox native module. Point {ENVIRONMENT_VARIABLE} at cellprox_gnu, "
            "cellprox_darwin or cellprox_nt.", name=name)
    return cast(NativeModule, module)


def numpy_is_1x() -> bool:
    """Whether numpy's C-ABI is the 1.x one, which the deliverables are built for."""
    return int(np.__version__.split(".", 1)[0]) < 2


@dataclass(frozen=True)
class RawKernelsUnavailable:
    """Why the deliverable, and with it the raw kernels, cannot load beside this numpy."""

    name: str
    cause: ImportError

    def error(self, wanted: str) -> ImportError:
        """A new ImportError for using `wanted`, chained to the deliverable's own."""
        error = ImportError(
            f"cellprox.{wanted}: the raw kernels ({self.name}) need numpy 1.x (1.23 or later, "
            f"below 2), and numpy {np.__version__} is installed; {self.name}'s import refused "
            "its C-ABI. The rest of cellprox (find_neighbors, CellSet, voronoi_fracture, the "
            "demo) works with this numpy. For the raw kernels, install numpy 1.x in this "
            'environment, or use another one for them: pip install "numpy>=1.23,<2". (The '
            "module's own message above, about cimporting numpy, is its standard refusal, "
            "written for those who compile modules: nothing needs rebuilding.)", name=self.name)
        error.__cause__ = self.cause
        return error


def load_beside_numpy() -> NativeModule | RawKernelsUnavailable:
    """load(), except that a deliverable refusing a numpy 2.x is not the package's failure:
    only the raw kernels need numpy 1.x, and using them says so."""
    if numpy_is_1x():
        return load()
    # numpy 2 prints a page on standard error for every 1.x module it refuses; the raw names
    # say it in their error instead, when they are used. Anything else is passed on.
    printed = io.StringIO()
    try:
        with contextlib.redirect_stderr(printed):
            module = load()
    except ImportError as error:
        cause = error.__cause__
        if (isinstance(cause, ImportError) and not isinstance(cause, ModuleNotFoundError)
                and str(cause).startswith(NUMPY_1_REFUSAL)):
            return RawKernelsUnavailable(error.name or "?", cause)
        sys.stderr.write(printed.getvalue())
        raise
    sys.stderr.write(printed.getvalue())
    return module


def describe(package: ModuleType, *, with_file: bool) -> str:
    """The package's native module for people: its name (and file), or why it is not loaded."""
    unavailable: RawKernelsUnavailable | None = getattr(package, "_raw_kernels_unavailable", None)
    if unavailable is not None:
        return (f"{unavailable.name}, not loaded: its raw kernels need numpy 1.x "
                f"(numpy {np.__version__} here)")
    native: NativeModule = package.native
    return f"{native.__name__} ({getattr(native, '__file__', '?')})" if with_file else native.__name__
