"""``CellSet.from_trimesh``: a mesh, a list of meshes or a scene's geometry nodes, a cell each.

A mesh is one cell however many triangles it has, so the loop is over meshes, each taken whole.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._messages import type_name
from cellprox._meshes.libraries import trimesh
from cellprox._meshes.topology import PackedCells, float32_points

__all__ = ["packed_trimesh"]

WHO = "CellSet.from_trimesh"


def packed_trimesh(meshes: Any, collections: npt.ArrayLike) -> PackedCells:
    tm = trimesh()
    taken = (tm.Trimesh, tm.PointCloud)
    if isinstance(meshes, tm.Scene):
        names = [f"cell {k} (scene node {node!r})" for k, node in enumerate(meshes.graph.nodes_geometry)]
        parts = [_scene_node(meshes, node, names[k], taken)
                 for k, node in enumerate(meshes.graph.nodes_geometry)]
    elif isinstance(meshes, taken):
        names, parts = ["the mesh"], [_mesh_arrays(meshes)]
    elif isinstance(meshes, Sequence) and not isinstance(meshes, (str, bytes)):
        names = [f"cell {k} (mesh {k} of the list)" for k in range(len(meshes))]
        for k, mesh in enumerate(meshes):
            if not isinstance(mesh, taken):
                raise TypeError(f"{WHO}: mesh {k} of the list is a {type_name(mesh)}, but it must "
                                "be a trimesh.Trimesh or trimesh.PointCloud")
        parts = [_mesh_arrays(mesh) for mesh in meshes]
    else:
        raise TypeError(f"{WHO}: meshes is a {type_name(meshes)}, but it must be a "
                        "trimesh.Trimesh, a list of them or a trimesh.Scene")
    return _packed(parts, names, collections)


def _scene_node(scene: Any, node: str, name: str, taken: tuple[type, ...]
                ) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    transform, geometry = scene.graph[node]
    mesh = scene.geometry[geometry]
    if not isinstance(mesh, taken):
        raise TypeError(f"{WHO}: {name} holds a {type_name(mesh)}, but a scene's geometry must be "
                        "trimesh.Trimesh or trimesh.PointCloud")
    vertices, edges = _mesh_arrays(mesh)
    return trimesh().transform_points(vertices, transform), edges


def _mesh_arrays(mesh: Any) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    vertices = np.asarray(mesh.vertices)
    # A point cloud has no faces, so no edges.
    edges = np.asarray(getattr(mesh, "edges_unique", np.zeros((0, 2), np.int64)))
    return vertices, edges.reshape(-1, 2)


def _packed(parts: list[tuple[npt.NDArray[Any], npt.NDArray[Any]]], names: list[str],
            collections: npt.ArrayLike) -> PackedCells:
    v_counts = np.array([len(v) for v, _ in parts], np.int64)
    e_counts = np.array([len(e) for _, e in parts], np.int64)
    empty = np.flatnonzero(v_counts == 0)
    if empty.size:
        raise ValueError(f"{WHO}: {names[int(empty[0])]} has no vertices; a cell needs at least "
                         "one: leave it out")
    vertex_offsets = np.concatenate([[0], np.cumsum(v_counts)]).astype(np.int64)
    edge_offsets = np.concatenate([[0], np.cumsum(e_counts)]).astype(np.int64)
    joined = np.concatenate([v for v, _ in parts]) if parts else np.zeros((0, 3))
    vertices = float32_points(joined, None, vertex_offsets, lambda k: names[k], WHO)
    edges = np.concatenate([e for _, e in parts]) if parts else np.zeros((0, 2), np.int64)
    return PackedCells(vertices, vertex_offsets, edges.astype(np.int32), edge_offsets, collections)
