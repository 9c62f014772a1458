"""Command line: ``python -m cellprox demo`` and ``python -m cellprox info``."""
from __future__ import annotations

import argparse
import platform
import sys
from collections.abc import Sequence
from pathlib import Path

DEMO_HELP = """\
Cuts a box into N Voronoi cells (seeds uniform at random; the cells are split into collections
by slabs along x), finds the cells that touch with cellprox's broad phase (overlapping bounding
boxes, widened by 0.002) and narrow phase (a vertex within the threshold for cells of the same
collection, an edge within the threshold across collections; with --rule hull, the convex hulls
of their vertices within the threshold), prints a summary and writes a
PNG picture: a 3-D view, a slice through the middle with the confirmed links, and the number
of neighbours per cell. Progress goes to standard error. Needs scipy and matplotlib:
pip install "cellprox[demo]".
"""


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not positive; give at least 1")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{value} is not a positive finite distance, such as "
                                         "0.001")
    return value


def _png_path(text: str) -> Path:
    path = Path(text)
    if path.suffix.lower() != ".png":
        raise argparse.ArgumentTypeError(f"{text!r} does not end in .png; the picture is a PNG")
    return path


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(
        prog="python -m cellprox",
        description="cellprox: native proximity kernels for cells of 3-D geometry.")
    commands = main.add_subparsers(dest="command", metavar="COMMAND", required=True)

    demo = commands.add_parser(
        "demo", help="fracture a box into Voronoi cells, find neighbours, draw a picture",
        description=DEMO_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("-n", "--cells", type=_positive_int, default=3000, metavar="N",
                      help="number of cells (default 3000; 100000 takes a minute or two)")
    demo.add_argument("-t", "--threshold", type=_positive_float, default=0.001, metavar="T",
                      help="closeness threshold, in units of the unit box's side (default "
                           "0.001); neighbours that share a face are at distance 0")
    demo.add_argument("-s", "--seed", type=int, default=0,
                      help="random seed of the fracture (default 0); the same seed gives the "
                           "same cells")
    demo.add_argument("-c", "--collections", type=_positive_int, default=2, metavar="C",
                      help="number of collections, slabs of cells along x (default 2)")
    demo.add_argument("-o", "--output", type=_png_path, default=Path("cellprox-demo.png"),
                      metavar="PATH", help="where to write the picture (default "
                                           "cellprox-demo.png)")
    demo.add_argument("-r", "--rule", choices=("vertices-edges", "hull"), default="vertices-edges",
                      help="closeness rule: vertices-edges (default; the kernels' rule) or hull "
                           "(the distance between the cells' convex hulls, every collection alike)")
    demo.add_argument("-q", "--quiet", action="store_true",
                      help="no progress messages on standard error")

    commands.add_parser("info", help="show the version, the native module and the platform",
                        description="Shows cellprox's version, the native module in use and "
                                    "where it was loaded from, the platform and numpy's version.")
    return main


def print_info() -> None:
    # Imported here: `--help` and argument errors should not wait for numpy and the native module.
    import numpy

    import cellprox

    native = cellprox.native
    print(f"cellprox {cellprox.__version__}")
    print(f"native module: {native.__name__} ({getattr(native, '__file__', '?')})")
    print(f"platform: {platform.platform()}, {platform.python_implementation()} "
          f"{platform.python_version()}")
    print(f"numpy: {numpy.__version__}")


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.command == "info":
        print_info()
        return 0

    from cellprox.demo import DemoOptions, run_demo

    options = DemoOptions(cells=args.cells, threshold=args.threshold, seed=args.seed,
                          collections=args.collections, output=args.output, quiet=args.quiet,
                          rule=args.rule)
    try:
        run_demo(options)
    except OSError as error:
        print(f"cellprox demo: cannot write {options.output}: {error.strerror or error}; "
              "choose another path with --output", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
