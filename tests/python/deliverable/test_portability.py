"""The suite does not assume Linux: it collects, and its platform-bound checks skip, without
/proc, os.sysconf, os.fork, os.getuid or the resource module (as on Windows; macOS lacks /proc)."""
import os
import subprocess
import sys

from conftest import MODULE_NAME, needs_numpy_1

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)   # the whole suite

WITHOUT_LINUX = r"""
import builtins, io, os, sys
for name in ("sysconf", "sysconf_names", "fork", "getuid"):
    if hasattr(os, name):
        delattr(os, name)
sys.modules["resource"] = None          # import resource fails
real_open = builtins.open

def open_without_proc(file, *args, **kwargs):
    if str(file).startswith("/proc"):
        raise FileNotFoundError(2, "No such file or directory", str(file))
    return real_open(file, *args, **kwargs)

builtins.open = io.open = open_without_proc
import pytest
sys.exit(pytest.main(sys.argv[1:]))
"""


def pytest_without_linux(*args):
    env = dict(os.environ, CELLPROX_MODULE=MODULE_NAME, CELLPROX_LEAK_CALLS="40")
    return subprocess.run([sys.executable, "-c", WITHOUT_LINUX, "-q", "-p", "no:cacheprovider",
                           *args], capture_output=True, text=True, env=env, cwd=TESTS, timeout=300)


def test_suite_collects_without_linux_facilities():
    collected = pytest_without_linux("--collect-only", TESTS)
    assert collected.returncode == 0, collected.stdout[-3000:] + collected.stderr[-3000:]
    assert "error" not in collected.stdout.lower().split("collected")[-1]


@needs_numpy_1
def test_platform_bound_checks_skip_without_linux_facilities():
    leaks = pytest_without_linux("-rs", "-k", "test_no_leak and bb-ok-keywords",
                                 os.path.join(HERE, "test_leaks.py"))
    assert leaks.returncode == 0, leaks.stdout[-3000:] + leaks.stderr[-3000:]
    assert "resident set cannot be read here" in leaks.stdout
