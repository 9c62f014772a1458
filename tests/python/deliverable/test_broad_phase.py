"""The broad phase end to end through the module, against a plain reference."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import reference
from conftest import needs_numpy_1

pytestmark = needs_numpy_1


@pytest.fixture
def single_precision_margin(ext):
    """The nt build widens boxes in single precision."""
    return ext.__name__.endswith("_nt")


def corners(boxes):
    """Eight corner points per box from (n, 6) lower/upper bounds, shape (n, 8, 3)."""
    boxes = np.asarray(boxes, dtype=np.float32)
    out = np.empty((len(boxes), 8, 3), np.float32)
    for c in range(8):
        out[:, c, 0] = np.where(c & 1, boxes[:, 3], boxes[:, 0])
        out[:, c, 1] = np.where(c & 2, boxes[:, 4], boxes[:, 1])
        out[:, c, 2] = np.where(c & 4, boxes[:, 5], boxes[:, 2])
    return out


def tables(n, free=-1):
    return (np.full((n, 30), free, np.int32), np.full(n, -1, np.int32), np.zeros(n, np.uint8))


def run(ext, bbox, n=None, free=-1):
    n = len(bbox) if n is None else n
    links, starts, counts = tables(len(bbox), free)
    result = ext.get_bb_intersections(bbox, n, links, starts, counts)
    return result, links, starts, counts


def rows(links, counts):
    return [list(links[i, :counts[i]]) for i in range(len(counts))]


@pytest.mark.parametrize("shift, linked", [(1.0, True), (1.003, True), (1.005, False)])
def test_unit_cubes_link_when_touching_or_within_the_margin(ext, shift, linked):
    bbox = corners([[0, 0, 0, 1, 1, 1], [shift, 0, 0, shift + 1, 1, 1]])
    result, links, starts, counts = run(ext, bbox)
    assert result == int(linked)
    assert rows(links, counts) == ([[1], []] if linked else [[], []])
    assert list(starts) == ([0, -1] if linked else [-1, -1])


def test_one_cell_gets_widened_bounds_and_no_link(ext, single_precision_margin):
    bbox = corners([[0.5, -1.0, 3.0, 1.5, 2.0, 7.25]])
    result, _, starts, counts = run(ext, bbox)
    expected = corners([[0.5, -1.0, 3.0, 1.5, 2.0, 7.25]])
    reference.widen(expected, 1, single_precision_margin)
    assert result == 0 and starts[0] == -1 and counts[0] == 0
    np.testing.assert_array_equal(bbox, expected)


@pytest.mark.parametrize("cell_count", [0, -3])
def test_non_positive_count_leaves_everything_alone(ext, cell_count):
    bbox = corners([[0, 0, 0, 1, 1, 1]] * 2)
    before = bbox.copy()
    result, links, starts, counts = run(ext, bbox, cell_count)
    assert result == 0
    np.testing.assert_array_equal(bbox, before)
    assert (links == -1).all() and (starts == -1).all() and (counts == 0).all()


def test_full_row_spills_into_the_higher_row(ext):
    boxes = [[0, 0, 0, 100, 1, 1]] + [[2 * c, .25, .25, 2 * c + 1, .75, .75] for c in range(1, 36)]
    result, links, starts, counts = run(ext, corners(boxes))
    assert result == 35
    assert rows(links, counts)[0] == list(range(1, 31))
    assert all(counts[c] == 0 for c in range(1, 31))
    assert rows(links, counts)[31:] == [[0]] * 5
    assert list(starts[31:]) == [30, 31, 32, 33, 34]


def test_repeated_call_grows_boxes_and_adds_counts(ext, single_precision_margin):
    rng = np.random.default_rng(3)
    lo = rng.uniform(0, 4, (40, 3))
    bbox = corners(np.hstack([lo, lo + rng.uniform(0.2, 1.5, (40, 3))]))
    expected = bbox.copy()
    links, starts, counts = tables(40)
    ref = tables(40)
    for _ in range(2):
        got = ext.get_bb_intersections(bbox, 40, links, starts, counts)
        want = reference.get_bb_intersections(expected, 40, *ref, single_precision_margin)
        assert got == want
    np.testing.assert_array_equal(bbox, expected)
    for mine, theirs in zip((links, starts, counts), ref):
        np.testing.assert_array_equal(mine, theirs)


def _strided(array, layout):
    """The same values in another memory layout: Fortran order, or a reversed, padded view."""
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "reversed":
        padded = np.zeros((array.shape[0] * 2,) + array.shape[1:], array.dtype)
        view = padded[::-2]
        view[...] = array
        return view
    return array


@pytest.mark.parametrize("kind", ["sparse", "dense", "stale", "nonfinite"])
@pytest.mark.parametrize("layout", ["c", "fortran", "reversed"])
def test_matches_reference(ext, single_precision_margin, kind, layout):
    rng = np.random.default_rng([len(kind), len(layout), ord(kind[0])])
    n = 90
    if kind == "dense":
        lo = rng.uniform(0, 1, (n, 3))
        size = rng.uniform(1, 2, (n, 3))
    else:
        lo = rng.uniform(0, 10, (n, 3))
        size = rng.uniform(0.1, 2.5, (n, 3))
    boxes = np.hstack([lo, lo + size]).astype(np.float32)
    if kind == "nonfinite":
        boxes[rng.integers(0, n, 6), rng.integers(0, 6, 6)] = [np.nan, np.inf, -np.inf] * 2
    bbox = corners(boxes)
    links, starts, counts = tables(n)
    if kind == "stale":
        links[:] = rng.integers(-1, n, links.shape)
    expected = [bbox.copy(), links.copy(), starts.copy(), counts.copy()]
    want = reference.get_bb_intersections(expected[0], n, *expected[1:], single_precision_margin)

    mine = [_strided(a, layout) for a in (bbox, links, starts, counts)]
    got = ext.get_bb_intersections(mine[0], n, mine[1], mine[2], mine[3])
    assert got == want
    if kind != "nonfinite":  # NaN folds are the build's own choice
        np.testing.assert_array_equal(mine[0], expected[0])
    for a, b in zip(mine[1:], expected[1:]):
        np.testing.assert_array_equal(a, b)


def test_link_count_wraps_like_an_unsigned_byte(ext):
    bbox = corners([[0, 0, 0, 1, 1, 1]] * 2)
    links, starts, counts = tables(2)
    counts[0] = 255
    assert ext.get_bb_intersections(bbox, 2, links, starts, counts) == 1
    assert counts[0] == 0


def _aliased(layout, boxes):
    """Fresh arrays for `boxes` whose tables share memory as `layout` says."""
    n = len(boxes)
    bbox = corners(boxes)
    starts, counts = np.full(n, -1, np.int32), np.zeros(n, np.uint8)
    if layout == "zero-stride rows":  # every row is the same 30 slots
        links = as_strided(np.full(30, -1, np.int32), (n, 30), (0, 4))
    elif layout == "short row stride":  # row i + 1 starts at slot 2 of row i
        links = as_strided(np.full(2 * n + 30, -1, np.int32), (n, 30), (8, 4))
    elif layout == "link_count inside links":  # its bytes are those of rows 1 to 3
        links = np.full((n, 30), -1, np.int32)
        counts = links.view(np.uint8).reshape(-1)[120:120 + n]
        counts[...] = 0
    elif layout == "link_count inside link_starts":  # starts[i] holds counts[4 i .. 4 i + 3]
        links = np.full((n, 30), -1, np.int32)
        counts = starts.view(np.uint8)[:n]
        counts[0], counts[n // 2:] = 254, 0  # starts[0] turns -1 on row 0's first link
    else:  # "links inside bbox": the rows cover the corners of the first cells
        memory = np.zeros((n // 2 + n, 8, 3), np.float32)
        memory[n // 2:] = bbox
        bbox = memory[n // 2:]
        links = memory.view(np.int32).reshape(-1)[:n * 30].reshape(n, 30)
    return bbox, links, starts, counts


@pytest.mark.parametrize("layout", ["zero-stride rows", "short row stride",
                                    "link_count inside links", "link_count inside link_starts",
                                    "links inside bbox"])
def test_tables_sharing_memory_get_the_written_pass(ext, single_precision_margin, layout):
    # Enough crowded cells that a fast pass would be chosen; writes through one view change
    # what another reads, so only the written order of reads and writes gives these tables.
    rng = np.random.default_rng(11)
    lo = rng.uniform(0, 1, (70, 3))
    boxes = np.hstack([lo, lo + rng.uniform(0.5, 1.5, (70, 3))]).astype(np.float32)
    mine, theirs = _aliased(layout, boxes), _aliased(layout, boxes)
    got = ext.get_bb_intersections(mine[0], len(boxes), *mine[1:])
    want = reference.get_bb_intersections(theirs[0], len(boxes), *theirs[1:],
                                          single_precision_margin)
    assert got == want
    for a, b in zip(mine, theirs):
        np.testing.assert_array_equal(a, b)
