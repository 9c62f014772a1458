"""Property-based tests: any arguments give the plain reference's result or a documented error.

Arguments are drawn from arbitrary Python and numpy objects, numpy arrays of any dtype, byte
order, shape and strides (negative, zero, not a multiple of the item size), read-only or not.
The broad phase runs on every such combination; the narrow phase on arbitrary scalars, with
cells_p either 0 or the address of real cell records (any other address is trusted by design).
Nothing may crash, and a call may write only the elements it owns.
"""
import array
import ctypes
import decimal
import fractions
import json
import math
import os
import subprocess
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, assume, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import reference
from cells import CellArray, broad_phase, random_cells
from conftest import MODULE_NAME, _import_module, record_figure

ext = _import_module()
SINGLE_PRECISION_MARGIN = MODULE_NAME.endswith("_nt")

BB_EXAMPLES = int(os.environ.get("CELLPROX_BB_EXAMPLES", "500"))
NEIGHBOR_EXAMPLES = int(os.environ.get("CELLPROX_NEIGHBOR_EXAMPLES", "500"))
SUBPROCESS_BB_EXAMPLES = int(os.environ.get("CELLPROX_SUBPROCESS_BB_EXAMPLES", "1500"))
SETTINGS = dict(deadline=None, database=None, print_blob=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                       HealthCheck.data_too_large])
OUTCOMES = {}  # "callable: outcome" -> examples that ran the call and came to it


def outcome(kind):
    OUTCOMES[kind] = OUTCOMES.get(kind, 0) + 1


# What an argument may raise, besides what the object's own Python code raises.
DOCUMENTED = (TypeError, ValueError, OverflowError, BufferError, Warning)


# ---- arbitrary objects ----

class OwnError(Exception):
    """Raised by a test object's own __int__, __float__ or __index__."""


class IntSubclass(int):
    pass


class FloatSubclass(float):
    pass


def behaviour(value):
    def method(self):
        if value is OwnError:
            raise OwnError("from the object")
        return value
    return method


int_values = st.one_of(st.integers(-3, 300), st.integers(),
                       st.sampled_from([2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1,
                                        2**63, -(2**63), -(2**63) - 1, 2**64, 10**30]))
float_values = st.floats(allow_nan=True, allow_infinity=True)
dunder_results = st.one_of(int_values, st.builds(IntSubclass, int_values), st.booleans(),
                           float_values, st.builds(FloatSubclass, float_values),
                           st.text(max_size=2), st.none(), st.just(OwnError))


@st.composite
def odd_objects(draw):
    """Instances of a class with any of __int__, __float__, __index__, returning anything."""
    namespace = {}
    for name in draw(st.sets(st.sampled_from(["__int__", "__float__", "__index__"]), min_size=1)):
        namespace[name] = behaviour(draw(dunder_results))
    return type("Odd", (), namespace)()


SCALAR_DTYPES = ["?", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "e", "f", "d", "g",
                 "F", "D", "G", "M8[s]", "m8[ms]", "S2", "U2"]
RECORD = np.dtype([("a", "<i2"), ("b", ">f4")])
numpy_scalars = st.one_of(
    [hnp.from_dtype(np.dtype(code)).map(lambda v, code=code: np.array(v, code)[()])
     for code in SCALAR_DTYPES + [RECORD]] +
    [st.binary(min_size=2, max_size=2).map(lambda b: np.void(b))])

arbitrary_objects = st.one_of(
    int_values, st.booleans(), float_values, st.text(max_size=3), st.none(), st.binary(max_size=3),
    st.lists(st.integers(), max_size=2), numpy_scalars, odd_objects(),
    st.builds(IntSubclass, int_values), st.builds(FloatSubclass, float_values),
    st.decimals(allow_nan=True, allow_infinity=True), st.fractions(),
)


# ---- the interpreter's conversions, as the callables document them ----

# Whether a type has the C-level __int__ slot (CPython 3.11, 64 bits: tp_as_number->nb_int).
# It is the slot that counts: numpy's str_ and bytes_ scalars show an __int__ attribute
# inherited from numpy.generic, but their number slots are those of str and bytes.
TP_AS_NUMBER, NB_INT = 96, 16 * ctypes.sizeof(ctypes.c_void_p)


def has_int_slot(obj):
    number = ctypes.c_void_p.from_address(id(type(obj)) + TP_AS_NUMBER).value
    return bool(number) and bool(ctypes.c_void_p.from_address(number + NB_INT).value)


assert [has_int_slot(v) for v in (1, 1.5, np.int8(1), "", [], None, np.str_(""))] == \
    [True, True, True, False, False, False, False]


def int_of(obj, bits):
    """The integer a parameter binds, or the exception: an int is read directly, anything
    else goes through its type's __int__, whose result must be an int (a subclass warns)."""
    if isinstance(obj, int):
        value = int(obj)
    else:
        if not has_int_slot(obj):
            raise TypeError("an integer is required")
        value = type(obj).__int__(obj)
        if type(value) is not int:
            if not isinstance(value, int):
                raise TypeError("__int__ returned non-int")
            warnings.warn("__int__ returned non-int", DeprecationWarning)
            value = int(value)
    if not -(2 ** (bits - 1)) <= value < 2 ** (bits - 1):
        raise OverflowError("out of range")
    return value


def float32_of(obj):
    """The threshold a call binds: the interpreter's conversion to double, then to float32."""
    value = math.fsum([obj])  # converts its items exactly as the C API's PyFloat_AsDouble
    with np.errstate(over="ignore"):
        return np.float32(value)


def converted(convert, *args):
    try:
        return None, convert(*args)
    except Exception as exc:  # the call must fail the same way
        return exc, None


# ---- broad phase: arrays of any layout ----

DECLARED = {  # dimensions, and the dtypes accepted (as item kind and size)
    "bbox": (3, {("f", 4)}),
    "links": (2, {("i", 4)}),
    "link_starts": (1, {("i", 4)}),
    "link_count": (1, {("u", 1), ("b", 1)}),
}
CANONICAL = {"bbox": np.float32, "links": np.int32, "link_starts": np.int32,  # the reference's
             "link_count": np.uint8}
GUARD = 24  # bytes before and after every view's memory, which no call may write
PATTERN = 0xA5

# Element values: mostly a few that make boxes touch and overlap, now and then extreme ones.
VALUE_POOLS = {
    # (0.0028514459 and -0.0012671051 widen differently in single and in double precision.)
    "bbox": ([-1.0, 0.0, 0.25, 0.5, 0.998, 1.0, 1.5, 2.0, 3.0, 0.0028514459, -0.0012671051],
             [np.nan, np.inf, -np.inf, -0.0, 1e5, 1.5e5, -1.5e5, 3e38, 1e-45]),
    "links": (list(range(-1, 7)), [-(2**31), 2**31 - 1, 30, 100]),
    "link_starts": ([-1, -1, -1, 0, 7], [-(2**31), 2**31 - 1]),
    "link_count": ([0, 0, 0, 1, 5], [29, 30, 255]),
}


def element_values(name, shape, seed):
    rng = np.random.default_rng(seed)
    common, rare = VALUE_POOLS[name]
    values = rng.choice(np.array(common, CANONICAL[name]), shape)
    if seed % 3 == 0:
        values = np.where(rng.random(shape) < 0.15, rng.choice(np.array(rare, CANONICAL[name]), shape),
                          values)
    return values


def accepted(name, dtype):
    kinds = DECLARED[name][1]
    return dtype.fields is None and dtype.isnative and (dtype.kind, dtype.itemsize) in kinds


class View:
    """A numpy array over its own guarded memory (`base`), and how it was laid out."""

    def __init__(self, name, array, base=None, offset=0):
        self.name, self.array, self.base, self.offset = name, array, base, offset

    def reference_view(self, base_copy):
        """The same layout over a copy of the memory, typed for the reference."""
        return np.ndarray(self.array.shape, CANONICAL[self.name], buffer=base_copy,
                          offset=self.offset, strides=self.array.strides)

    def element_bytes(self, index):
        """Byte positions in base of the elements array[index] (a tuple of slices)."""
        offsets = np.zeros(self.array.shape, np.int64)
        for dim, stride in enumerate(self.array.strides):
            shape = [1] * self.array.ndim
            shape[dim] = self.array.shape[dim]
            offsets = offsets + (np.arange(self.array.shape[dim]) * stride).reshape(shape)
        starts = self.offset + offsets[index].ravel()
        return (starts[:, None] + np.arange(self.array.itemsize)).ravel()

    def overlaps_itself(self):
        starts = np.sort(self.element_bytes(Ellipsis)[::self.array.itemsize])
        return bool(np.any(np.diff(starts) < self.array.itemsize))


LAYOUTS = st.sampled_from(["C", "F", "flipped", "elements", "bytes"])
SEPARATE_LAYOUTS = st.sampled_from(["C", "F", "flipped"])  # no two elements share memory


def strides_for(draw, shape, itemsize, usable):
    layout = draw(SEPARATE_LAYOUTS if usable and draw(st.integers(0, 3)) else LAYOUTS)
    order = list(range(len(shape)))[::-1] if layout != "F" else list(range(len(shape)))
    strides, step = [0] * len(shape), itemsize
    for dim in order:
        strides[dim] = step
        step *= max(shape[dim], 1)
    if layout == "flipped":
        strides = [s * draw(st.sampled_from([1, -1])) for s in strides]
    elif layout == "elements":  # zero and negative strides, often overlapping
        strides = [itemsize * draw(st.integers(-40, 40)) for _ in shape]
    elif layout == "bytes":
        strides = [draw(st.integers(-3 * itemsize - 9, 3 * itemsize + 9)) for _ in shape]
    return strides


ANY_DTYPE = st.one_of(
    hnp.scalar_dtypes(),
    hnp.integer_dtypes(endianness="?") | hnp.unsigned_integer_dtypes(endianness="?"),
    hnp.floating_dtypes(endianness="?") | hnp.complex_number_dtypes(endianness="?"),
    hnp.byte_string_dtypes(max_len=2), hnp.array_dtypes(max_size=2), hnp.nested_dtypes(),
)
DTYPES = {name: st.one_of(st.sampled_from([np.dtype(CANONICAL[name])] * 3 + [np.dtype(other)]),
                          ANY_DTYPE)
          for name, other in [("bbox", np.float64), ("links", np.intc), ("link_starts", np.intc),
                              ("link_count", np.bool_)]}
USABLE_DTYPES = {name: st.sampled_from([np.dtype(CANONICAL[name])] +
                                       [np.dtype(np.bool_)] * (name == "link_count"))
                 for name in CANONICAL}


@st.composite
def arrays_for(draw, name, rows, usable=False):
    """An array of any dtype, shape and layout; `usable` ones have the declared dtype, the
    dimensions and at least the rows, and are writable."""
    ndim = DECLARED[name][0]
    dtype = draw(USABLE_DTYPES[name] if usable else DTYPES[name])
    wanted = {"bbox": (rows, 8, 3), "links": (rows, 30)}.get(name, (rows,))
    if usable or draw(st.integers(0, 3)):  # the shape the call needs, or a little more or less
        shape = tuple(extent + draw(st.sampled_from([0, 0, 0, 1, -1] if not usable else [0, 0, 1]))
                      for extent in wanted)
        shape = tuple(max(extent, 0) for extent in shape)
        if not usable and draw(st.integers(0, 4)) == 0:  # another number of dimensions
            shape = shape[:ndim - 1] if ndim > 1 and draw(st.booleans()) else shape + (1,)
    else:
        shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5))
    if dtype.hasobject or dtype.itemsize == 0:
        array = np.zeros(shape, dtype)
        view = View(name, array)
    else:
        strides = strides_for(draw, shape, dtype.itemsize, usable)
        empty = 0 in shape
        low = 0 if empty else sum(s * (e - 1) for s, e in zip(strides, shape) if s < 0)
        high = 0 if empty else sum(s * (e - 1) for s, e in zip(strides, shape) if s > 0)
        base = np.full(GUARD + (high - low) + dtype.itemsize + GUARD, PATTERN, np.uint8)
        offset = GUARD - low
        array = np.ndarray(shape, dtype, buffer=base, offset=offset, strides=strides)
        view = View(name, array, base, offset)
        if dtype == np.dtype(CANONICAL[name]) or (name == "link_count" and dtype.kind == "b"):
            values = element_values(name, shape, draw(st.integers(0, 2**32 - 1)))
            view.reference_view(base)[...] = values  # later elements win where views overlap
    if not usable and draw(st.integers(0, 3)) == 0:
        array.flags.writeable = False
    return view


other_exporters = st.one_of(
    st.builds(bytearray, st.integers(0, 40)),
    st.binary(max_size=8),
    st.builds(lambda fmt, n, ro: memoryview(bytes(n * 8) if ro else bytearray(n * 8)).cast(fmt),
              st.sampled_from("fiBb?cdq"), st.integers(0, 6), st.booleans()),
    st.builds(lambda fmt, rows: memoryview(bytearray(4 * rows * 30)).cast(fmt, shape=[rows, 30]),
              st.sampled_from("fiI"), st.integers(1, 4)),
    st.builds(lambda fmt, rows: memoryview(bytearray(4 * rows * 24)).cast(fmt, shape=[rows, 8, 3]),
              st.sampled_from("fi"), st.integers(1, 4)),
    st.builds(lambda code, n: array.array(code, bytes(8 * n))[:n], st.sampled_from("fiBbdq"),
              st.integers(0, 6)),
)


# Per argument and number of rows: a usable one, and anything at all.
USABLE = {(name, rows): arrays_for(name, rows, usable=True) for name in DECLARED for rows in range(7)}
ANYTHING = {(name, rows): st.one_of(arrays_for(name, rows), st.none(), other_exporters,
                                    arbitrary_objects)
            for name in DECLARED for rows in range(7)}
int_wrappers = st.sampled_from([
    int, np.int32, np.int64, np.float32, IntSubclass, decimal.Decimal,
    lambda v: v + (0.5 if v >= 0 else -0.5),  # truncated toward zero
    lambda v: type("Odd", (), {"__int__": behaviour(v)})(),
    lambda v: type("Odd", (), {"__int__": behaviour(IntSubclass(v))})(),  # warns
])


def ints_like(low, high):
    """Integers in [low, high], as ints or as other objects that convert to them."""
    return st.builds(lambda v, wrap: wrap(v), st.integers(low, high), int_wrappers)


WILD = st.one_of(st.just(frozenset()), st.sets(st.sampled_from(list(DECLARED) + ["cell_count"]),
                                               max_size=1),
                 st.sets(st.sampled_from(list(DECLARED) + ["cell_count"])))
COUNTS = {rows: st.one_of(st.sampled_from(range(rows, -4, -1)), ints_like(min(rows, 1), rows),
                          ints_like(-3, rows)) for rows in range(7)}


def needed_shape(name, cell_count):
    return {"bbox": (cell_count, 8, 3), "links": (cell_count, 30)}.get(name, (cell_count,))


def predicted_binding(name, value):
    """"ok", an exception type, or None when the object is not one the model knows."""
    if value is None:
        return "ok"
    if not isinstance(value, View):
        return None
    array = value.array
    if not array.flags.writeable or array.ndim != DECLARED[name][0]:
        return ValueError
    return "ok" if accepted(name, array.dtype) else ValueError


def written_bytes(view, cell_count):
    """Byte positions of the elements a call with cell_count rows may write."""
    rows = slice(0, max(cell_count, 0))
    index = {"bbox": (rows, slice(0, 2), slice(0, 3)), "links": (rows, slice(0, 30))}
    return view.element_bytes(index.get(view.name, rows))


def run_reference(views, cell_count):
    """The reference on copies of the views' memory: (result, copies), or None where the result
    is not defined (views overlapping themselves, NaN corners)."""
    if any(view.overlaps_itself() for view in views.values() if view is not None):
        return None
    copies = {name: view.base.copy() for name, view in views.items()}
    typed = {name: views[name].reference_view(copies[name]) for name in views}
    if np.isnan(typed["bbox"][:cell_count, :8, :3]).any():
        return None
    n_links = reference.get_bb_intersections(typed["bbox"], cell_count, typed["links"],
                                             typed["link_starts"], typed["link_count"],
                                             SINGLE_PRECISION_MARGIN)
    return n_links, copies


@settings(max_examples=BB_EXAMPLES, **SETTINGS)
@given(st.data())
def check_broad_phase(data):
    rows = data.draw(st.sampled_from([3, 1, 2, 4, 5, 6, 0]), label="rows")
    names = list(DECLARED)
    # Any of the arguments may be anything; the others are usable.
    wild = data.draw(WILD, label="wild")
    values = {name: data.draw((ANYTHING if name in wild else USABLE)[name, rows], label=name)
              for name in names}
    count_object = data.draw(arbitrary_objects if "cell_count" in wild else COUNTS[rows],
                             label="cell_count")
    action = data.draw(st.sampled_from(["ignore", "error"]), label="warnings")
    call_args = [values[n].array if isinstance(values[n], View) else values[n] for n in names]
    call_args.insert(1, count_object)
    before = {n: v.base.copy() for n, v in values.items() if isinstance(v, View) and v.base is not None}

    with warnings.catch_warnings():
        warnings.simplefilter(action)
        count_error, cell_count = converted(int_of, count_object, 32)
        try:
            result, error = ext.get_bb_intersections(*call_args), None
        except OwnError:
            result, error = None, OwnError
        except DOCUMENTED as exc:
            result, error = None, type(exc)

    # The outcome the binding's rules give, where every argument is one the model knows.
    steps = [predicted_binding("bbox", values["bbox"]),
             "ok" if count_error is None else type(count_error),
             *(predicted_binding(n, values[n]) for n in names[1:])]
    if None not in steps:
        failed = [step for step in steps if step != "ok"]
        if failed:
            assert error is failed[0]
        elif cell_count > 0 and any(
                values[n] is None or any(have < need for have, need in
                                         zip(values[n].array.shape, needed_shape(n, cell_count)))
                for n in names):
            assert error is ValueError
        else:
            assert error is None and type(result) is int
    if count_error is not None:
        assert error is not None
    outcome("broad phase: examples")
    outcome("broad phase: refused" if error else "broad phase: accepted")
    if error is not None or cell_count <= 0:
        for name, base in before.items():  # nothing touched
            np.testing.assert_array_equal(values[name].base, base)
        assert error is not None or result == 0
        return

    # Success: only the elements the call owns may have changed, and as the reference says.
    views = {n: values[n] for n in names}
    for name, base in before.items():
        changed = np.flatnonzero(values[name].base != base)
        assert np.isin(changed, written_bytes(values[name], cell_count)).all(), name
    if all(isinstance(v, View) and v.base is not None and accepted(n, v.array.dtype)
           for n, v in views.items()):
        originals = {n: View(n, v.array, before[n], v.offset) for n, v in views.items()}
        expected = run_reference(originals, cell_count)
        if expected is not None:
            expected_result, expected_memory = expected
            outcome("broad phase: compared with the reference")
            assert result == expected_result
            for name in names:
                np.testing.assert_array_equal(values[name].base, expected_memory[name],
                                              err_msg=name)


def record_outcomes(outcomes, where):
    for kind, count in sorted(outcomes.items()):
        record_figure(f"properties: {kind} ({where})", count)
    outcomes.clear()


def test_broad_phase_any_arguments():
    check_broad_phase()
    record_outcomes(OUTCOMES, "in process")


SUBPROCESS_PROGRAM = """
import json, sys
sys.path[:0] = [{here!r}, {tests!r}]
import test_properties
test_properties.check_broad_phase()
print(json.dumps(test_properties.OUTCOMES))
"""


def test_broad_phase_any_arguments_in_a_fresh_interpreter():
    # A crash here ends only the child: the parent sees its signal.
    env = dict(os.environ, CELLPROX_MODULE=MODULE_NAME,
               CELLPROX_BB_EXAMPLES=str(SUBPROCESS_BB_EXAMPLES))
    here = os.path.dirname(os.path.abspath(__file__))
    completed = subprocess.run([sys.executable, "-c", SUBPROCESS_PROGRAM.format(here=here, tests=os.path.dirname(here))],
                               capture_output=True, text=True, env=env, cwd=here, timeout=300)
    assert completed.returncode >= 0, f"killed by signal {-completed.returncode}"
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]
    outcomes = json.loads(completed.stdout.splitlines()[-1])
    assert outcomes["broad phase: examples"] >= SUBPROCESS_BB_EXAMPLES // 2
    record_outcomes(outcomes, "fresh interpreter")


# ---- narrow phase: arbitrary scalars over real cells ----

def linked_cells():
    """Cells linked by the broad phase, and one more whose links name no valid cell."""
    cells = random_cells(np.random.default_rng(11), 14, 3.0, 2)
    n_links = broad_phase(ext, cells)
    cells.append({"vertices": np.zeros((1, 3), np.float32), "edges": np.zeros((1, 2), np.int32),
                  "links": np.array([-1, len(cells) + 1, 2**31 - 1], np.int32),
                  "links_start": n_links, "origin": np.ones(3, np.float32)})
    slots = []  # (slot, owner, neighbour, closest approach, origin distance)
    for owner, cell in enumerate(cells):
        for k, other in enumerate(cell["links"]):
            valid = 0 <= other < len(cells)
            closest = reference.closest_approach(cell, cells[other], cell["coll"] == cells[other]["coll"]) \
                if valid else math.inf
            distance = reference.origin_distance(cell, cells[other]) if valid else -1.0
            slots.append((cell["links_start"] + k, owner, int(other), closest, float(distance)))
    return CellArray(cells), n_links + 3, slots


CELLS, CELL_SLOTS, SLOTS = linked_cells()


def expected_distances(cell_count, n_links, threshold):
    """The result, and a mask of slots whose link is too close to the threshold to call."""
    expected = np.full(n_links, -1.0, np.float32)
    either = np.zeros(n_links, bool)
    for slot, owner, other, closest, distance in SLOTS:
        if not (owner < cell_count and 0 <= other < cell_count and 0 <= slot < n_links):
            continue
        if closest < threshold:
            expected[slot] = distance
        if abs(closest - threshold) <= 1e-4 * (1 + abs(closest)):
            either[slot] = True
            expected[slot] = distance
    return expected, either


def address_like(address):
    return st.sampled_from([address, np.uint64(address), np.int64(address), IntSubclass(address),
                            float(address) if float(address) == address else address,
                            type("Address", (), {"__int__": behaviour(address)})()])


ZERO_LIKE = st.sampled_from([0, False, 0.7, -0.5, np.int8(0), np.float16(0.25), IntSubclass(0),
                             decimal.Decimal("0.9"), fractions.Fraction(1, 3)])
NARROW_PARAMETERS = ["cells_p", "cell_count", "n_links", "distance_threshold", "use_debug"]
USABLE_SCALARS = [
    st.one_of(address_like(CELLS.address), address_like(CELLS.address), ZERO_LIKE),
    st.one_of(st.sampled_from(range(len(CELLS), -3, -1)), ints_like(-2, len(CELLS))),
    st.one_of(st.sampled_from([CELL_SLOTS, CELL_SLOTS - 4, CELL_SLOTS + 3, 0, 1, -1]),
              ints_like(-2, CELL_SLOTS + 3)),
    st.one_of(st.floats(-0.5, 2.0), st.floats(0.0, 1.0).map(np.float32), float_values,
              st.builds(FloatSubclass, st.floats(-0.5, 2.0)), ints_like(-1, 2)),
    st.one_of(st.sampled_from([0, 2, -1, 2**31 - 1, -(2**31)]), ints_like(-3, 0)),
]
NARROW_WILD = st.one_of(st.just(frozenset()), st.sets(st.sampled_from(range(5)), max_size=1),
                        st.sets(st.sampled_from(range(5))))


@settings(max_examples=NEIGHBOR_EXAMPLES, **SETTINGS)
@given(st.data())
def check_narrow_phase(data):
    wild = data.draw(NARROW_WILD, label="wild")
    args = [data.draw(arbitrary_objects if k in wild else USABLE_SCALARS[k], label=name)
            for k, name in enumerate(NARROW_PARAMETERS)]
    action = data.draw(st.sampled_from(["ignore", "error"]), label="warnings")
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        expected_error = None
        try:
            cells_p, cell_count, n_links = (int_of(a, bits) for a, bits in zip(args, (64, 32, 32)))
            threshold = float32_of(args[3])
            use_debug = int_of(args[4], 32)
        except Exception as exc:
            expected_error = type(exc)
        else:
            # The call must not read an arbitrary address, print the dump or fill gigabytes.
            assume(cells_p in (0, CELLS.address) and use_debug != 1 and n_links <= 10**5)
            assume(cells_p == 0 or cell_count <= len(CELLS))
            if (cells_p == 0 and cell_count > 0) or n_links < 0:
                expected_error = ValueError
        outcome("narrow phase: examples")
        try:
            result = ext.generate_neighbors(*args)
        except OwnError:
            assert expected_error is OwnError
            outcome("narrow phase: refused")
            return
        except DOCUMENTED as exc:
            assert type(exc) is expected_error, exc
            outcome("narrow phase: refused")
            return
    assert expected_error is None
    outcome("narrow phase: accepted")
    assert type(result) is np.ndarray and result.dtype == np.float32 and result.shape == (n_links,)
    if cells_p == 0 or cell_count <= 0:
        assert (result == -1.0).all()
        return
    outcome("narrow phase: compared with the reference")
    expected, either = expected_distances(cell_count, n_links, threshold)
    sure = ~either
    # Square roots may be a few units in the last place off (the darwin build's are).
    np.testing.assert_allclose(result[sure], expected[sure], rtol=2e-6, atol=0)
    unsure = result[either]
    assert ((unsure == -1.0) | np.isclose(unsure, expected[either], rtol=1e-6)).all()


def test_narrow_phase_any_scalars():
    check_narrow_phase()
    record_outcomes(OUTCOMES, "in process")
