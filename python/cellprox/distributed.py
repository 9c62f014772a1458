"""The search over a scene on disk, cut into tiles in space and run on Dask.

    from cellprox.distributed import find_neighbors, read_pairs

    run = find_neighbors("scene.parquet", 0.25, "pairs")       # a local cluster of processes
    pairs = read_pairs("pairs")                                  # sorted, as the in-memory call

The scene is a Parquet file of cells (:mod:`cellprox.scene`). Space is cut into tiles from a
sample of the cells' box centres, by count, so that every tile holds about the same number of
cells however the cells crowd; each cell is copied into every tile that its box, widened by
half the threshold, touches; each tile is searched by the package's exact search, and a pair
is reported only by the tile that holds the low corner of the overlap of the two widened
boxes. The pairs are those of :func:`cellprox.find_neighbors` on the whole scene, numbered as
in the scene, with the same distances, gaps and witnesses.

Needs the ``distributed`` extra: ``pip install "cellprox[distributed]"``.
"""
from __future__ import annotations

import logging
import math
import numbers
import os
import shutil
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from cellprox._distributed.output import (PAIRS_FORMAT, PAIRS_VERSION, ScenePairs,
                                          commit_folder, discard_folder, partial_folder,
                                          read_pairs, write_manifest)
from cellprox._distributed.tasks import (TileDone, fragment_folder, place_row_group,
                                         sample_row_group, search_tile)
from cellprox._distributed.tiles import Tiling, cut_tiles
from cellprox._messages import type_name
from cellprox._optional import dask_distributed
from cellprox._progress import progress_bar
from cellprox._workers import MAX_WORKERS, available_cores, resolve_workers
from cellprox.pipeline import _check_flag, _check_rule, _check_threshold

__all__ = ["SceneSearch", "ScenePairs", "find_neighbors", "read_pairs"]

WHO = "cellprox.distributed.find_neighbors"
# Cells a tile holds when the count of tiles is left to the search: a tile's search then
# needs about a gigabyte, and its task runs for about a second a core.
CELLS_PER_TILE = 1_000_000
# Box centres sampled for the cuts, at most: enough for tiles within a few per cent of each
# other in count, at any scene size.
SAMPLE_PER_TILE = 2_000
MAX_SAMPLE = 400_000
MAX_TILES = 100_000


@dataclass(frozen=True)
class SceneSearch:
    """What a run did: where its pairs are (``out``, read them with :func:`read_pairs`), how
    many there are, the scene's cells, the tiles, the cells placed in them (copies included)
    and ``copy_factor`` (cells placed / cells), and the seconds of each step (``sample``,
    ``place``, ``search``, ``total``). ``manifest`` is what the output's manifest holds."""

    out: Path
    pairs: int
    cells: int
    tiles: int
    cells_placed: int
    copy_factor: float
    seconds: dict[str, float] = field(default_factory=dict)
    manifest: dict[str, Any] = field(default_factory=dict, repr=False)


def find_neighbors(scene: str | os.PathLike[str], threshold: float, out: str | os.PathLike[str], *,
                   rule: str = "vertices-edges", witnesses: bool = False,
                   tiles: int | None = None, workers: int | None = None,
                   processes: int | None = None, scheduler: Any = None,
                   overwrite: bool = False, progress: bool = False) -> SceneSearch:
    """Finds every pair of the scene's cells that comes closer than ``threshold`` and writes
    the pairs to the folder ``out``; returns a :class:`SceneSearch`.

    ``threshold``, ``rule`` and ``witnesses`` are those of :func:`cellprox.find_neighbors`, and
    so are the pairs: the same pairs, distances, gaps and witnesses, with the scene's cell
    numbers (``i < j``).

    Where it runs: with ``scheduler=None``, on a local Dask cluster of ``processes`` worker
    processes (default: every core this process may use, divided by ``workers``), started and
    closed by this call; with a scheduler's address (``"tcp://host:8786"``) or a
    ``distributed.Client``, on that cluster, whose workers must see ``scene`` and ``out`` at the
    same paths (a shared file system). ``workers`` is the threads each tile's search uses
    (default: 1 on the local cluster; elsewhere the worker machine's cores divided by its Dask
    threads). ``tiles`` is how many tiles space is cut into (default: one per million cells,
    and two for each process of the local cluster).

    ``out`` must not exist unless ``overwrite``; the output appears there only when the run is
    complete (with its manifest), so a crash or an interrupt leaves nothing that looks complete.
    A missing scene file is a FileNotFoundError, a file that is not a scene a ValueError, both
    naming it. ``progress`` reports the tiles done on standard error.
    """
    start = time.perf_counter()
    rule = _check_rule(rule)
    value = _check_threshold(threshold, rule)
    use_witnesses = _check_flag("witnesses", witnesses)
    if use_witnesses and rule != "hull":
        raise ValueError(f"{WHO}: witnesses are the hull rule's closest points; pass "
                         "rule='hull' with witnesses=True")
    show = _check_flag("progress", progress)
    replace = _check_flag("overwrite", overwrite)
    tile_count = _optional_count(tiles, "tiles", MAX_TILES)
    threads = None if workers is None else resolve_workers(workers, WHO)
    process_count = _optional_count(processes, "processes", MAX_WORKERS)
    if scheduler is not None and process_count is not None:
        raise ValueError(f"{WHO}: processes sizes the local cluster; a scheduler's cluster has "
                         "the workers it was started with. Leave one of them out")
    target = _output_path(out, replace)

    from cellprox.scene import open_scene

    opened = open_scene(scene)
    if scheduler is None:
        threads = threads or 1
        process_count = process_count or max(1, available_cores() // threads)
    partial: Path | None = None
    try:
        # The output is committed only once a local cluster is closed: an interrupt while it
        # closes then leaves nothing written, as it says, and no worker of it can still be
        # writing into the folder when a failed run removes it.
        with _client(scheduler, process_count) as client:
            slots = sum(client.nthreads().values()) or 1
            per_task = threads if threads is not None else _threads_by_worker(client)
            count = tile_count or _default_tiles(len(opened), slots)
            partial = partial_folder(target)
            run = _run(client, opened, value, rule, use_witnesses, count, per_task, partial, show)
        manifest = _manifest(opened, value, rule, use_witnesses, run, time.perf_counter() - start)
        write_manifest(partial, manifest)
        commit_folder(partial, target, replace)
    except BaseException:
        if partial is not None:
            discard_folder(partial)
        raise
    return SceneSearch(out=target, pairs=manifest["pairs"], cells=len(opened),
                       tiles=manifest["tiles"], cells_placed=manifest["cells_placed"],
                       copy_factor=manifest["copy_factor"], seconds=manifest["seconds"],
                       manifest=manifest)


@dataclass
class _Run:
    tiling: Tiling
    placed: npt.NDArray[np.int64]
    done: list[TileDone]
    seconds: dict[str, float]


def _run(client: Any, scene: Any, threshold: float, rule: str, witnesses: bool, tiles: int,
         threads: int | dict[str, int], partial: Path, show: bool) -> _Run:
    """Samples, cuts, places and searches; the parts go into ``partial``."""
    sizes = scene.row_group_sizes
    groups = range(len(sizes))
    scratch = partial / "_scratch"
    scratch.mkdir()
    clock = time.perf_counter()

    wanted = min(MAX_SAMPLE, SAMPLE_PER_TILE * tiles)
    takes = [max(1, math.ceil(wanted * int(size) / max(1, len(scene)))) for size in sizes]
    samples = _gathered(client, [client.submit(sample_row_group, scene, g, takes[g], pure=False)
                                 for g in groups if sizes[g]], show, "sampling row groups")
    centres = np.concatenate(samples) if samples else np.zeros((0, 3))
    tiling = cut_tiles(centres, tiles)
    for tile in range(tiling.count):
        fragment_folder(scratch, tile).mkdir()
    sampled = time.perf_counter()

    filled = [g for g in groups if sizes[g]]
    placements = _gathered(client, [client.submit(place_row_group, scene, g, tiling, threshold,
                                                  scratch, threads, pure=False) for g in filled],
                           show, "placing cells in tiles")
    placed = np.zeros(tiling.count, np.int64)
    whole: dict[int, list[int]] = {}
    for group, (count, tile) in zip(filled, placements):
        placed += count
        if tile >= 0:
            whole.setdefault(tile, []).append(group)
    placing = time.perf_counter()

    parts = partial
    done = _gathered(client, [client.submit(search_tile, int(t), scratch, tiling, threshold,
                                            rule, witnesses, threads, parts, scene,
                                            whole.get(int(t), []), pure=False)
                              for t in np.flatnonzero(placed)], show, "searching tiles")
    shutil.rmtree(scratch, ignore_errors=True)
    searched = time.perf_counter()
    return _Run(tiling=tiling, placed=placed, done=sorted(done, key=lambda d: d.tile),
                seconds={"sample": sampled - clock, "place": placing - sampled,
                         "search": searched - placing})


def _gathered(client: Any, futures: list[Any], show: bool, label: str) -> list[Any]:
    """The futures' results in the order given, with the count done on standard error; on any
    failure or interrupt the others are cancelled."""
    dd = dask_distributed()
    results: dict[Any, Any] = {}
    try:
        with progress_bar(show, label, len(futures), unit="tasks") as bar:
            for future in dd.as_completed(futures):
                results[future.key] = future.result()
                bar.update(len(results))
    except BaseException:
        client.cancel(futures)
        raise
    return [results[f.key] for f in futures]


def _manifest(scene: Any, threshold: float, rule: str, witnesses: bool, run: _Run,
              total: float) -> dict[str, Any]:
    placed = int(run.placed.sum())
    return {
        "format": PAIRS_FORMAT, "version": PAIRS_VERSION,
        "scene": str(Path(scene.path).resolve()), "cells": len(scene),
        "rule": rule, "threshold": threshold, "witnesses": witnesses,
        "tiles": run.tiling.count, "cells_placed": placed,
        "copy_factor": placed / len(scene) if len(scene) else 1.0,
        "pairs": sum(d.pairs for d in run.done),
        "parts": [{"file": f"part-{d.tile:05d}.parquet", "tile": d.tile, "cells": d.cells,
                   "pairs": d.pairs, "seconds": d.seconds} for d in run.done],
        "seconds": {**run.seconds, "total": total},
    }


@contextmanager
def _client(scheduler: Any, processes: int | None) -> Iterator[Any]:
    """A Dask client: the one given, one connected to the address given, or one of a local
    cluster of ``processes`` single-threaded worker processes that closes with it."""
    dd = dask_distributed()
    if isinstance(scheduler, dd.Client):
        yield scheduler
        return
    if scheduler is not None and not isinstance(scheduler, str):
        raise TypeError(f"{WHO}: scheduler must be None, an address such as "
                        f"'tcp://host:8786' or a distributed.Client, not {type_name(scheduler)}")
    if scheduler is not None:
        with dd.Client(scheduler) as client:
            yield client
        return
    with dd.LocalCluster(n_workers=processes, threads_per_worker=1, processes=True,
                         dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
            dd.Client(cluster) as client:
        yield client


def _threads_by_worker(client: Any) -> dict[str, int]:
    """Each Dask worker's share of its machine's cores, by address: the cores its process may
    use, divided by the task threads of all the workers on that machine."""
    workers = client.scheduler_info()["workers"]
    cores = client.run(available_cores)
    threads_on: dict[str, int] = {}
    for info in workers.values():
        threads_on[info["host"]] = threads_on.get(info["host"], 0) + int(info["nthreads"])
    return {address: max(1, int(cores.get(address, 1)) // max(1, threads_on[info["host"]]))
            for address, info in workers.items()}


def _default_tiles(cells: int, slots: int) -> int:
    return max(1, min(max(1, cells), max(math.ceil(cells / CELLS_PER_TILE), 2 * slots)))


def _optional_count(value: object, name: str, largest: int) -> int | None:
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{WHO}: {name} must be None or a whole number, not {type_name(value)}")
    if not 1 <= int(value) <= largest:
        raise ValueError(f"{WHO}: {name} is {int(value)}, but it must be 1 to {largest:,}")
    return int(value)


def _output_path(out: object, overwrite: bool) -> Path:
    if not isinstance(out, (str, os.PathLike)):
        raise TypeError(f"{WHO}: out must be a path, not {type_name(out)}")
    path = Path(out)
    if (path.exists() or path.is_symlink()) and not overwrite:
        raise FileExistsError(f"{path} exists; pass overwrite=True (--overwrite) to replace it")
    if not path.parent.is_dir():
        raise FileNotFoundError(f"{path.parent}: no such folder to write the pairs {path.name} in")
    return path
