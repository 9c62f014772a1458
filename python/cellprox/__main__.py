"""Command line: ``python -m cellprox demo``, ``info``, ``scene`` (write a scene on disk) and
``neighbors`` (search one)."""
from __future__ import annotations

import argparse
import math
import os
import platform
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import NoReturn

from cellprox._distributed.command import add_neighbors_command, run_neighbors_command
from cellprox._scene.command import add_scene_command, run_scene_command

DEMO_HELP = """\
Cuts a box into N Voronoi cells (seeds uniform at random; the cells are split into collections
by slabs along x) and finds the cells that touch with cellprox.find_neighbors: every pair of
cells whose vertex boxes come within the threshold along every axis is a candidate, and each is
decided by the rule (a vertex within the threshold for cells of the same collection, an edge
within the threshold across collections; with --rule hull, the convex hulls of their vertices
within the threshold). It prints a summary and writes a PNG picture: a 3-D view, a slice through
the middle with the confirmed links, and the number of neighbours per cell. Progress goes to
standard error. Needs scipy and matplotlib: pip install "cellprox[demo]".

With --frames N it draws no picture: the pieces fly apart from the box's centre, each turning
about its centroid, and one cellprox.Tracker follows them for N frames, printing a line a frame
(its contacts, how many began and ended, whether the candidate list was rebuilt, the
milliseconds) and a summary line; --quiet prints only the summary line.
"""


# The ranges the demo accepts. Beyond them a run would not fit in memory or in a picture.
MAX_CELLS = 1_000_000
MAX_COLLECTIONS = 100
MAX_FRAMES = 10_000
# Set by scripts/demo.sh, so that --help names the path it really writes to.
OUTPUT_VARIABLE = "CELLPROX_DEMO_OUTPUT"


class _Parser(argparse.ArgumentParser):
    """Bad options end in one line and exit status 2: the option, what is wrong, what is
    valid."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _whole(low: int, high: int | None) -> Callable[[str], int]:
    valid = f"from {low:,} to {high:,}" if high is not None else f"{low:,} or more"

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            # 1e5 and 100000.0 are whole numbers too, only written otherwise.
            try:
                written_otherwise = float(text)
            except ValueError:
                written_otherwise = math.nan
            if not written_otherwise.is_integer():
                raise argparse.ArgumentTypeError(
                    f"{text!r} is not a whole number; give one {valid}") from None
            value = int(written_otherwise)
        if value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"{value:,} is out of range; give a whole number "
                                             f"{valid}")
        return value

    return parse


def _workers(text: str) -> int:
    from cellprox._workers import MAX_WORKERS

    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number; give 1 to "
                                         f"{MAX_WORKERS:,}, or -1 for every core") from None
    if value != -1 and not 1 <= value <= MAX_WORKERS:
        raise argparse.ArgumentTypeError(f"{value:,} is out of range; give 1 to "
                                         f"{MAX_WORKERS:,}, or -1 for every core")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number; give a distance such as "
                                         "0.001") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text} is not finite; give a distance such as 0.001")
    return value


def _png_path(text: str) -> Path:
    path = Path(text)
    if path.suffix.lower() != ".png":
        raise argparse.ArgumentTypeError(f"{text!r} does not end in .png; the picture is a PNG")
    folder = path.parent
    if not folder.is_dir():
        what = "is not a folder" if folder.exists() else "is a folder that does not exist"
        raise argparse.ArgumentTypeError(f"{str(folder)!r} {what}; give a .png path in an "
                                         "existing folder")
    if path.is_dir():
        raise argparse.ArgumentTypeError(f"{text!r} is a folder; give a .png file's path")
    if not os.access(folder, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise argparse.ArgumentTypeError(f"{text!r} cannot be written (permission denied); "
                                         "give a .png path you may write")
    return path


def _vtk_folder(text: str) -> Path:
    path = Path(text)
    if path.exists() and not path.is_dir():
        raise argparse.ArgumentTypeError(f"{text!r} is a file; give a folder for cells.vtu and "
                                         "pairs.vtp (it is made if missing)")
    return path


def _check_threshold(demo: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The threshold's range depends on the rule, which may come after it."""
    if args.rule == "hull":
        if args.threshold < 0:
            demo.error(f"argument -t/--threshold: {args.threshold:g} is negative; the hull "
                       "rule takes a finite distance of 0 or more")
    elif args.threshold <= 0:
        demo.error(f"argument -t/--threshold: {args.threshold:g} is not positive; the "
                   "vertices-edges rule takes a positive finite distance, such as 0.001 (the "
                   "hull rule also takes 0)")


def parsers() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The command line's parser, and its demo command's (which reports the demo's errors)."""
    from cellprox._version import __version__

    main = _Parser(
        prog="python -m cellprox",
        description="cellprox: native proximity kernels for cells of 3-D geometry.")
    main.add_argument("--version", action="version", version=f"cellprox {__version__}")
    commands = main.add_subparsers(dest="command", metavar="COMMAND", required=True)

    demo = commands.add_parser(
        "demo", help="fracture a box into Voronoi cells, find neighbours, draw a picture",
        description=DEMO_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("-n", "--cells", type=_whole(1, MAX_CELLS), default=3000, metavar="N",
                      help=f"number of cells, 1 to {MAX_CELLS:,} (default 3000; 100000 take "
                           "about half a minute)")
    demo.add_argument("-t", "--threshold", type=_finite_float, default=0.001, metavar="T",
                      help="closeness threshold, in units of the unit box's side (default "
                           "0.001): positive, or 0 or more with --rule hull; neighbours that "
                           "share a face are at distance 0")
    demo.add_argument("-s", "--seed", type=_whole(0, None), default=0,
                      help="random seed of the fracture, 0 or more (default 0); the same seed "
                           "gives the same cells")
    demo.add_argument("-c", "--collections", type=_whole(1, MAX_COLLECTIONS), default=2,
                      metavar="C", help=f"number of collections, slabs of cells along x, 1 to "
                                        f"{MAX_COLLECTIONS} (default 2)")
    output = os.environ.get(OUTPUT_VARIABLE) or "cellprox-demo.png"
    demo.add_argument("-o", "--output", type=_png_path, default=Path(output),
                      metavar="PATH", help=f"where to write the picture, in an existing "
                                           f"folder (default {output})")
    demo.add_argument("-r", "--rule", choices=("vertices-edges", "hull"), default="vertices-edges",
                      help="closeness rule: vertices-edges (default; the kernels' rule) or hull "
                           "(the distance between the cells' convex hulls, every collection alike)")
    demo.add_argument("-j", "--workers", type=_workers, default=None, metavar="N",
                      help="processes for the fracture and threads for the search, 1 to 1,024, "
                           "or -1 for every core (default: CELLPROX_WORKERS, or every core this "
                           "process may use); the results are the same for any N")
    demo.add_argument("--save-vtk", type=_vtk_folder, default=None, metavar="DIR",
                      help="also write the cells (cells.vtu) and the pairs (pairs.vtp) into DIR "
                           'for ParaView; needs pyvista: pip install "cellprox[mesh]"')
    demo.add_argument("--frames", type=_whole(1, MAX_FRAMES), default=None, metavar="N",
                      help=f"instead of the picture, follow the pieces flying apart for N frames, "
                           f"1 to {MAX_FRAMES:,}, a line a frame")
    demo.add_argument("-q", "--quiet", action="store_true",
                      help="no progress on standard error (with --frames: only the summary line)")

    commands.add_parser("info", help="show the version, the native module and the platform",
                        description="Shows cellprox's version, the native module in use and "
                                    "where it was loaded from, the platform and numpy's version.")
    add_scene_command(commands)
    neighbors = add_neighbors_command(commands, _whole, _workers, _finite_float)
    neighbors.set_defaults(command_parser=neighbors)
    return main, demo


def print_info() -> None:
    # Imported here: `--help` and argument errors should not wait for numpy and the native module.
    import numpy

    import cellprox

    from cellprox._native import describe

    print(f"cellprox {cellprox.__version__}")
    print(f"native module: {describe(cellprox, with_file=True)}")
    print(f"platform: {platform.platform()}, {platform.python_implementation()} "
          f"{platform.python_version()}")
    print(f"numpy: {numpy.__version__}")


def main(argv: Sequence[str] | None = None) -> int:
    main_parser, demo_parser = parsers()
    args, unknown = main_parser.parse_known_args(argv)
    if unknown:
        # The command's own help is the one that lists what it takes.
        (demo_parser if args.command == "demo" else getattr(args, "command_parser", main_parser)
         ).error(f"unrecognized arguments: {' '.join(unknown)}")
    if args.command == "info":
        print_info()
        return 0
    if args.command == "scene":
        return run_scene_command(args)
    if args.command == "neighbors":
        return run_neighbors_command(args, args.command_parser)

    from cellprox.demo import (DemoArgumentError, DemoOptions, check_candidates, run_demo,
                               run_frames_demo, unavailable_tools)

    _check_threshold(demo_parser, args)
    if args.frames is not None and args.save_vtk is not None:
        demo_parser.error("argument --save-vtk: not with --frames, which writes no files; "
                          "leave one of them out")
    options = DemoOptions(cells=args.cells, threshold=args.threshold, seed=args.seed,
                          collections=args.collections, output=args.output, quiet=args.quiet,
                          rule=args.rule, workers=args.workers, save_vtk=args.save_vtk,
                          frames=args.frames)
    try:
        warning = check_candidates(options)
        if warning:
            print(f"cellprox demo: warning: {warning}", file=sys.stderr)
        if options.frames is not None:
            run_frames_demo(options)
        else:
            run_demo(options)
    except DemoArgumentError as error:
        demo_parser.error(str(error))
    except ImportError as error:
        return _failed(unavailable_tools(error))
    except MemoryError:
        return _failed(f"out of memory with {options.cells:,} cells at threshold "
                       f"{options.threshold:g}; ask for fewer cells or a smaller threshold")
    except OSError as error:
        return _failed(f"cannot write {options.output}: {error.strerror or error}; choose "
                       "another path with --output")
    return 0


def _failed(message: str) -> int:
    """A failure the user can mend: one line, and the exit status of a usage error."""
    print(f"cellprox demo: {' '.join(message.split())}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
