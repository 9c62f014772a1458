"""No leaks on any path through the two callables: references, memory and exported buffers.

Every path (each success and each kind of error) is called a few thousand times after a
warm-up; the reference counts of the arguments and of the module's own objects must not grow,
nor the memory traced by tracemalloc (which sees the per-call scratch memory and numpy's data)
or the resident set, and every buffer a call acquired must be released when it returns.

Release is seen three ways: a bytearray cannot be resized while a view of it is exported, a
memoryview cannot be released while it has exports, and a numpy array (which does not count its
exports) keeps one more reference for each view not given back.
"""
import contextlib
import gc
import os
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

from cells import CellArray, broad_phase, random_cells
from conftest import INT_OVERFLOW_MESSAGE, needs_numpy_1, record_figure

pytestmark = needs_numpy_1

CALLS = int(os.environ.get("CELLPROX_LEAK_CALLS", "3000"))
WARM_UP = 300
# A leak of one reference per call shows as CALLS; anything far below is noise of shared objects.
REFCOUNT_SLACK = CALLS // 4
TRACED_BOUND = 4096  # bytes over CALLS calls: the smallest object leaked per call exceeds it
RSS_BOUND = 256 * 1024


def resident_bytes():
    """The resident set in bytes, or None where the system does not show it (no /proc)."""
    sysconf = getattr(os, "sysconf", None)
    try:
        with open("/proc/self/statm") as statm:
            pages = int(statm.read().split()[1])
        return pages * sysconf("SC_PAGE_SIZE") if sysconf else None
    except OSError:
        return None


class OwnError(Exception):
    """Raised by the test's own Python code that a call runs."""


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if self.value is OwnError:
            raise OwnError("from __int__")
        return self.value


class IntSubclass(int):
    pass


class KeywordName(str):
    """A keyword name whose comparison with the parameter names fails."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise OwnError("from __eq__")


class FakeNumpy:
    """Stands in for the module's `np`: its full() returns the one object it was given, and
    keeps the fill value the module passed (always the same object, so it can be watched)."""

    float32 = np.float32

    def __init__(self, made):
        self.made = made
        self.fill = None

    def full(self, n, fill, dtype):
        self.fill = fill
        return self.made


def read_only(array):
    array.flags.writeable = False
    return array


class Case:
    """One path through a callable: its arguments, and what the call must return or raise."""

    def __init__(self, function, args, kwargs=None, raises=None, match="", context=None, keep=()):
        self.function, self.args, self.kwargs = function, list(args), dict(kwargs or {})
        self.raises, self.match = raises, match
        self.context = context or contextlib.nullcontext
        self.keep = list(keep)

    def arguments(self):
        return [*self.args, *self.kwargs.values(), *self.keep]


def bb_arguments(cells=2, **replace):
    """Valid broad-phase arguments for `cells` overlapping unit cubes; link_count is a bytearray."""
    corners = np.array([[(c & 1), (c >> 1 & 1), (c >> 2 & 1)] for c in range(8)], np.float32)
    values = {
        "bbox": corners[None, :, :] + np.arange(cells, dtype=np.float32)[:, None, None] * 0.5,
        "cell_count": cells,
        "links": np.full((cells, 30), -1, np.int32),
        "link_starts": np.full(cells, -1, np.int32),
        "link_count": bytearray(cells),
    }
    values.update(replace)
    return values


BB_ORDER = ("bbox", "cell_count", "links", "link_starts", "link_count")


def bb_case(ext, replace=None, keywords=(), **outcome):
    values = bb_arguments(**(replace or {}))
    args = [values[name] for name in BB_ORDER if name not in keywords]
    kwargs = {name: values[name] for name in keywords}
    return Case(ext.get_bb_intersections, args, kwargs, **outcome)


def gn_case(ext, args, kwargs=None, **outcome):
    return Case(ext.generate_neighbors, args, kwargs, **outcome)


@contextlib.contextmanager
def warnings_as(action):
    with warnings.catch_warnings():
        warnings.simplefilter(action, DeprecationWarning)
        yield


@contextlib.contextmanager
def np_replaced(ext, fake):
    real = ext.np
    ext.np = fake
    try:
        yield
    finally:
        ext.np = real


@contextlib.contextmanager
def np_deleted(ext):
    real = ext.np
    del ext.np
    try:
        yield
    finally:
        ext.np = real


def fake_np_case(ext, made, **outcome):
    """A call (1000 links, so scratch memory is reserved) while `np.full` returns `made`."""
    fake = FakeNumpy(made)
    return gn_case(ext, [0, 0, 1000, 0.5, 0], context=lambda: np_replaced(ext, fake),
                   keep=[fake, made], **outcome)


_CELLS = {}


def narrow_cells(ext):
    """A few dozen linked cells, made once: (CellArray, n_links)."""
    if "cells" not in _CELLS:
        cells = random_cells(np.random.default_rng(3), 30, 4.0, 2)
        n_links = broad_phase(ext, cells)
        _CELLS["cells"] = CellArray(cells), n_links
    return _CELLS["cells"]


def mixed_exporters_case(ext):
    # Views that are not numpy arrays: memoryviews whose exports can be counted.
    bbox = memoryview(bytearray(4 * 2 * 8 * 3)).cast("f", shape=[2, 8, 3])
    starts = memoryview(bytearray(b"\xff" * 8)).cast("i")
    return bb_case(ext, {"bbox": bbox, "link_starts": starts})


PATHS = {
    # get_bb_intersections: successes
    "bb-ok": lambda ext: bb_case(ext, {"cell_count": 3, **bb_arguments(3)}),
    "bb-ok-keywords": lambda ext: bb_case(ext, keywords=BB_ORDER),
    "bb-ok-some-keywords": lambda ext: bb_case(ext, keywords=("link_count", "link_starts", "links")),
    "bb-ok-memoryviews": mixed_exporters_case,
    "bb-ok-count-0-none": lambda ext: Case(ext.get_bb_intersections, [None, 0, None, None, None]),
    "bb-ok-negative-count": lambda ext: bb_case(ext, {"cell_count": -5}),
    "bb-ok-deprecated-int-ignored": lambda ext: bb_case(
        ext, {"cell_count": WithInt(IntSubclass(2))}, context=lambda: warnings_as("ignore")),
    # get_bb_intersections: binding errors, each with the views before it bound
    "bb-count": lambda ext: Case(ext.get_bb_intersections, list(bb_arguments().values())[:3],
                                 raises=TypeError, match="takes exactly 5"),
    "bb-unexpected-keyword": lambda ext: Case(
        ext.get_bb_intersections, list(bb_arguments().values()), {"bogus": 1},
        raises=TypeError, match="unexpected keyword argument 'bogus'"),
    "bb-multiple-values": lambda ext: Case(
        ext.get_bb_intersections, list(bb_arguments().values())[:4],
        {"link_count": bytearray(2), "bbox": bb_arguments()["bbox"]},
        raises=TypeError, match="multiple values for keyword argument 'bbox'"),
    "bb-keyword-comparison-raises": lambda ext: Case(
        ext.get_bb_intersections, list(bb_arguments().values())[:4],
        {KeywordName("link_count"): bytearray(2)}, raises=OwnError),
    "bb-int-required": lambda ext: bb_case(ext, {"cell_count": "2"}, raises=TypeError,
                                           match="an integer is required"),
    "bb-int-returns-str": lambda ext: bb_case(ext, {"cell_count": WithInt("2")},
                                              raises=TypeError, match="returned non-int"),
    "bb-int-raises": lambda ext: bb_case(ext, {"cell_count": WithInt(OwnError)}, raises=OwnError),
    "bb-deprecated-int-as-error": lambda ext: bb_case(
        ext, {"cell_count": WithInt(IntSubclass(2))}, raises=DeprecationWarning,
        context=lambda: warnings_as("error")),
    "bb-nan-count": lambda ext: bb_case(ext, {"cell_count": float("nan")}, raises=ValueError),
    "bb-overflow": lambda ext: bb_case(ext, {"cell_count": 2**40}, raises=OverflowError,
                                       match=INT_OVERFLOW_MESSAGE),
    "bb-overflow-from-int": lambda ext: bb_case(ext, {"cell_count": WithInt(-(2**40))},
                                                raises=OverflowError, match=INT_OVERFLOW_MESSAGE),
    "bb-wrong-ndim": lambda ext: bb_case(ext, {"link_starts": np.zeros((2, 1), np.int32)},
                                         raises=ValueError, match="wrong number of dimensions"),
    "bb-dtype-mismatch": lambda ext: bb_case(ext, {"links": np.zeros((2, 30), np.int64)},
                                             raises=ValueError, match="dtype mismatch"),
    "bb-dtype-mismatch-last": lambda ext: bb_case(ext, {"link_count": np.zeros(2, np.int8)},
                                                  raises=ValueError, match="dtype mismatch"),
    "bb-wrong-ndim-memoryview": lambda ext: bb_case(
        ext, {"link_starts": memoryview(bytearray(8)).cast("i", shape=[2, 1])},
        raises=ValueError, match="wrong number of dimensions"),
    "bb-dtype-mismatch-memoryview": lambda ext: bb_case(
        ext, {"link_count": memoryview(bytearray(2)).cast("b")}, raises=ValueError,
        match="dtype mismatch"),
    "bb-big-endian": lambda ext: bb_case(ext, {"link_starts": np.zeros(2, ">i4")},
                                         raises=ValueError, match="Big-endian"),
    "bb-read-only": lambda ext: bb_case(ext, {"links": read_only(np.zeros((2, 30), np.int32))},
                                        raises=ValueError, match="read-only"),
    "bb-bytes": lambda ext: bb_case(ext, {"link_starts": b"\0" * 8}, raises=BufferError),
    "bb-not-a-buffer": lambda ext: bb_case(ext, {"link_count": [0, 0]}, raises=TypeError),
    "bb-too-small": lambda ext: bb_case(ext, {"cell_count": 3}, raises=ValueError,
                                        match="must have a shape of at least"),
    "bb-none-with-count": lambda ext: bb_case(ext, {"link_starts": None}, raises=ValueError,
                                              match="got None"),
    # generate_neighbors: successes
    "gn-ok-no-cells": lambda ext: gn_case(ext, [0, 0, 1000, 0.5, 0]),
    "gn-ok-empty": lambda ext: gn_case(ext, [0, -3, 0, 0.5, 0]),
    "gn-ok-cells": lambda ext: gn_case(
        ext, [narrow_cells(ext)[0].address, 30, narrow_cells(ext)[1], 0.3, 0],
        keep=[narrow_cells(ext)[0].records]),
    "gn-ok-keywords": lambda ext: gn_case(
        ext, [], dict(use_debug=0, n_links=7, cells_p=0, distance_threshold=1.5, cell_count=0)),
    "gn-ok-deprecated-int-ignored": lambda ext: gn_case(
        ext, [0, 0, WithInt(IntSubclass(5)), 0.5, 0], context=lambda: warnings_as("ignore")),
    "gn-ok-replaced-np": lambda ext: fake_np_case(ext, np.zeros(1000, np.float32)),
    "gn-ok-debug-dump": lambda ext: gn_case(ext, [0, 0, 5, 0.5, 1]),  # prints a banner only
    # generate_neighbors: errors
    "gn-count": lambda ext: gn_case(ext, [0], raises=TypeError, match="takes exactly 5"),
    "gn-unexpected-keyword": lambda ext: gn_case(
        ext, [0, 0, 3, 0.5, 0], {"threshold": 1.0}, raises=TypeError, match="unexpected"),
    "gn-multiple-values": lambda ext: gn_case(
        ext, [0, 0, 3], {"use_debug": 0, "distance_threshold": 1.0, "cell_count": 0},
        raises=TypeError, match="multiple values for keyword argument 'cell_count'"),
    "gn-int-required": lambda ext: gn_case(ext, [0, 0, None, 0.5, 0], raises=TypeError,
                                           match="an integer is required"),
    "gn-int-returns-float": lambda ext: gn_case(ext, [0, 0, 3, 0.5, WithInt(1.0)],
                                                raises=TypeError, match="returned non-int"),
    "gn-deprecated-int-as-error": lambda ext: gn_case(
        ext, [WithInt(IntSubclass(0)), 0, 3, 0.5, 0], raises=DeprecationWarning,
        context=lambda: warnings_as("error")),
    "gn-overflow-32": lambda ext: gn_case(ext, [0, 2**31, 3, 0.5, 0], raises=OverflowError,
                                          match=INT_OVERFLOW_MESSAGE),
    "gn-overflow-64": lambda ext: gn_case(ext, [2**64, 0, 3, 0.5, 0], raises=OverflowError),
    "gn-float-type-error": lambda ext: gn_case(ext, [0, 0, 3, "0.5", 0], raises=TypeError),
    "gn-float-overflow": lambda ext: gn_case(ext, [0, 0, 3, 10**400, 0], raises=OverflowError),
    "gn-null-cells": lambda ext: gn_case(ext, [0, 3, 1000, 0.5, 0], raises=ValueError,
                                         match="cells_p is 0"),
    "gn-numpy-error": lambda ext: gn_case(ext, [0, 0, -1, 0.5, 0], raises=ValueError,
                                          match="negative dimensions"),
    "gn-np-full-not-an-array": lambda ext: fake_np_case(
        ext, [-1.0] * 3, raises=TypeError, match="Cannot convert list"),
    "gn-np-full-float64": lambda ext: fake_np_case(
        ext, np.full(1000, -1.0), raises=ValueError, match="'float32_t' but got 'double'"),
    "gn-np-full-two-dimensions": lambda ext: fake_np_case(
        ext, np.zeros((1000, 1), np.float32), raises=ValueError, match="wrong number of dimensions"),
    "gn-np-deleted": lambda ext: gn_case(ext, [0, 0, 1000, 0.5, 0], raises=NameError,
                                         match="name 'np' is not defined",
                                         context=lambda: np_deleted(ext)),
}


def check_first_call(case):
    """The path is the one intended: the call returns, or raises exactly the expected error."""
    if case.raises is None:
        before = {id(o): sys.getrefcount(o) - 1 for o in case.keep}  # less the loop's name
        result = case.function(*case.args, **case.kwargs)
        if isinstance(result, np.ndarray):
            # The result's own view is released: only this name (and whoever made it) holds it.
            assert sys.getrefcount(result) == before.get(id(result), 1) + 1
            if id(result) not in before:
                result.resize(len(result) + 1)
        return
    with pytest.raises(case.raises) as info:
        case.function(*case.args, **case.kwargs)
    assert type(info.value) is case.raises
    assert case.match in str(info.value)


def release_check(case):
    """A function that fails when a bytearray argument still has an exported buffer."""
    arrays = [a for a in case.arguments() if isinstance(a, bytearray)]

    def check():
        for array in arrays:
            array.extend(b"\0")  # BufferError while a view of it is held
            del array[-1]

    return check


def run(function, args, kwargs, expected, check, calls):
    for _ in range(calls):
        try:
            function(*args, **kwargs)
        except expected:
            pass
        check()


def measure(ext, case, calls=CALLS):
    """Runs the path; returns the growth of each measure over `calls` calls after a warm-up."""
    expected = case.raises or ()
    check = release_check(case)
    with case.context():
        check_first_call(case)
        check()
        run(case.function, case.args, case.kwargs, expected, check, WARM_UP)
        fills = [o.fill for o in case.keep if isinstance(o, FakeNumpy)]
        watched = {id(o): o for o in [ext, vars(ext), ext.get_bb_intersections,
                                     ext.generate_neighbors, np, sys, np.full, np.float32,
                                     np.ndarray, *fills, *case.arguments()]}
        gc.collect()
        refs = {key: sys.getrefcount(o) for key, o in watched.items()}
        traced, resident = tracemalloc.get_traced_memory()[0], resident_bytes()
        run(case.function, case.args, case.kwargs, expected, check, calls)
        gc.collect()
        traced, after = tracemalloc.get_traced_memory()[0] - traced, resident_bytes()
        resident = None if after is None or resident is None else after - resident
        grown = {key: (repr(o)[:60], sys.getrefcount(o) - refs[key])
                 for key, o in watched.items() if abs(sys.getrefcount(o) - refs[key]) > REFCOUNT_SLACK}
    for view in case.arguments():
        if isinstance(view, memoryview):
            view.release()  # BufferError while an export of it is held
    return grown, traced, resident


@pytest.fixture(scope="module")
def traced():
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    yield
    if started:
        tracemalloc.stop()


@pytest.mark.parametrize("path", PATHS)
def test_no_leak(ext, traced, path):
    case = PATHS[path](ext)
    grown, traced_growth, resident_growth = measure(ext, case)
    record_figure("leaks: paths", 1)
    record_figure("leaks: calls", 1 + WARM_UP + CALLS)
    assert not grown, f"reference counts changed: {list(grown.values())}"
    assert traced_growth < TRACED_BOUND
    assert ext.np is np
    if resident_growth is None:
        pytest.skip("references and traced memory checked; the resident set cannot be read "
                    "here (no /proc/self/statm)")
    # AddressSanitizer holds freed blocks in quarantine, so the resident set grows under it.
    if os.environ.get("CELLPROX_SANITIZED") != "1":
        assert resident_growth < RSS_BOUND


class LeakyCall:
    """A stand-in for a faulty binding: keeps a view of link_count and of links, and a list."""

    def __init__(self):
        self.kept = []

    def __call__(self, bbox, cell_count, links, link_starts, link_count):
        self.kept.append((memoryview(link_count), memoryview(links), [cell_count] * 4))


def test_the_measures_see_a_leaky_call(ext, traced):
    leaky = LeakyCall()
    values = bb_arguments()
    case = Case(leaky, [values[name] for name in BB_ORDER])
    with pytest.raises(BufferError):  # the bytearray cannot be resized after the first call
        measure(ext, case, calls=200)
    case.args[4] = np.zeros(2, np.uint8)
    leaky.kept.clear()
    grown, traced_growth, _ = measure(ext, case, calls=CALLS)
    # Each held view keeps its array referenced; tracemalloc sees the kept objects.
    assert grown[id(case.args[2])][1] == grown[id(case.args[4])][1] == CALLS
    assert traced_growth > TRACED_BOUND
    leaky.kept.clear()
