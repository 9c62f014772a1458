"""The scene file's layout: its columns and their Arrow types, the key-value metadata that marks
it, and how its columns are encoded. docs/scene.md describes it for other tools."""
from __future__ import annotations

import json
from typing import Any

__all__ = ["BOX_COLUMNS", "COLUMNS", "FORMAT", "METADATA_KEY", "REQUIRED_COLUMNS", "VERSION",
           "metadata_value", "scene_schema", "writer_options"]

COLUMNS = ("cell", "vertices", "edges", "origin", "collection", "lower", "upper")
# Another tool may leave the bounds out; the reader then computes them.
BOX_COLUMNS = ("lower", "upper")
REQUIRED_COLUMNS = COLUMNS[:5]

METADATA_KEY = b"cellprox"
FORMAT = "cellprox-scene"
VERSION = 1

# Measured on a million lattice cubes and on Voronoi cells (bench/scene_io.py --compare): zstd
# at level 1 makes files a third smaller than lz4 or snappy, and higher levels gain under 1% for
# more time. Splitting the bytes of the floats shrinks the one-a-cell points by a sixth, but
# makes the vertices of cubes, whose coordinates repeat within a cell, twice as large (it saves
# an eighth on Voronoi cells): the vertices are left whole. A dictionary pays only on the
# collections; on the edges it costs a tenth of the writing time and saves nothing.
_COMPRESSION_LEVEL = 1
_DICTIONARY_COLUMNS = ["collection"]
_SPLIT_COLUMNS = [f"{name}.list.element" for name in ("origin", "lower", "upper")]

def scene_schema(pa: Any) -> Any:
    """The Arrow schema the package writes: every column required, no element null."""
    def points(kind: Any, width: int) -> Any:
        return pa.list_(pa.field("element", kind, nullable=False), width)

    def runs(kind: Any, width: int) -> Any:
        return pa.list_(pa.field("element", points(kind, width), nullable=False))

    return pa.schema([
        pa.field("cell", pa.int64(), nullable=False),
        pa.field("vertices", runs(pa.float32(), 3), nullable=False),
        pa.field("edges", runs(pa.int32(), 2), nullable=False),
        pa.field("origin", points(pa.float32(), 3), nullable=False),
        pa.field("collection", pa.int32(), nullable=False),
        pa.field("lower", points(pa.float32(), 3), nullable=False),
        pa.field("upper", points(pa.float32(), 3), nullable=False),
    ])


def writer_options() -> dict[str, Any]:
    """pyarrow.parquet.ParquetWriter's options for a scene."""
    return {"compression": "zstd", "compression_level": _COMPRESSION_LEVEL,
            "use_dictionary": _DICTIONARY_COLUMNS, "use_byte_stream_split": _SPLIT_COLUMNS,
            "write_statistics": ["cell"]}


def metadata_value(cells: int) -> bytes:
    return json.dumps({"format": FORMAT, "version": VERSION, "cells": cells}).encode()
