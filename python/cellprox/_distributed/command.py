"""``python -m cellprox neighbors``: the search over a scene on disk, from the command line."""
from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

__all__ = ["add_neighbors_command", "run_neighbors_command"]

NEIGHBORS_HELP = """\
Finds every pair of cells of a scene on disk (a Parquet file written by cellprox, see
python -m cellprox scene) that comes closer than the threshold, as cellprox.find_neighbors does
in memory, and writes the pairs to a folder of Parquet files with a manifest. Space is cut into
tiles by a sample of the cells, each tile is searched on a Dask cluster: a local one of worker
processes by default, or the one whose scheduler --scheduler names. Needs the distributed
extra: pip install "cellprox[distributed]".
"""


def add_neighbors_command(commands: Any, whole: Callable[[int, int | None], Callable[[str], int]],
                          workers: Callable[[str], int],
                          finite: Callable[[str], float]) -> argparse.ArgumentParser:
    """Adds the command to ``commands`` (the command line's subparsers), with the command
    line's own checkers of whole numbers, worker counts and finite numbers."""
    parser: argparse.ArgumentParser = commands.add_parser(
        "neighbors", help="find the close pairs of a scene on disk, on Dask",
        description=NEIGHBORS_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scene", type=Path, metavar="SCENE", help="the scene's Parquet file")
    parser.add_argument("-t", "--threshold", type=finite, required=True, metavar="T",
                        help="closeness threshold: positive, or 0 or more with --rule hull")
    parser.add_argument("-o", "--out", type=Path, required=True, metavar="PAIRS",
                        help="the folder to write the pairs to; it must not exist (see "
                             "--overwrite)")
    parser.add_argument("-r", "--rule", choices=("vertices-edges", "hull"),
                        default="vertices-edges", help="closeness rule (default vertices-edges)")
    parser.add_argument("--witnesses", action="store_true",
                        help="with --rule hull: also write each pair's closest points")
    parser.add_argument("--scheduler", metavar="ADDRESS", default=None,
                        help="a Dask scheduler's address, such as tcp://host:8786 (default: a "
                             "local cluster that this command starts and stops)")
    parser.add_argument("-p", "--processes", type=whole(1, 1024), default=None, metavar="P",
                        help="worker processes of the local cluster (default: every core "
                             "divided by --workers)")
    parser.add_argument("-j", "--workers", type=workers, default=None, metavar="N",
                        help="threads each tile's search uses, 1 to 1,024, or -1 for every "
                             "core (default 1 on the local cluster)")
    parser.add_argument("--tiles", type=whole(1, 100_000), default=None, metavar="K",
                        help="tiles to cut space into (default: one a million cells, at least "
                             "two a worker)")
    parser.add_argument("--overwrite", action="store_true", help="replace an existing PAIRS")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")
    return parser


def run_neighbors_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Runs the command; a failure the user can mend is one line and exit status 2."""
    if args.processes is not None and args.scheduler is not None:
        parser.error("argument -p/--processes: sizes the local cluster; leave it out with "
                     "--scheduler")
    if args.witnesses and args.rule != "hull":
        parser.error("argument --witnesses: witnesses are the hull rule's; add --rule hull")
    try:
        from cellprox.distributed import find_neighbors

        run = find_neighbors(args.scene, args.threshold, args.out, rule=args.rule,
                             witnesses=args.witnesses, tiles=args.tiles, workers=args.workers,
                             processes=args.processes, scheduler=args.scheduler,
                             overwrite=args.overwrite, progress=not args.quiet)
    except (ImportError, OSError, ValueError, TypeError) as error:
        print(f"cellprox neighbors: {' '.join(str(error).split())}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"cellprox neighbors: interrupted; nothing was written to {args.out}",
              file=sys.stderr)
        return 130
    print(f"{run.pairs:,} pairs of {run.cells:,} cells in {run.tiles} tiles (copy factor "
          f"{run.copy_factor:.3f}) written to {run.out} in {run.seconds['total']:.1f} s")
    return 0
