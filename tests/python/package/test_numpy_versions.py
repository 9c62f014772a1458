"""The package beside numpy 1.x and 2.x: the deliverables refuse numpy 2 as their contract says,
and only the package's raw names depend on them."""
import importlib.metadata
import json
import os

import numpy
import pytest

import cellprox
from cellprox.fracture import voronoi_fracture
from conftest import NUMPY_1, NUMPY_IMPORT_ERROR
from numpy_abi import fake_capsule


def test_the_run_has_the_numpy_it_was_set_up_with():
    # The test command names the numpy major version of each environment it makes: a suite that
    # quietly ran under the other numpy would prove nothing about this one.
    wanted = os.environ.get("CELLPROX_NUMPY_MAJOR")
    if not wanted:
        pytest.skip("CELLPROX_NUMPY_MAJOR is not set")
    assert numpy.__version__.split(".")[0] == wanted, numpy.__version__


def test_the_distribution_takes_any_numpy_from_1_23():
    try:
        requirements = importlib.metadata.requires("cellprox") or []
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("cellprox is not installed")
    # Extras may ask for more (the benchmark times the raw kernels); installing the package may not.
    assert [r for r in requirements if r.startswith("numpy") and "extra ==" not in r] == ["numpy>=1.23"]


def test_messages_read_the_same_under_either_numpy():
    # numpy 2 names its bool class "bool" and shows scalars as np.float64(1.0) in a repr.
    cube = numpy.zeros((1, 3), numpy.float32)
    with pytest.raises(TypeError, match=r"threshold must be a real number .*, not bool_$"):
        cellprox.find_neighbors([cube], numpy.bool_(True), rule="hull")
    with pytest.raises(ValueError, match=r"rule 'hul' is not known"):
        cellprox.find_neighbors([cube], 0.1, rule=numpy.str_("hul"))
    with pytest.raises(ValueError, match=r"such as \(1\.0, 1\.0, 1\.0\), not \(1\.0, 2\)$"):
        voronoi_fracture(10, box=(numpy.float64(1.0), numpy.int32(2)))
    with pytest.raises(TypeError, match=r"progress must be True or False, not float32$"):
        voronoi_fracture(10, progress=numpy.float32(1.0))


@pytest.mark.skipif(NUMPY_1, reason="the deliverable's refusal of numpy 2 needs numpy 2")
def test_the_deliverable_refuses_numpy_2_as_its_contract_says(python_subprocess, MODULE_NAME):
    code, out, err = python_subprocess(
        "import json, sys\n"
        "try:\n"
        "    __import__(MODULE)\n"
        "except BaseException as error:\n"
        "    print(json.dumps([type(error).__name__, str(error), MODULE in sys.modules]))\n")
    assert code == 0, err
    assert json.loads(out) == ["ImportError", NUMPY_IMPORT_ERROR, False]


# Under numpy 1.x, numpy 2 as the deliverable sees it: a 2.x version and the 2.x C-ABI.
AS_NUMPY_2 = ("import numpy.core._multiarray_umath as umath\nnumpy.__version__ = '2.4.6'\n"
              + fake_capsule(abi=0x02000000))

PACKAGE_UNDER_NUMPY_2 = """
import contextlib, io, json, sys
import numpy
{tamper}
import cellprox
from cellprox import *
from cellprox.__main__ import main

report = {{"star": sorted(name for name in globals() if name in cellprox._native.RAW_NAMES)}}
for name in ("native", "get_bb_intersections", "generate_neighbors"):
    try:
        getattr(cellprox, name)
    except ImportError as error:
        cause = error.__cause__
        report[name] = [str(error), error.name, type(cause).__name__, str(cause)]
try:
    from cellprox import generate_neighbors
except ImportError as error:
    report["from-import"] = str(error)
report["misspelt"] = hasattr(cellprox, "natve")
cube = numpy.array([[c & 1, c >> 1 & 1, c >> 2 & 1] for c in range(8)], numpy.float32)
edges = [[c, c | 1 << a] for c in range(8) for a in range(3) if not c >> a & 1]
result = cellprox.find_neighbors([cube, cube + [1, 0, 0]], 0.001, edges=[edges] * 2,
                                 collections=[0, 1])
report["pairs"] = result.pairs.tolist()
with contextlib.redirect_stdout(io.StringIO()) as info:
    main(["info"])
report["info"] = info.getvalue().splitlines()[1]
print(json.dumps(report))
"""


def test_under_numpy_2_only_the_raw_names_fail_and_say_why(python_subprocess, MODULE_NAME):
    code, out, err = python_subprocess(
        PACKAGE_UNDER_NUMPY_2.format(tamper=AS_NUMPY_2 if NUMPY_1 else ""))
    assert code == 0, err
    # numpy's page about modules built for 1.x stays out of an import that succeeds.
    assert err == ""
    report = json.loads(out)
    assert report.pop("star") == [] and report.pop("misspelt") is False
    assert report.pop("pairs") == [[0, 1]]
    version = "2.4.6" if NUMPY_1 else numpy.__version__
    assert report.pop("info") == (f"native module: {MODULE_NAME}, not loaded: its raw kernels "
                                  f"need numpy 1.x (numpy {version} here)")
    assert report.pop("from-import").startswith("cellprox.generate_neighbors: the raw kernels")
    for name, (message, module, cause_type, cause) in report.items():
        assert message.startswith(f"cellprox.{name}: the raw kernels ({MODULE_NAME}) need numpy "
                                  "1.x (1.23 or later, below 2)")
        # The chained refusal speaks to those who compile modules; this one says what to do.
        assert 'pip install "numpy>=1.23,<2"' in message and "nothing needs rebuilding" in message
        assert (module, cause_type, cause) == (MODULE_NAME, "ImportError", NUMPY_IMPORT_ERROR)
    assert sorted(report) == ["generate_neighbors", "get_bb_intersections", "native"]
