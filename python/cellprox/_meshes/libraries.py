"""The optional libraries of the ``mesh`` extra, imported when first needed: importing cellprox
never imports them, and a missing one is an ImportError that says how to install it."""
from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any

import numpy.typing as npt

__all__ = ["INSTALL", "meshio", "pyvista", "trimesh", "vtk_to_numpy"]

INSTALL = 'pip install "cellprox[mesh]"'


def _library(name: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise ImportError(f"{purpose} needs {name.split('.')[0]}, which cannot be imported "
                          f"({error}); {INSTALL}") from error


def pyvista() -> ModuleType:
    return _library("pyvista", "reading pyvista datasets and writing VTK files")


def vtk_to_numpy(array: object) -> npt.NDArray[Any]:
    """A VTK data array as a numpy array that shares its memory."""
    support = _library("vtkmodules.util.numpy_support", "reading pyvista datasets")
    converted: npt.NDArray[Any] = support.vtk_to_numpy(array)
    return converted


def trimesh() -> ModuleType:
    return _library("trimesh", "reading trimesh meshes and scenes")


def meshio() -> ModuleType:
    return _library("meshio", "reading meshio meshes")
