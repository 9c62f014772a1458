"""The pairs on disk: a folder of Parquet parts, one a tile, and a manifest that is written
last.

A run writes into a hidden folder beside the output and moves it into place only when every
part and the manifest are written, so a crash or an interrupt never leaves an output that
looks complete: either the folder is there with its manifest, or it is not there at all. A
reader checks the manifest against the parts it lists.
"""
from __future__ import annotations

import json
import os
import shutil
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._optional import parquet, pyarrow

__all__ = ["MANIFEST", "PAIRS_FORMAT", "ScenePairs", "commit_folder", "discard_folder",
           "partial_folder", "read_pairs", "remove_quietly", "write_atomically", "write_part"]

MANIFEST = "_manifest.json"
PAIRS_FORMAT = "cellprox-pairs"
PAIRS_VERSION = 1


@dataclass(frozen=True)
class ScenePairs:
    """Pairs read back from disk, sorted by ``(i, j)``: ``pairs`` (m, 2) int64 scene cell
    numbers with ``i < j``, ``distances`` float32, ``gaps`` float64 and ``witnesses`` (m, 2, 3)
    float64 where the run had them (None otherwise), and ``manifest`` the run's record of
    itself (the scene, the rule, the threshold, the tiles, the counts)."""

    pairs: npt.NDArray[np.int64]
    distances: npt.NDArray[np.float32]
    gaps: npt.NDArray[np.float64] | None
    witnesses: npt.NDArray[np.float64] | None
    manifest: dict[str, Any]

    def __len__(self) -> int:
        return len(self.pairs)


def partial_folder(out: Path) -> Path:
    """A new, empty folder beside ``out`` for a run to write into."""
    folder = out.with_name(f".{out.name}.partial-{uuid.uuid4().hex[:12]}")
    folder.mkdir()
    return folder


def commit_folder(partial: Path, out: Path, overwrite: bool) -> None:
    """Moves the finished ``partial`` folder to ``out``; an existing ``out`` is replaced only
    with ``overwrite``, and is moved aside before it is removed, so that ``out`` is at every
    moment either the old output or the new one."""
    if out.exists() or out.is_symlink():
        if not overwrite:
            raise FileExistsError(f"{out} exists; pass overwrite=True (--overwrite) to replace it")
        old = out.with_name(f".{out.name}.old-{uuid.uuid4().hex[:12]}")
        os.replace(out, old)
        os.replace(partial, out)
        remove_quietly(old)
    else:
        os.replace(partial, out)


def discard_folder(partial: Path) -> None:
    """Removes the ``partial`` folder of a run that failed or was interrupted. Tasks cancelled
    on a cluster that outlives the run may still be writing into it: the folder is first moved
    to a name no task knows, so that nothing new lands in it while it is removed."""
    discarded = partial.with_name(partial.name.replace(".partial-", ".discarded-", 1))
    try:
        os.replace(partial, discarded)
    except OSError:
        discarded = partial
    remove_quietly(discarded)


def remove_quietly(path: Path) -> None:
    """Removes a file or folder if it is there; what cannot be removed is left."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            path.unlink()
        except OSError:
            pass


def write_atomically(table: Any, path: Path) -> None:
    """Writes ``table`` to ``path`` through a temporary file beside it: a task that is run
    again after its worker died finds either nothing or a whole file there. Pairs seldom repeat
    a value, so dictionaries would only cost time (half of it, measured) and room."""
    temporary = path.with_name(f".{path.name}.{uuid.uuid4().hex[:12]}")
    try:
        parquet().write_table(table, temporary, compression="zstd", use_dictionary=False)
        os.replace(temporary, path)
    except BaseException:
        remove_quietly(temporary)
        raise


def write_part(path: Path, first: npt.NDArray[np.int64], second: npt.NDArray[np.int64],
               distances: npt.NDArray[np.float32], gaps: npt.NDArray[np.float64] | None,
               witnesses: npt.NDArray[np.float64] | None) -> None:
    """One tile's pairs as a Parquet file: ``i``, ``j``, ``distance``, then ``gap`` and
    ``witness_i``, ``witness_j`` where the run has them."""
    pa = pyarrow()
    columns = {"i": pa.array(first, pa.int64()), "j": pa.array(second, pa.int64()),
               "distance": pa.array(distances, pa.float32())}
    if gaps is not None:
        columns["gap"] = pa.array(gaps, pa.float64())
    if witnesses is not None:
        for side, name in enumerate(("witness_i", "witness_j")):
            points = np.ascontiguousarray(witnesses[:, side, :], np.float64).reshape(-1)
            columns[name] = pa.FixedSizeListArray.from_arrays(pa.array(points), 3)
    write_atomically(pa.table(columns), path)


def write_manifest(folder: Path, manifest: dict[str, Any]) -> None:
    temporary = folder / f".{MANIFEST}.tmp"
    temporary.write_text(json.dumps(manifest, indent=1) + "\n")
    os.replace(temporary, folder / MANIFEST)


def read_manifest(path: Path) -> dict[str, Any]:
    """The manifest of the pairs at ``path``, checked to be one."""
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such pairs folder")
    if not path.is_dir():
        raise ValueError(f"{path} is not a pairs folder (it is a file)")
    try:
        manifest = json.loads((path / MANIFEST).read_text())
    except FileNotFoundError:
        raise ValueError(f"{path} holds no {MANIFEST}: it is not the output of a finished "
                         "run") from None
    except (OSError, ValueError) as error:
        raise ValueError(f"{path / MANIFEST} cannot be read: {error}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != PAIRS_FORMAT:
        raise ValueError(f"{path / MANIFEST} is not a {PAIRS_FORMAT} manifest")
    if manifest.get("version") != PAIRS_VERSION:
        raise ValueError(f"{path / MANIFEST} has version {manifest.get('version')!r}; this "
                         f"cellprox reads version {PAIRS_VERSION}")
    return manifest


def read_pairs(path: str | os.PathLike[str]) -> ScenePairs:
    """Reads the pairs a run wrote to ``path``, checking every part against the manifest, and
    returns them sorted by ``(i, j)``."""
    folder = Path(path)
    manifest = read_manifest(folder)
    pq = parquet()
    tables = []
    for part in manifest["parts"]:
        file = folder / part["file"]
        try:
            table = pq.read_table(file)
        except FileNotFoundError:
            raise ValueError(f"{file} is missing: the output at {folder} is incomplete") from None
        except Exception as error:  # pyarrow's own errors say what is wrong with the file
            raise ValueError(f"{file} cannot be read as Parquet: {error}") from None
        if table.num_rows != part["pairs"]:
            raise ValueError(f"{file} holds {table.num_rows:,} pairs, but {MANIFEST} says "
                             f"{part['pairs']:,}")
        tables.append(table)
    columns = _joined(tables, manifest)
    order = np.lexsort((columns["j"], columns["i"]))
    witnesses = None
    if manifest["witnesses"]:
        witnesses = np.stack([columns["witness_i"], columns["witness_j"]], axis=1)[order]
    return ScenePairs(pairs=np.stack([columns["i"], columns["j"]], axis=1)[order],
                      distances=columns["distance"][order],
                      gaps=columns["gap"][order] if manifest["rule"] == "hull" else None,
                      witnesses=witnesses, manifest=manifest)


def _joined(tables: list[Any], manifest: dict[str, Any]) -> dict[str, npt.NDArray[Any]]:
    """The parts' columns as numpy arrays (empty ones of the right kind when there are no
    pairs)."""
    names = {"i": np.int64, "j": np.int64, "distance": np.float32}
    if manifest["rule"] == "hull":
        names["gap"] = np.float64
    columns: dict[str, npt.NDArray[Any]] = {}
    for name, dtype in names.items():
        parts = [t.column(name).to_numpy() for t in tables]
        columns[name] = np.concatenate(parts).astype(dtype, copy=False) if parts else np.zeros(0, dtype)
    if manifest["witnesses"]:
        for name in ("witness_i", "witness_j"):
            parts = [_points(t.column(name)) for t in tables]
            columns[name] = np.concatenate(parts) if parts else np.zeros((0, 3))
    return columns


def _points(column: Any) -> npt.NDArray[np.float64]:
    """A fixed-size-list<float64, 3> column as an (n, 3) array."""
    chunks = [c.flatten().to_numpy(zero_copy_only=False) for c in column.chunks]
    flat = np.concatenate(chunks) if chunks else np.zeros(0)
    return flat.astype(np.float64, copy=False).reshape(-1, 3)
