"""Cells from the mesh libraries (pyvista, trimesh, meshio), built in bulk from their
connectivity arrays: the package behind ``CellSet.from_pyvista``, ``from_trimesh`` and
``from_meshio``, and behind the writers of :mod:`cellprox.meshes`."""
