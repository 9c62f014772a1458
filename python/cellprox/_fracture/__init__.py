"""The Voronoi fracture's machinery behind :func:`cellprox.fracture.voronoi_fracture`: the diagram
block by block (``blocks``), the cells read from one diagram (``diagram``) and the vertices
computed exactly from the points they separate (``vertices``)."""
