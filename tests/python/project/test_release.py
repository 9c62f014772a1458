"""What a release carries: the wheel's files, and one version number wherever it shows.

The wheel checked is the one named by CELLPROX_WHEEL (scripts/wheel.sh sets it), else the
installed distribution as pip recorded it, which is the wheel pip built or was given.
"""
import importlib.metadata
import json
import os
import pathlib
import re
import zipfile

import numpy as np
import pytest

import cellprox
from cellprox.__main__ import main

ROOT = pathlib.Path(__file__).resolve().parents[3]
NATIVE_SUFFIX = r"\.(cpython-311-[\w-]+\.so|cp311-win_amd64\.pyd)"
# What pip adds to an installed distribution; no wheel carries these.
INSTALLER_FILES = re.compile(
    r"[^/]+\.dist-info/(INSTALLER|REQUESTED|direct_url\.json)|(.+/)?__pycache__/.+\.pyc")


def wheel_files():
    path = os.environ.get("CELLPROX_WHEEL")
    if path:
        with zipfile.ZipFile(path) as wheel:
            return [name for name in wheel.namelist() if not name.endswith("/")]
    try:
        installed = importlib.metadata.distribution("cellprox")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("cellprox is not installed and CELLPROX_WHEEL names no wheel")
    origin = json.loads(installed.read_text("direct_url.json") or "{}")
    if origin.get("dir_info", {}).get("editable"):
        pytest.skip("an editable install has no wheel's files")
    return [str(file) for file in installed.files if not INSTALLER_FILES.fullmatch(str(file))]


def test_wheel_holds_what_a_user_needs_and_nothing_else():
    files = sorted(wheel_files())
    deliverable = re.compile(r"cellprox_(gnu|darwin|nt)" + NATIVE_SUFFIX)
    natives = [name for name in files if deliverable.fullmatch(name)]
    assert len(natives) == 1, files
    module = natives[0].split(".")[0]
    source = ROOT / "python" / "cellprox"
    dist_info = f"cellprox-{cellprox.__version__}.dist-info"
    expected = [
        natives[0], f"{module}.pyi", f"{module}-stubs/__init__.pyi",
        "cellprox/py.typed", *(f"cellprox/{path.relative_to(source).as_posix()}"
                               for path in source.rglob("*.py*") if path.suffix in (".py", ".pyi")),
        # The package's private extensions (its search, joining arrays), built with the
        # deliverable.
        *(name for name in files if re.fullmatch(r"cellprox/_(proximity|gather)" + NATIVE_SUFFIX, name)),
        f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/RECORD",
        f"{dist_info}/licenses/LICENSE",
    ]
    assert files == sorted(expected)


def test_info_shows_the_one_version_and_the_module_in_use(ext, capsys):
    assert main(["info"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == f"cellprox {cellprox.__version__}"
    assert lines[1] == f"native module: {ext.__name__} ({ext.__file__})"
    assert lines[2].startswith("platform: ") and lines[3] == f"numpy: {np.__version__}"
    try:
        assert importlib.metadata.version("cellprox") == cellprox.__version__
    except importlib.metadata.PackageNotFoundError:
        pass
