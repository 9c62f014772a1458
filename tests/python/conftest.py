"""Shared fixtures for the cellprox extension module tests.

The module under test is named by CELLPROX_MODULE (cellprox_gnu, cellprox_darwin or
cellprox_nt); messages and traceback entries carry that name, so nothing below hard-codes it.
"""
import contextlib
import importlib
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import traceback

import numpy
import pytest

MODULE_NAME = os.environ.get("CELLPROX_MODULE", "cellprox_gnu")

# The deliverables are numpy 1.x modules and refuse numpy 2 at import; the package's own tests run
# with either.
NUMPY_1 = int(numpy.__version__.split(".", 1)[0]) < 2
NEEDS_NUMPY_1 = (f"{MODULE_NAME} (the raw kernels) is a numpy 1.x module; numpy "
                 f"{numpy.__version__} is installed")
needs_numpy_1 = pytest.mark.skipif(not NUMPY_1, reason=NEEDS_NUMPY_1)

# The deliverables' import check refusing a numpy, in the words of their contract.
NUMPY_IMPORT_ERROR = (
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable "
    "if you are certain you don't need it)."
)
RAW_USE = re.compile(r"\bcellprox\.(native|get_bb_intersections|generate_neighbors)\b|"
                     r"\bimport cellprox_(gnu|darwin|nt)\b")


def says_raw_kernels_need_numpy_1(error):
    """The deliverable's own refusal of this numpy, or the package's ImportError chained to it."""
    if str(error) == NUMPY_IMPORT_ERROR:
        return True
    return ("need numpy 1.x" in str(error) and type(error.__cause__) is ImportError
            and str(error.__cause__) == NUMPY_IMPORT_ERROR)


# The 32-bit integer overflow message: the Windows build converts through a 32-bit C long and
# reports the interpreter's own wording.
INT_OVERFLOW_MESSAGE = (
    "Python int too large to convert to C long"
    if MODULE_NAME.endswith("_nt")
    else "value too large to convert to int"
)


def _import_module():
    if not NUMPY_1:
        pytest.skip(NEEDS_NUMPY_1, allow_module_level=True)
    # A concurrent reinstall can leave the package half-written for a moment.
    for attempt in range(5):
        try:
            return importlib.import_module(MODULE_NAME)
        except ImportError:
            if attempt == 4:
                raise
            time.sleep(1.0)


@pytest.fixture(scope="session")
def ext():
    return _import_module()


@pytest.fixture(scope="session", name="MODULE_NAME")
def module_name_fixture():
    return MODULE_NAME


@pytest.fixture(scope="session")
def int_overflow_message():
    return INT_OVERFLOW_MESSAGE


def run_python(code, *interpreter_flags):
    """Runs `code` in a fresh interpreter; MODULE is predefined as the module's name.

    Returns (returncode, stdout, stderr).
    """
    source = f"MODULE = {MODULE_NAME!r}\n{code}"
    env = dict(os.environ, CELLPROX_MODULE=MODULE_NAME)
    completed = subprocess.run(
        [sys.executable, *interpreter_flags, "-c", source],
        capture_output=True,
        text=True,
        env=env,
        cwd=tempfile.gettempdir(),
        timeout=120,
    )
    return completed.returncode, completed.stdout, completed.stderr


@pytest.fixture(scope="session")
def python_subprocess():
    return run_python


class Ticks:
    """What a ticking thread saw: how often it ticked, and the longest wait between two ticks."""
    count = 0
    longest_stall = 0.0


@contextlib.contextmanager
def ticking_thread():
    """Runs a thread that ticks as fast as the interpreter lets it while the block runs, and
    yields its Ticks: a call that kept the interpreter lock throughout would stall it for all of
    that call."""
    ticks, running, stop = Ticks(), threading.Event(), threading.Event()

    def tick():
        last = time.perf_counter()
        running.set()
        while not stop.is_set():
            ticks.count += 1
            now = time.perf_counter()
            ticks.longest_stall = max(ticks.longest_stall, now - last)
            last = now

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        running.wait()
        yield ticks
    finally:
        stop.set()
        thread.join()


def run_doc_blocks(text, label):
    """Runs a document's Python blocks in order in one namespace, as a reader would.

    Under numpy 2 a block may stop where it first uses the raw kernels, on an ImportError that
    says they need numpy 1.x; nothing else may fail. Returns the blocks run and those stopped.
    """
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    namespace, stopped = {}, 0
    for index, block in enumerate(blocks):
        name = f"{label} block {index}"
        source = block.replace("cellprox_gnu", MODULE_NAME)
        try:
            exec(compile(source, name, "exec"), namespace)
        except ImportError as error:
            failed_at = [entry for entry in traceback.extract_tb(error.__traceback__)
                         if entry.filename == name][-1]
            line = source.splitlines()[failed_at.lineno - 1]
            if NUMPY_1 or not RAW_USE.search(line) or not says_raw_kernels_need_numpy_1(error):
                raise
            stopped += 1
    return len(blocks), stopped


def traceback_names(exc):
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


@pytest.fixture(scope="session")
def expect_error():
    """Calls function(*args, **kwargs), which must fail with exactly `exc_type(message)`.

    The innermost traceback entry must be the module's entry for that function; when the error
    comes from Python code the call ran (an __int__ method, say) that code's frames follow it.
    Returns the exception for further checks.
    """

    def check(exc_type, message, function, *args, **kwargs):
        with pytest.raises(exc_type) as info:
            function(*args, **kwargs)
        assert type(info.value) is exc_type
        if message is not None:
            assert str(info.value) == message
        entries = traceback.extract_tb(info.value.__traceback__)
        names = [entry.name for entry in entries]
        own = f"{MODULE_NAME}.{function.__name__}"
        assert own in names
        last = len(names) - 1 - names[::-1].index(own)
        # Only frames of Python code that the call ran may follow the boundary's entry.
        assert all(entry.filename.endswith(".py") for entry in entries[last + 1:])
        return info.value

    return check


# Figures a test wants shown with the run's summary (calls made, examples tried, ...):
# record_figure("leaks: calls", 12345) adds to the named figure.
FIGURES = {}


def record_figure(name, amount):
    FIGURES[name] = FIGURES.get(name, 0) + amount


def pytest_terminal_summary(terminalreporter):
    if FIGURES:
        terminalreporter.write_sep("-", f"figures ({MODULE_NAME})")
        for name, value in FIGURES.items():
            shown = f"{value:.1f}" if isinstance(value, float) else str(value)
            terminalreporter.write_line(f"{name}: {shown}")
