"""The cell debug dump of generate_neighbors, byte for byte.

The dump goes through C stdio on file descriptor 1, not through sys.stdout, and ends without a
line break. All cases run in one child interpreter: after each call the child flushes C stdio
and writes "|END" and the call's outcome straight to the descriptor, so the captured bytes are
exactly what the dump printed.
"""
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from conftest import needs_numpy_1

pytestmark = needs_numpy_1

TESTS = pathlib.Path(__file__).resolve().parents[1]   # the suite's shared helpers
MODULE_NAME = os.environ.get("CELLPROX_MODULE", "cellprox_gnu")

CHILD = r"""
import ctypes, importlib, json, os, sys
from cells import CellArray

ext = importlib.import_module(os.environ["CELLPROX_MODULE"])
libc = ctypes.CDLL("ucrtbase" if sys.platform == "win32" else None)  # the C stdio the dump writes to
for case in json.loads(sys.stdin.read()):
    os.write(1, b"\0" + case["name"].encode() + b"\0")
    cells = CellArray(case["cells"])
    address = cells.address if case["cells"] else 0
    try:
        result = ext.generate_neighbors(address, len(cells), case["n_links"],
                                        case["threshold"], case["use_debug"])
        outcome = {"result": result.tolist(), "dtype": str(result.dtype)}
    except Exception as exc:
        outcome = {"error": type(exc).__name__, "message": str(exc)}
    libc.fflush(None)
    os.write(1, b"|END" + json.dumps(outcome).encode())
"""

# Lines of a cell block, as the dump formats them.
BANNER = "\n\n\n[DEBUG][PROXIM]"


def head(index, v, e, n, origin):
    return (f"\n\nCell-Index[{index}]"
            f"\n\t> Counts: V[{v}], E[{e}], N[{n}]"
            f"\n\t> Origin: [{origin}]")


def vertex0(xyz):
    return f"\n\t> Vertices \t0: [{xyz}]"


def vertex1(xyz):
    return f"\n\t           \t1: [{xyz}]"


def vertex_n(xyz):
    return f"\n\t           \tN: [{xyz}]"


def edge0(pair):
    return f"\n\t> Edges\t0:   [{pair}]"


def edge1(pair):
    return f"\n\t       \t1:   [{pair}]"


def edge_n(pair):
    return f"\n\t       \tN:   [{pair}]"


def link0(text):
    return f"\n\t> Cell-Links\t0: {text}"


def link1(text):
    return f"\n\t            \t1: {text}"


def link_n(text):
    return f"\n\t            \tN: {text}"


# Cell with many of everything; its own index (7) differs from its position.
MANY = dict(
    index=7, coll=0, origin=(1.0, 2.25, -0.5), links_start=10,
    vertices=[(0.0, 0.5, 1.0), (1.25, -2.0, 3.0), (4.0, 5.0, 6.0), (-7.5, 2.675, 9.75)],
    edges=[(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)],
    links=[0, 3, -1, 9],
)
MANY_TEXT = (
    head(7, 4, 5, 4, "1.00, 2.25, -0.50")
    + vertex0("0.00, 0.50, 1.00") + vertex1("1.25, -2.00, 3.00")
    # 2.675 in single precision is 2.67499995..., so it rounds down.
    + vertex_n("-7.50, 2.67, 9.75")
    + edge0("0, 1") + edge1("1, 2") + edge_n("0, 2")
    + link0("S[10] - A[7], B[0]") + link1("S[11] - A[7], B[3]") + link_n("S[13] - A[7], B[9]")
)

# Exactly two of everything: "1:" lines and no "N:" line.
TWO = dict(
    index=21, coll=0, origin=(0.0, 0.0, 0.0), links_start=0,
    vertices=[(1.0, 1.0, 1.0), (2.0, -2.0, 2.0)], edges=[(0, 1), (1, 0)], links=[1, 0],
)
TWO_TEXT = (
    head(21, 2, 2, 2, "0.00, 0.00, 0.00")
    + vertex0("1.00, 1.00, 1.00") + vertex1("2.00, -2.00, 2.00")
    + edge0("0, 1") + edge1("1, 0")
    + link0("S[0] - A[21], B[1]") + link1("S[1] - A[21], B[0]")
)

# Exactly one of everything. -0.005 is -0.00499999... in single precision: "-0.00".
ONE = dict(
    index=22, coll=1, origin=(10.0, -20.0, 30.5), links_start=2,
    vertices=[(0.1, -0.005, -3.0)], edges=[(0, 0)], links=[0],
)
ONE_TEXT = (
    head(22, 1, 1, 1, "10.00, -20.00, 30.50")
    + vertex0("0.10, -0.00, -3.00") + edge0("0, 0") + link0("S[2] - A[22], B[0]")
)

# Exactly three of everything: the last one is the "N:" line.
THREE = dict(
    index=34, coll=1, origin=(-1.5, 0.25, 100.0), links_start=5,
    vertices=[(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)],
    edges=[(0, 1), (1, 2), (2, 0)], links=[0, 1, 2],
)
THREE_TEXT = (
    head(34, 3, 3, 3, "-1.50, 0.25, 100.00")
    + vertex0("1.00, 0.00, 0.00") + vertex1("0.00, 1.00, 0.00") + vertex_n("0.00, 0.00, 1.00")
    + edge0("0, 1") + edge1("1, 2") + edge_n("2, 0")
    + link0("S[5] - A[34], B[0]") + link1("S[6] - A[34], B[1]") + link_n("S[7] - A[34], B[2]")
)

# Cells that are never dumped when five are passed.
HIDDEN = [dict(index=99, vertices=[(5.0, 5.0, 5.0)], edges=[(0, 0)]),
          dict(index=98, vertices=[(6.0, 6.0, 6.0)], edges=[(0, 0)])]

POINT = dict(vertices=[(3.0, 2.0, 1.0)], edges=[(0, 0)], origin=(0.5, 0.5, 0.5))
POINT_LINES = "\n\t> Origin: [0.50, 0.50, 0.50]" + vertex0("3.00, 2.00, 1.00") + edge0("0, 0")


def counts_line(index, v, e, n):
    return f"\n\nCell-Index[{index}]\n\t> Counts: V[{v}], E[{e}], N[{n}]"


CASES = {
    "no cells": ([], BANNER),
    "one cell": ([MANY], BANNER + MANY_TEXT * 3),
    "two cells": ([TWO, ONE], BANNER + TWO_TEXT + ONE_TEXT * 2),
    "five cells": ([MANY, TWO, *HIDDEN, THREE], BANNER + MANY_TEXT + TWO_TEXT + THREE_TEXT),
    # n_count 0, links_start -1, no link array: no "Cell-Links" line.
    "no link lines": (
        [dict(POINT, index=40, links=[1], n_count=0, links_start=0),
         dict(POINT, index=41, links=[0], links_start=-1),
         dict(POINT, index=42, links=None, n_count=2, links_start=1)],
        BANNER
        + counts_line(40, 1, 1, 0) + POINT_LINES
        + counts_line(41, 1, 1, 1) + POINT_LINES
        + counts_line(42, 1, 1, 2) + POINT_LINES,
    ),
    # No vertex or edge line without vertices or edges; a non-zero (even negative) n_count with
    # a link array and a start still prints the first link.
    "no geometry": (
        [dict(index=50, links=[1], links_start=0),
         dict(index=51, vertices=None, v_count=3, edges=None, e_count=2),
         dict(index=52, vertices=[(1.0, 2.0, 3.0)], v_count=-1, edges=[(0, 0)], e_count=-1,
              links=[5, 6], n_count=-2, links_start=3)],
        BANNER
        + head(50, 0, 0, 1, "0.00, 0.00, 0.00") + link0("S[0] - A[50], B[1]")
        + head(51, 3, 2, 0, "0.00, 0.00, 0.00")
        + head(52, -1, -1, -2, "0.00, 0.00, 0.00") + link0("S[3] - A[52], B[5]"),
    ),
}

N_LINKS = 14  # covers every slot used above
QUIET_DEBUG_VALUES = [0, 2, -1, 257]


def all_runs():
    runs = [dict(name=f"{name}/1", cells=cells, n_links=N_LINKS, threshold=1e9, use_debug=1)
            for name, (cells, _) in CASES.items()]
    runs += [dict(name=f"five cells/{flag}", cells=CASES["five cells"][0], n_links=N_LINKS,
                  threshold=1e9, use_debug=flag) for flag in QUIET_DEBUG_VALUES]
    return runs


@pytest.fixture(scope="module")
def dumps():
    """{run name: (bytes printed before "|END", outcome of the call)} from one child."""
    env = dict(os.environ, CELLPROX_MODULE=MODULE_NAME)
    completed = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(all_runs()).encode(),
                               capture_output=True, env=env, cwd=TESTS, timeout=120)
    assert completed.returncode == 0, completed.stderr.decode(errors="replace")
    parts = completed.stdout.split(b"\0")
    assert parts[0] == b""
    found = {}
    for name, payload in zip(parts[1::2], parts[2::2]):
        printed, marker, outcome = payload.rpartition(b"|END")
        assert marker, payload
        found[name.decode()] = (printed, json.loads(outcome))
    return found


@pytest.mark.parametrize("name", list(CASES))
def test_dump_text(dumps, name):
    printed, outcome = dumps[f"{name}/1"]
    assert printed.decode() == CASES[name][1]
    assert "error" not in outcome


@pytest.mark.parametrize("flag", QUIET_DEBUG_VALUES)
def test_other_debug_values_print_nothing_and_give_the_same_result(dumps, flag):
    printed, outcome = dumps[f"five cells/{flag}"]
    assert printed == b""
    assert outcome == dumps["five cells/1"][1]


def origin_distance(a, b):
    return float(np.linalg.norm(np.float32(a["origin"]) - np.float32(b.get("origin", (0, 0, 0)))))


def test_dump_leaves_the_result_alone(dumps):
    _, outcome = dumps["five cells/1"]
    assert outcome["dtype"] == "float32"
    # The threshold lets every link to an existing cell through, so each such slot holds the
    # origin distance; slots of missing neighbours and slots no cell owns keep -1.
    expected = [-1.0] * N_LINKS
    expected[0:2] = [0.0, origin_distance(TWO, MANY)]
    expected[5:8] = [origin_distance(THREE, c) for c in (MANY, TWO, HIDDEN[0])]
    expected[10:12] = [0.0, origin_distance(MANY, HIDDEN[1])]
    assert outcome["result"] == pytest.approx(expected, rel=1e-6)
