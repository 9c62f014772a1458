"""The private pieces of :mod:`cellprox.scene`: packed blocks of cells, their Arrow tables, the
Parquet file's layout, its writer and reader, the lattice generator and the command line."""
