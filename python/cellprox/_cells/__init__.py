"""What :class:`cellprox.CellSet` is made of: the checks of what it is given (``checks``), the
64-byte records and their link tables (``records``), and the boxes of its cells (``bounds``)."""
