"""What differs between the deliverables, and the facts of the Linux binary."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from cells import CellArray

ROOT = pathlib.Path(__file__).resolve().parents[3]


def origin_distance(ext, offset):
    """The value generate_neighbors reports for two touching cells whose origins are offset apart."""
    point = {"vertices": [[0, 0, 0]], "edges": [[0, 0]]}
    cells = CellArray([dict(point, links=[1], links_start=0, origin=(0, 0, 0)),
                       dict(point, origin=(offset, 0, 0))])
    return float(ext.generate_neighbors(cells.address, 2, 1, 1.0, 0)[0])


def test_square_roots(ext):
    offsets = np.float32([3.0, 0.1, 1e-3, 7.25, 12345.678])
    got = np.array([origin_distance(ext, float(x)) for x in offsets], np.float32)
    if ext.__name__.endswith("_darwin"):
        # An estimate refined by one Newton step: within a few units in the last place...
        np.testing.assert_allclose(got, offsets, rtol=4e-7)
        # ...and 0 for squares below the smallest normal float.
        assert origin_distance(ext, 1e-20) == 0.0
    else:
        np.testing.assert_array_equal(got, offsets)  # correctly rounded
        tiny = np.float32(1e-20)
        assert origin_distance(ext, 1e-20) == np.sqrt(tiny * tiny) > 0


def test_box_margin_precision(ext):
    # Near the margin's own size, bound - 0.002 rounds differently in single and double precision.
    candidates = np.linspace(0.001, 0.01, 1000, dtype=np.float32)
    single = candidates - np.float32(0.002)
    double = (candidates.astype(np.float64) - 0.002).astype(np.float32)
    k = int(np.argmax(single != double))
    assert single[k] != double[k]

    bbox = np.full((1, 8, 3), candidates[k], np.float32)
    tables = np.zeros((1, 30), np.int32), np.full(1, -1, np.int32), np.zeros(1, np.uint8)
    ext.get_bb_intersections(bbox, 1, *tables)
    assert bbox[0, 0, 0] == (single[k] if ext.__name__.endswith("_nt") else double[k])


def _tool_output(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF facts")
@pytest.mark.skipif(os.environ.get("CELLPROX_SANITIZED") == "1",
                    reason="a sanitized build needs the sanitizer runtimes and their symbols")
def test_linux_binary_facts(ext):
    if not ext.__name__.endswith("_gnu"):
        pytest.skip("the facts of the Linux deliverable")
    path = ext.__file__
    assert pathlib.Path(path).name == f"{ext.__name__}.cpython-311-x86_64-linux-gnu.so"

    exported = _tool_output("nm", "-D", "--defined-only", path).split()
    assert [name for name in exported if re.fullmatch(r"[A-Za-z_]\w*", name) and name not in "TtDdBbRrWwVv"] \
        == [f"PyInit_{ext.__name__}"]

    dynamic = _tool_output("readelf", "-d", "-W", path)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert not [lib for lib in needed if "python" in lib]

    # Every versioned symbol it needs comes from the C library, at most at version 2.14.
    versions = _tool_output("readelf", "-V", "-W", path)
    files = re.findall(r"File: (\S+)", versions)
    assert files == ["libc.so.6"]
    glibc = [tuple(map(int, v.split("."))) for v in re.findall(r"Name: GLIBC_([\d.]+)", versions)]
    assert glibc and max(glibc) <= (2, 14)

    # Unversioned undefined symbols are the interpreter's C API, resolved when it loads us.
    undefined = _tool_output("nm", "-D", "--undefined-only", path).splitlines()
    names = [line.split()[-1] for line in undefined if line.split()[0] == "U"]
    assert all("@" in s or s.startswith(("Py", "_Py")) for s in names), names


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF facts of the Linux build")
@pytest.mark.skipif(os.environ.get("CELLPROX_SANITIZED") == "1",
                    reason="a sanitized build needs the sanitizer runtimes and their symbols")
def test_private_modules_need_no_newer_runtime_than_the_deliverable():
    # The wheel's oldest Linux target: C and math libraries at most at version 2.14, no C++ runtime.
    import cellprox._gather
    import cellprox._proximity

    for module in (cellprox._gather, cellprox._proximity):
        versions = _tool_output("readelf", "-V", "-W", module.__file__)
        assert set(re.findall(r"File: (\S+)", versions)) <= {"libc.so.6", "libm.so.6"}, module
        glibc = [tuple(map(int, v.split("."))) for v in re.findall(r"Name: GLIBC_([\d.]+)", versions)]
        assert max(glibc) <= (2, 14), module


def test_ci_workflow_is_valid():
    workflow = ROOT / ".github" / "workflows" / "ci.yml"
    # Installed with the test tools, beside the interpreter running the tests.
    search = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    actionlint = shutil.which("actionlint", path=search)
    if actionlint is None:
        if sys.platform.startswith("linux"):
            pytest.fail("actionlint is part of the test tools on Linux")
        pytest.skip("actionlint is not installed here")
    result = subprocess.run([actionlint, str(workflow)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
