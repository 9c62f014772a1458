"""``python -m cellprox scene lattice|fracture OUT ...``: writes a synthetic scene file and says
in one line what it wrote."""
from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

__all__ = ["add_scene_command", "run_scene_command"]

SCENE_HELP = """\
Writes a scene: cells in one Parquet file of row groups, which cellprox.scene.open_scene reads a
row group at a time (docs/scene.md describes the file). Nothing is left at OUT unless the whole
scene was written. Needs pyarrow: pip install "cellprox[distributed]".
"""
LATTICE_HELP = """\
Cubes on a lattice of NX x NY x NZ points SPACING apart, each of side SIDE, moved by a uniform
random offset of up to JITTER on each axis; cell k is at point (k // (NY NZ), k // NZ % NY,
k % NZ) and in collection k % C. The same options give the same cells whatever --row-group; any
size can be written, a row group at a time.
"""
FRACTURE_HELP = """\
A Voronoi fracture of the unit box into N cells (cellprox.fracture.voronoi_fracture; made in
memory, then written; needs scipy). Collections are slabs of cells along x.
"""
_INT32_MAX = 2**31 - 1
_DEFAULT_ROW_GROUP = 131_072


def add_scene_command(commands: Any) -> None:
    """Adds ``scene`` and its two kinds to the command line's subparsers ``commands``."""
    from cellprox.__main__ import _whole, _workers

    scene = commands.add_parser("scene", help="write a scene file: a lattice of cubes or a "
                                "Voronoi fracture", description=SCENE_HELP,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    kinds = scene.add_subparsers(dest="scene_kind", metavar="KIND", required=True)
    scene.set_defaults(command_parser=scene)
    lattice = kinds.add_parser("lattice", help="cubes on a jittered lattice",
                               description=LATTICE_HELP,
                               formatter_class=argparse.RawDescriptionHelpFormatter)
    _output(lattice)
    lattice.add_argument("--shape", type=_whole(1, None), nargs=3, required=True,
                         metavar=("NX", "NY", "NZ"), help="lattice points along x, y and z")
    lattice.add_argument("--spacing", type=_real(positive=True), default=1.0, metavar="S",
                         help="distance between lattice points (default 1)")
    lattice.add_argument("--side", type=_real(positive=True), default=0.8, metavar="A",
                         help="side of each cube (default 0.8)")
    lattice.add_argument("--jitter", type=_real(positive=False), default=0.1, metavar="J",
                         help="largest random offset of a cube on each axis, 0 or more "
                              "(default 0.1)")
    fracture = kinds.add_parser("fracture", help="a Voronoi fracture of the unit box",
                                description=FRACTURE_HELP,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    _output(fracture)
    fracture.add_argument("-n", "--cells", type=_whole(1, _INT32_MAX), required=True,
                          metavar="N", help="number of cells")
    fracture.add_argument("-j", "--workers", type=_workers, default=None, metavar="N",
                          help="processes for the fracture, 1 to 1,024, or -1 for every core "
                               "(default: CELLPROX_WORKERS, or every core); the cells are the "
                               "same for any N")
    for kind in (lattice, fracture):
        kind.add_argument("--seed", type=_whole(0, None), default=0, metavar="K",
                          help="random seed, 0 or more (default 0)")
        kind.add_argument("--collections", type=_whole(1, _INT32_MAX), default=1, metavar="C",
                          help="number of collections (default 1)")
        kind.add_argument("--row-group", type=_whole(1, None), default=_DEFAULT_ROW_GROUP,
                          metavar="N", help=f"cells per row group (default "
                                            f"{_DEFAULT_ROW_GROUP:,})")
        kind.add_argument("--overwrite", action="store_true", help="replace OUT if it exists")
        kind.set_defaults(command_parser=kind)


def run_scene_command(args: argparse.Namespace) -> int:
    """Writes the scene ``args`` ask for; 0, or 2 after a one-line failure."""
    from cellprox._messages import counted
    from cellprox.scene import fracture_scene, lattice_scene

    start = time.perf_counter()
    try:
        if args.scene_kind == "lattice":
            scene = lattice_scene(args.output, tuple(args.shape), spacing=args.spacing,
                                  side=args.side, jitter=args.jitter, seed=args.seed,
                                  collections=args.collections, row_group_cells=args.row_group,
                                  overwrite=args.overwrite)
        else:
            scene = fracture_scene(args.output, args.cells, seed=args.seed,
                                   collections=args.collections, workers=args.workers,
                                   row_group_cells=args.row_group, overwrite=args.overwrite)
    except FileExistsError:
        return _failed(f"{args.output} exists; pass --overwrite to replace it, or give another OUT")
    except ValueError as error:
        args.command_parser.error(str(error))
    except ImportError as error:
        return _failed(str(error))
    except MemoryError:
        return _failed("out of memory; ask for fewer cells, or a smaller --row-group")
    except OSError as error:
        # The package's own errors say what to do; the system's only what went wrong.
        detail = f"{error.strerror}; give another OUT" if error.strerror else str(error)
        return _failed(f"cannot write {args.output}: {detail}")
    seconds = time.perf_counter() - start
    size = Path(scene.path).stat().st_size
    print(f"wrote {counted(len(scene), 'cell')} to {scene.path} ({size / 1e6:,.1f} MB, "
          f"{counted(len(scene.row_group_sizes), 'row group')}) in {seconds:.2f} s")
    return 0


def _output(kind: argparse.ArgumentParser) -> None:
    kind.add_argument("output", metavar="OUT", help="the scene file to write, such as "
                                                    "scene.parquet, in an existing folder")


def _real(positive: bool) -> Callable[[str], float]:
    wanted = "a positive number" if positive else "a number of 0 or more"

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number; give {wanted}") from None
        if not math.isfinite(value) or value < 0 or (positive and value == 0):
            raise argparse.ArgumentTypeError(f"{text} is out of range; give {wanted}, finite")
        return value

    return parse


def _failed(message: str) -> int:
    """A failure the user can mend: one line, and the exit status of a usage error."""
    print(f"cellprox scene: {' '.join(message.split())}", file=sys.stderr)
    return 2
