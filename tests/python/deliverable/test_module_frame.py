"""Import of the extension module: namespace, identity, import-time checks and failures."""
import builtins
import importlib
import json
import sys

import numpy
import pytest

from conftest import NUMPY_IMPORT_ERROR, needs_numpy_1
from numpy_abi import fake_capsule

pytestmark = needs_numpy_1


def size_changed(name, expected, got):
    return (
        f"numpy.{name} size changed, may indicate binary incompatibility. "
        f"Expected {expected} from C header, got {got} from PyObject"
    )


def test_namespace(ext, MODULE_NAME):
    found = ext.__spec__
    assert ext.__name__ == MODULE_NAME
    assert ext.__doc__ is None
    assert ext.np is numpy
    assert ext.sys is sys
    assert type(ext.__test__) is dict and ext.__test__ == {}
    assert ext.__builtins__ is builtins
    assert ext.__file__ == found.origin
    assert ext.__loader__ is found.loader
    assert ext.__package__ == found.parent == ""
    assert not hasattr(ext, "__path__")
    assert not hasattr(ext, "EPS")
    public = {name for name in vars(ext) if not name.startswith("__")}
    assert public == {"sys", "np", "get_bb_intersections", "generate_neighbors"}


def test_reimport_returns_the_same_module(ext, MODULE_NAME):
    functions = (ext.generate_neighbors, ext.get_bb_intersections)
    test_dict = ext.__test__
    del sys.modules[MODULE_NAME]
    try:
        again = importlib.import_module(MODULE_NAME)
    finally:
        sys.modules[MODULE_NAME] = ext
    assert again is ext
    assert (again.generate_neighbors, again.get_bb_intersections) == functions
    assert again.generate_neighbors is functions[0]
    assert again.__test__ is test_dict
    assert importlib.reload(ext) is ext
    assert ext.get_bb_intersections is functions[1]


def test_sub_interpreter_is_refused(python_subprocess):
    rc, out, err = python_subprocess(
        "import importlib, _xxsubinterpreters as interpreters\n"
        "importlib.import_module(MODULE)\n"
        "interp = interpreters.create()\n"
        "try:\n"
        "    interpreters.run_string(interp, f'import {MODULE}')\n"
        "except Exception as e:\n"
        "    print(e)\n"
        "else:\n"
        "    print('imported')\n"
    )
    assert rc == 0, err
    assert "ImportError" in out
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process." in out
    )


@pytest.mark.parametrize("flags", [["-W", "error::RuntimeWarning"], ["-W", "error"]])
def test_import_raises_no_warning(python_subprocess, flags):
    rc, out, err = python_subprocess(
        "import importlib\nprint(importlib.import_module(MODULE).__name__)", *flags
    )
    assert rc == 0, err
    assert err == ""


def test_import_keeps_subnormal_numbers(python_subprocess):
    rc, out, err = python_subprocess(
        "import importlib, sys, numpy as np\n"
        "m = importlib.import_module(MODULE)\n"
        "m.get_bb_intersections(np.ones((2, 8, 3), np.float32), 2, np.zeros((2, 30), np.int32),\n"
        "                       np.full(2, -1, np.int32), np.zeros(2, np.uint8))\n"
        "m.generate_neighbors(0, 0, 4, 1.0, 0)\n"
        "tiny = np.finfo(np.float32).tiny\n"
        "print(sys.float_info.min / 2 > 0,\n"
        "      np.float32(tiny) / np.float32(2) > 0,\n"
        "      bool((np.full(64, tiny, np.float32) * np.float32(0.5) > 0).all()),\n"
        "      bool((np.full(64, tiny / 4, np.float32) + np.float32(0) > 0).all()))\n"
    )
    assert rc == 0, err
    assert out.split() == ["True"] * 4


# Tampers with numpy, imports the module, reports the outcome, undoes the tampering and imports
# once more: a failed import must leave nothing behind that blocks a later one.
IMPORT_PROBE = """
import builtins, importlib, json, sys, traceback, warnings
import numpy
import numpy.core._multiarray_umath as umath
saved = dict(vars(numpy))
saved_api = umath._ARRAY_API
saved_type = builtins.type
{tamper}
report = {{}}
with warnings.catch_warnings(record=True) as caught:
    if not sys.warnoptions:
        warnings.simplefilter("always")
    try:
        importlib.import_module(MODULE)
    except BaseException as e:
        report["error"] = [e.__class__.__name__, str(e)]
        report["traceback"] = [f.name for f in traceback.extract_tb(e.__traceback__)]
        report["in_sys_modules"] = MODULE in sys.modules
report["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
builtins.type = saved_type
vars(numpy).update(saved)
umath._ARRAY_API = saved_api
sys.modules.pop("numpy.core._multiarray_umath", None)
sys.modules["numpy.core._multiarray_umath"] = umath
m = importlib.import_module(MODULE)
report["retry"] = len(m.generate_neighbors(0, 0, 3, 0.0, 0))
print(json.dumps(report))
"""


def probe_import(run, tamper, *flags):
    rc, out, err = run(IMPORT_PROBE.format(tamper=tamper), *flags)
    assert rc == 0, err
    report = json.loads(out.strip().splitlines()[-1])
    assert report.pop("retry") == 3
    return report


@pytest.mark.parametrize(
    "tamper",
    [
        pytest.param("umath._ARRAY_API = None", id="api-none"),
        pytest.param("umath._ARRAY_API = object()", id="api-not-capsule"),
        pytest.param("del umath._ARRAY_API", id="api-missing"),
        pytest.param('sys.modules["numpy.core._multiarray_umath"] = None', id="umath-unimportable"),
        pytest.param(fake_capsule(abi=0x01000008), id="abi-too-old"),
        pytest.param(fake_capsule(abi=0x02000000), id="abi-numpy2"),
        pytest.param(fake_capsule(feature=12), id="feature-12"),
        pytest.param(fake_capsule(endian=2), id="big-endian"),
    ],
)
def test_unusable_numpy_c_api_fails_import(python_subprocess, MODULE_NAME, tamper):
    report = probe_import(python_subprocess, tamper)
    assert report["error"] == ["ImportError", NUMPY_IMPORT_ERROR]
    assert f"init {MODULE_NAME}" in report["traceback"]
    assert report["in_sys_modules"] is False


@pytest.mark.parametrize(
    "tamper",
    [
        pytest.param(fake_capsule(), id="abi-9-feature-13"),
        pytest.param(fake_capsule(feature=0x11), id="feature-17"),
        pytest.param("numpy.broadcast = numpy.flatiter", id="larger-ignored-type"),
    ],
)
def test_acceptable_numpy_imports_without_warning(python_subprocess, tamper):
    report = probe_import(python_subprocess, tamper, "-W", "error")
    assert "error" not in report
    assert report["warnings"] == []


@pytest.mark.parametrize(
    "tamper, error",
    [
        ("numpy.generic = 5", ["TypeError", "numpy.generic is not a type object"]),
        ("builtins.type = 5", ["TypeError", "builtins.type is not a type object"]),
        ("numpy.dtype = object", ["ValueError", size_changed("dtype", 96, 16)]),
        # An item size below the pointer size counts as a whole pointer: 24 + 8.
        ("numpy.dtype = int", ["ValueError", size_changed("dtype", 96, 32)]),
        ("numpy.ufunc = int", ["ValueError", size_changed("ufunc", 216, 32)]),
        # Types are fetched in a fixed order; the first bad one is reported.
        ("numpy.character = 5; del numpy.ufunc", ["TypeError", "numpy.character is not a type object"]),
        ("numpy.ndarray = object; numpy.number = 5", ["ValueError", size_changed("ndarray", 80, 16)]),
    ],
)
def test_bad_numpy_types_fail_import(python_subprocess, MODULE_NAME, tamper, error):
    report = probe_import(python_subprocess, tamper)
    assert report["error"] == error
    assert f"init {MODULE_NAME}" in report["traceback"]
    assert report["in_sys_modules"] is False


def test_missing_numpy_type_fails_import(python_subprocess, MODULE_NAME):
    report = probe_import(python_subprocess, "del numpy.flatiter")
    assert report["error"][0] == "AttributeError"
    assert "flatiter" in report["error"][1]
    assert f"init {MODULE_NAME}" in report["traceback"]


@pytest.mark.parametrize(
    "tamper, expected",
    [
        ("numpy.generic = dict", size_changed("generic", 16, dict.__basicsize__)),
        # Only the instance size is reported, without the item size.
        ("numpy.floating = tuple", size_changed("floating", 16, tuple.__basicsize__)),
    ],
)
def test_grown_numpy_type_warns(python_subprocess, MODULE_NAME, tamper, expected):
    report = probe_import(python_subprocess, tamper)
    assert "error" not in report
    assert report["warnings"] == [["RuntimeWarning", expected]]

    report = probe_import(python_subprocess, tamper, "-W", "error::RuntimeWarning")
    assert report["error"] == ["RuntimeWarning", expected]
    assert f"init {MODULE_NAME}" in report["traceback"]
    assert report["in_sys_modules"] is False
