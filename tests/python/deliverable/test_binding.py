"""Argument binding: gathering, scalar conversion, buffer acceptance and release, the result
array of generate_neighbors and the extent checks of get_bb_intersections."""
import builtins
import ctypes
import decimal
import fractions
import math
import sys
import warnings

import numpy as np
import pytest

from conftest import MODULE_NAME, needs_numpy_1, traceback_names

pytestmark = needs_numpy_1

# numpy describes its 64-bit integers as the platform's C type: long on Linux and macOS, long long on
# Windows.
NUMPY_INT64 = "'long'" if np.dtype(np.int64).char == "l" else "'long long'"
PARAMETERS = {
    "generate_neighbors": ["cells_p", "cell_count", "n_links", "distance_threshold", "use_debug"],
    "get_bb_intersections": ["bbox", "cell_count", "links", "link_starts", "link_count"],
}

# (positional values, keyword names in call order, outcome); p0..p4 are the parameter names.
GATHER_CASES = [
    ((1, 2, 3), [], "count:3"),
    ((), [], "count:0"),
    ((1, 2, 3, 4), [], "count:4"),
    ((1, 2, 3, 4, 5, 6), [], "count:6"),
    ((1, 2, 3, 4, 5, 6), ["p0"], "count:6"),
    ((1, 2, 3, 4, 5, 6), ["bogus"], "count:6"),
    ((), ["p0"], "count:1"),
    ((1, 2), ["p3", "p4"], "count:2"),
    ((), ["p0", "p1", "p3", "p4"], "count:2"),
    ((1,), ["p1", "p3", "p4"], "count:2"),
    ((1, 2), ["bogus", "p3", "p4"], "count:2"),  # left-over keywords wait for all five
    ((1, 2, 3), ["p0", "p4"], "count:3"),
    ((1, 2, 3, 4), ["p0", "p4"], "multiple:p0"),
    ((1, 2, 3, 4, 5), ["p0"], "multiple:p0"),
    ((1, 2, 3, 4), ["p4", "p1"], "multiple:p1"),
    ((1, 2, 3, 4, 5), ["bogus"], "unexpected:bogus"),
    ((1, 2, 3), ["p3", "p4", "bogus"], "unexpected:bogus"),
    ((1, 2, 3, 4, 5), ["zzz", "p1"], "unexpected:zzz"),
    ((1, 2, 3, 4, 5), ["p1", "zzz"], "multiple:p1"),
    ((1, 2, 3, 4, 5), ["p4", "p2", "zzz"], "multiple:p4"),
]


@pytest.mark.parametrize("name", PARAMETERS)
@pytest.mark.parametrize("positional, keywords, outcome", GATHER_CASES)
def test_gathering_errors(ext, expect_error, name, positional, keywords, outcome):
    resolve = lambda k: PARAMETERS[name][int(k[1])] if k in {"p0", "p1", "p2", "p3", "p4"} else k
    kind, _, detail = outcome.partition(":")
    message = {
        "count": f"{name}() takes exactly 5 positional arguments ({detail} given)",
        "multiple": f"{name}() got multiple values for keyword argument '{resolve(detail)}'",
        "unexpected": f"{name}() got an unexpected keyword argument '{detail}'",
    }[kind]
    expect_error(TypeError, message, getattr(ext, name), *positional,
                 **{resolve(k): 0 for k in keywords})


def test_non_string_keyword_name(ext):
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    args = (ctypes.py_object * 6)(0, 0, 3, 0.0, 0, 7)
    with pytest.raises(TypeError, match=r"^generate_neighbors\(\) keywords must be strings$"):
        vectorcall(ext.generate_neighbors, args, 5, (1,))


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, type):
            raise self.value("boom")
        return self.value


class IndexOnly:
    def __index__(self):
        return 3


class IntSubclass(int):
    pass


INT_VALUES = [
    (True, 1), (False, 0), (2.9, 2), (-0.9, 0), (IntSubclass(4), 4), (np.int16(3), 3),
    (np.uint64(5), 5), (np.float32(5.5), 5), (np.bool_(True), 1), (WithInt(6), 6),
    (decimal.Decimal("7.9"), 7), (fractions.Fraction(19, 2), 9),
    (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (-2.9, -2),
]


@pytest.mark.parametrize("value, expected", [(v, e) for v, e in INT_VALUES if 0 <= e <= 10])
def test_int_conversion_seen_as_result_length(ext, value, expected):
    assert ext.generate_neighbors(0, 0, value, 0.0, 0).shape == (expected,)


@pytest.mark.parametrize("value, expected", INT_VALUES)
def test_int_conversion_seen_as_cell_count(ext, value, expected):
    if expected <= 0:
        assert ext.get_bb_intersections(None, value, None, None, None) == 0
    else:  # refused for the None arrays, with the bound count in the message
        with pytest.raises(ValueError, match=f"for cell_count={expected}, got None$"):
            ext.get_bb_intersections(None, value, None, None, None)


@pytest.mark.parametrize("value", [0, 2, -1, 2**31 - 1, -(2**31), 2.5])
def test_use_debug_other_than_one_prints_nothing(ext, capfd, value):
    assert ext.generate_neighbors(0, 0, 2, 0.0, value).shape == (2,)
    assert capfd.readouterr() == ("", "")


INT_PARAMETERS = [("generate_neighbors", 1), ("generate_neighbors", 2), ("generate_neighbors", 4),
                  ("get_bb_intersections", 1)]


def call_with(ext, name, position, value):
    args = [0, 0, 2, 0.0, 0] if name == "generate_neighbors" else [None, 0, None, None, None]
    args[position] = value
    return getattr(ext, name), args


def interpreter_error(function, *args):
    try:
        function(*args)
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("no error")


@pytest.mark.parametrize("name, position", INT_PARAMETERS)
@pytest.mark.parametrize("value, exc_type, message", [
    (None, TypeError, "an integer is required"),
    ("3", TypeError, "an integer is required"),
    ([3], TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (WithInt("3"), TypeError, "__int__ returned non-int (type str)"),
    (WithInt(3.0), TypeError, "__int__ returned non-int (type float)"),
    (WithInt(KeyError), KeyError, "'boom'"),
    (float("nan"), *interpreter_error(int, float("nan"))),
    (float("-inf"), *interpreter_error(int, float("-inf"))),
])
def test_int_conversion_errors(ext, expect_error, name, position, value, exc_type, message):
    function, args = call_with(ext, name, position, value)
    expect_error(exc_type, message, function, *args)


@pytest.mark.parametrize("name, position", INT_PARAMETERS)
@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**64, np.int64(2**31), 3e9, WithInt(2**40)])
def test_int_overflow(ext, expect_error, int_overflow_message, name, position, value):
    function, args = call_with(ext, name, position, value)
    expect_error(OverflowError, int_overflow_message, function, *args)


def test_int_subclass_from_dunder_int_warns(ext, expect_error):
    message = (
        "__int__ returned non-int (type IntSubclass).  The ability to return an instance of a "
        "strict subclass of int is deprecated, and may be removed in a future version of Python."
    )
    with pytest.warns(DeprecationWarning) as record:
        result = ext.generate_neighbors(0, 0, WithInt(IntSubclass(3)), 0.0, 0)
    assert [str(w.message) for w in record] == [message]
    assert result.shape == (3,)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        expect_error(DeprecationWarning, message, ext.generate_neighbors,
                     0, 0, WithInt(IntSubclass(3)), 0.0, 0)


@pytest.mark.parametrize("value", [0, -1, 2**63 - 1, -(2**63), True, 2.5, np.uint64(2**63 - 1)])
def test_cells_p_accepts_64_bit_values(ext, value):
    assert ext.generate_neighbors(value, 0, 2, 0.0, 0).shape == (2,)


@pytest.mark.parametrize("value, exc_type", [
    (2**63, OverflowError), (-(2**63) - 1, OverflowError), (1e19, OverflowError),
    (np.uint64(2**63), OverflowError), ("0", TypeError), (IndexOnly(), TypeError),
])
def test_cells_p_refused(ext, expect_error, value, exc_type):
    message = "an integer is required" if exc_type is TypeError else None
    expect_error(exc_type, message, ext.generate_neighbors, value, 0, 2, 0.0, 0)


@pytest.mark.parametrize("cell_count", [1, 2**31 - 1])
def test_null_cells_p_refused_for_positive_count(ext, expect_error, cell_count):
    expect_error(ValueError, f"cells_p is 0 (a null address) but cell_count is {cell_count}: pass "
                 f"the address of an array of {cell_count} cell records",
                 ext.generate_neighbors, 0, cell_count, 3, 1.0, 1)


class WithFloat:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("value", [1, True, 1e40, -1e40, float("nan"), float("inf"), 10**30,
                                   np.float64(2.0), np.int32(3), WithFloat(), IndexOnly()])
def test_distance_threshold_accepted(ext, value):
    assert ext.generate_neighbors(0, 0, 2, value, 0).shape == (2,)


@pytest.mark.parametrize("value", ["1.0", None, 10**400, 1j])
def test_distance_threshold_errors_pass_through(ext, expect_error, value):
    expect_error(*interpreter_error(math.sqrt, value), ext.generate_neighbors, 0, 0, 2, value, 0)


BOX = np.zeros((1, 8, 3), np.float32)
ROWS = np.zeros((1, 30), np.int32)
STARTS = np.zeros(1, np.int32)
BAD = np.zeros((1, 30), np.float32)


@pytest.mark.parametrize("name, args, exc_type, message", [
    ("generate_neighbors", (None, 2**40, "x", "y", "z"), TypeError, "an integer is required"),
    ("generate_neighbors", (0, 2**40, "x", "y", "z"), OverflowError, "<overflow>"),
    ("generate_neighbors", (0, 0, "x", "y", "z"), TypeError, "an integer is required"),
    ("generate_neighbors", (0, 0, 0, "y", "z"), TypeError, "must be real number, not str"),
    ("generate_neighbors", (0, 0, 0, 0.0, "z"), TypeError, "an integer is required"),
    ("get_bb_intersections", (np.zeros((1, 8, 3)), "x", BAD, BAD, BAD),
     ValueError, "Buffer dtype mismatch, expected 'float' but got 'double'"),
    ("get_bb_intersections", (BOX, "x", BAD, BAD, BAD), TypeError, "an integer is required"),
    ("get_bb_intersections", (BOX, 0, BAD, BAD, BAD),
     ValueError, "Buffer dtype mismatch, expected 'int' but got 'float'"),
    ("get_bb_intersections", (BOX, 0, ROWS, BAD, BAD),
     ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("get_bb_intersections", (BOX, 0, ROWS, STARTS, STARTS),
     ValueError, "Buffer dtype mismatch, expected 'unsigned char' but got 'int'"),
    # Binding errors come before the extent check of a positive count.
    ("get_bb_intersections", (None, 5, None, None, STARTS),
     ValueError, "Buffer dtype mismatch, expected 'unsigned char' but got 'int'"),
])
def test_first_failing_conversion_is_reported(ext, expect_error, int_overflow_message,
                                              name, args, exc_type, message):
    message = int_overflow_message if message == "<overflow>" else message
    expect_error(exc_type, message, getattr(ext, name), *args)


POSITION = {"bbox": 0, "links": 2, "link_starts": 3, "link_count": 4}


def bind_only(argument, value):
    args = [None, 0, None, None, None]
    args[POSITION[argument]] = value
    return args


def ctypes_array(ctype, *shape):
    for extent in reversed(shape):
        ctype = ctype * extent
    return ctype()


def f32(*shape, order="C"):
    return np.zeros(shape, np.float32, order=order)


@pytest.mark.parametrize("argument, make", [
    ("bbox", lambda: f32(2, 8, 3)),
    ("bbox", lambda: f32(2, 8, 3, order="F")),
    ("bbox", lambda: f32(3, 8, 2).T),
    ("bbox", lambda: f32(4, 9, 6)[::2, ::-1, 1::2]),
    ("bbox", lambda: f32(0, 8, 3)),
    ("bbox", lambda: np.lib.stride_tricks.as_strided(f32(3), (2, 8, 3), (0, 0, 4), writeable=True)),
    ("bbox", lambda: memoryview(bytearray(4 * 48)).cast("f", shape=[2, 8, 3])),
    ("bbox", lambda: ctypes_array(ctypes.c_float, 2, 8, 3)),
    ("links", lambda: np.zeros((2, 30), np.intc, order="F")),
    ("links", lambda: np.zeros((4, 60), np.int32)[::-2, ::2]),
    ("links", lambda: ctypes_array(ctypes.c_int32, 2, 30)),
    ("link_starts", lambda: np.zeros(6, np.int32)[::-2]),
    ("link_starts", lambda: memoryview(bytearray(12)).cast("i")),
    ("link_count", lambda: np.zeros(3, np.uint8)),
    ("link_count", lambda: np.zeros(3, np.bool_)),
    ("link_count", lambda: np.zeros(6, np.uint8)[::-3]),
    ("link_count", lambda: bytearray(3)),
    ("link_count", lambda: memoryview(bytearray(3)).cast("c")),
    ("link_count", lambda: ctypes_array(ctypes.c_bool, 3)),
])
def test_buffer_accepted(ext, argument, make):
    assert ext.get_bb_intersections(*bind_only(argument, make())) == 0


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


def wrong_ndim(expected, got):
    return f"Buffer has wrong number of dimensions (expected {expected}, got {got})"


BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"


@pytest.mark.parametrize("argument, make, message", [
    ("bbox", lambda: np.zeros((2, 8, 3)), mismatch("float", "'double'")),
    ("bbox", lambda: np.zeros((2, 8, 3), np.longdouble), mismatch("float", "'long double'")),
    ("bbox", lambda: np.zeros((2, 8, 3), np.complex64), mismatch("float", "'complex float'")),
    ("bbox", lambda: np.zeros((2, 8, 3), object), mismatch("float", "Python object")),
    ("bbox", lambda: np.zeros((2, 8, 3), [("a", "f4"), ("b", "f4")]), mismatch("float", "a struct")),
    ("bbox", lambda: np.zeros((2, 8, 3), np.float16),
     "Does not understand character buffer dtype format string ('e')"),
    ("bbox", lambda: np.zeros((2, 8, 3), ">f4"), BIG_ENDIAN),
    ("bbox", lambda: f32(2, 8), wrong_ndim(3, 2)),
    ("bbox", lambda: f32(2, 8, 3, 1), wrong_ndim(3, 4)),
    ("bbox", lambda: bytearray(8), wrong_ndim(3, 1)),
    ("links", lambda: np.zeros((2, 30), np.int64), mismatch("int", NUMPY_INT64)),
    ("links", lambda: np.zeros((2, 30), np.uint32), mismatch("int", "'unsigned int'")),
    ("links", lambda: np.zeros((2, 30), np.int16), mismatch("int", "'short'")),
    ("links", lambda: ctypes_array(ctypes.c_int64, 2, 30), mismatch("int", "'long long'")),
    ("links", lambda: memoryview(bytearray(8)).cast("c", shape=[2, 4]), mismatch("int", "'char'")),
    ("links", lambda: np.zeros(30, np.int32), wrong_ndim(2, 1)),
    ("link_starts", lambda: np.zeros((2, 1), np.int32), wrong_ndim(1, 2)),
    ("link_starts", lambda: np.zeros(2, np.uint64),
     mismatch("int", "'unsigned " + NUMPY_INT64[1:])),
    ("link_starts", lambda: np.zeros(2, ">i4"), BIG_ENDIAN),
    ("link_count", lambda: np.zeros(2, np.int8), mismatch("unsigned char", "'signed char'")),
    ("link_count", lambda: memoryview(bytearray(2)).cast("b"), mismatch("unsigned char", "'signed char'")),
    ("link_count", lambda: np.zeros(2, np.uint16), mismatch("unsigned char", "'unsigned short'")),
    ("link_count", lambda: np.zeros(2, "S1"), mismatch("unsigned char", "a string")),
    ("link_count", lambda: np.zeros((2, 1), np.uint8), wrong_ndim(1, 2)),
])
def test_buffer_refused(ext, expect_error, argument, make, message):
    expect_error(ValueError, message, ext.get_bb_intersections, *bind_only(argument, make()))


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("argument", POSITION)
@pytest.mark.parametrize("make, exc_type, message", [
    (lambda: read_only(f32(2, 8, 3)), ValueError, "buffer source array is read-only"),
    (lambda: read_only(np.zeros(2, np.uint8)), ValueError, "buffer source array is read-only"),
    (lambda: b"abc", BufferError, "Object is not writable."),
    (lambda: memoryview(b"abc"), BufferError, "memoryview: underlying buffer is not writable"),
    (lambda: [1.0, 2.0], TypeError, "a bytes-like object is required, not 'list'"),
])
def test_exporter_refusal_passes_through(ext, expect_error, argument, make, exc_type, message):
    expect_error(exc_type, message, ext.get_bb_intersections, *bind_only(argument, make()))


def broad_phase_arrays(cells=2):
    return [f32(cells, 8, 3), cells, np.zeros((cells, 30), np.int32), np.full(cells, -1, np.int32),
            np.zeros(cells, np.uint8)]


@pytest.mark.parametrize("replace", [
    {}, {4: np.zeros(2, np.int8)}, {3: np.zeros(2, np.int64)}, {1: "x"},
    {1: 3},  # the extent check fails once every view is bound
])
def test_arrays_released(ext, replace):
    # A view left acquired would keep a reference to its array.
    args = broad_phase_arrays()
    for position, value in replace.items():
        args[position] = value
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    before = [sys.getrefcount(a) for a in arrays]
    try:
        ext.get_bb_intersections(*args)
    except (ValueError, TypeError):
        assert replace
    assert [sys.getrefcount(a) for a in arrays] == before


@pytest.mark.parametrize("make_args", [
    lambda ba: [ba, 0, None, None, None],
    lambda ba: [None, 0, None, None, ba],
    lambda ba: [None, 1, None, None, ba],
    lambda ba: [memoryview(ba).cast("f", shape=[1, 1, 2]), 0, np.zeros(3), None, ba],
])
def test_bytearray_resizable_after_call(ext, make_args):
    ba = bytearray(8)
    try:
        ext.get_bb_intersections(*make_args(ba))
    except ValueError:
        pass
    ba.extend(bytes(1000))


@pytest.mark.parametrize("n_links", [0, 1, 1000])
def test_result_array(ext, n_links):
    first, second = (ext.generate_neighbors(0, 0, n_links, 0.5, 0) for _ in range(2))
    for result in (first, second):
        assert type(result) is np.ndarray and result.dtype == np.float32
        assert result.shape == (n_links,) and result.flags.writeable
        assert (result == -1.0).all()
    assert not np.shares_memory(first, second)


def test_negative_n_links_fails_in_numpy(ext, MODULE_NAME):
    expected = interpreter_error(np.full, -1, -1.0)
    with pytest.raises(ValueError) as info:
        ext.generate_neighbors(0, 0, -1, 0.0, 0)
    assert (type(info.value), str(info.value)) == expected
    assert traceback_names(info.value).count(f"{MODULE_NAME}.generate_neighbors") == 2


class FakeNumpy:
    float32 = "float32 token"

    def __init__(self, make):
        self.make = make
        self.calls = []

    def full(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.make(*args)


@pytest.mark.parametrize("make, exc_type, message", [
    (lambda n, fill: [fill] * n, TypeError, "Cannot convert list to numpy.ndarray"),
    (lambda n, fill: np.full(n, fill), ValueError, mismatch("float32_t", "'double'")),
    (lambda n, fill: f32(n, 1), ValueError, wrong_ndim(1, 2)),
    (lambda n, fill: read_only(f32(n)), ValueError, "buffer source array is read-only"),
    (lambda n, fill: {}["full"], KeyError, "'full'"),
])
def test_unusable_result_from_replaced_np(ext, monkeypatch, MODULE_NAME, make, exc_type, message):
    monkeypatch.setattr(ext, "np", FakeNumpy(make))
    with pytest.raises(exc_type) as info:
        ext.generate_neighbors(0, 0, 3, 0.0, 0)
    assert str(info.value) == message
    assert traceback_names(info.value).count(f"{MODULE_NAME}.generate_neighbors") == 2


class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize("make", [lambda n: f32(n), lambda n: f32(n).view(ArraySubclass)])
def test_compatible_np_replacement_is_used(ext, monkeypatch, make):
    made = []
    fake = FakeNumpy(lambda n, fill: made.append(make(n)) or made[-1])
    monkeypatch.setattr(ext, "np", fake)
    assert ext.generate_neighbors(0, 0, 4, 0.0, 0) is made[0]
    ((args, kwargs),) = fake.calls
    assert args == (4, -1.0) and [type(a) for a in args] == [int, float]
    assert kwargs == {"dtype": FakeNumpy.float32}


def test_np_looked_up_in_builtins_then_missing(ext, monkeypatch, MODULE_NAME):
    monkeypatch.delattr(ext, "np")
    fake = FakeNumpy(lambda n, fill: f32(n))
    monkeypatch.setattr(builtins, "np", fake, raising=False)
    assert ext.generate_neighbors(0, 0, 2, 0.0, 0).shape == (2,)
    assert len(fake.calls) == 1

    monkeypatch.delattr(builtins, "np")
    with pytest.raises(NameError) as info:
        ext.generate_neighbors(0, 0, 2, 0.0, 0)
    assert str(info.value) == "name 'np' is not defined"
    assert traceback_names(info.value).count(f"{MODULE_NAME}.generate_neighbors") == 2


def shape_message(argument, needed, given):
    return f"{argument} must have a shape of at least {needed} for cell_count=2, got {given}"


@pytest.mark.parametrize("position, value, message", [
    (0, None, shape_message("bbox", "(2, 8, 3)", "None")),
    (0, f32(1, 8, 3), shape_message("bbox", "(2, 8, 3)", "(1, 8, 3)")),
    (0, f32(2, 7, 3), shape_message("bbox", "(2, 8, 3)", "(2, 7, 3)")),
    (0, f32(2, 8, 2), shape_message("bbox", "(2, 8, 3)", "(2, 8, 2)")),
    (2, None, shape_message("links", "(2, 30)", "None")),
    (2, np.zeros((2, 29), np.int32), shape_message("links", "(2, 30)", "(2, 29)")),
    (2, np.zeros((1, 30), np.int32), shape_message("links", "(2, 30)", "(1, 30)")),
    (3, None, shape_message("link_starts", "(2,)", "None")),
    (3, np.zeros(1, np.int32), shape_message("link_starts", "(2,)", "(1,)")),
    (4, None, shape_message("link_count", "(2,)", "None")),
    (4, bytearray(1), shape_message("link_count", "(2,)", "(1,)")),
])
def test_too_small_arrays_refused_untouched(ext, expect_error, position, value, message):
    args = broad_phase_arrays()
    args[0][:] = np.arange(48, dtype=np.float32).reshape(2, 8, 3)
    args[position] = value
    before = [np.array(a) for a in args if a is not None and not isinstance(a, int)]
    expect_error(ValueError, message, ext.get_bb_intersections, *args)
    after = [np.array(a) for a in args if a is not None and not isinstance(a, int)]
    assert all(np.array_equal(b, a) for b, a in zip(before, after))


def test_larger_arrays_accepted(ext):
    args = [f32(3, 9, 4), 2, np.zeros((3, 31), np.int32), np.full(3, -1, np.int32),
            np.zeros(3, np.uint8)]
    assert type(ext.get_bb_intersections(*args)) is int


def test_strided_views_reach_the_kernel(ext):
    # Contiguous arrays and reversed, strided views of larger ones must give the same results,
    # written into the viewed memory.
    corners = np.random.default_rng(7).random((4, 8, 3), dtype=np.float32)

    def run(bbox, links, starts, counts):
        bbox[:] = corners
        links[:], starts[:], counts[:] = 0, -1, 0
        n = ext.get_bb_intersections(bbox, 4, links, starts, counts)
        return [n] + [np.array(a) for a in (bbox, links, starts, counts)]

    plain = run(f32(4, 8, 3), np.zeros((4, 30), np.int32), np.zeros(4, np.int32),
                np.zeros(4, np.uint8))
    strided = run(f32(8, 16, 6)[::-2, ::2, ::2][::-1], np.zeros((30, 8), np.int32, order="F")[:, ::2].T,
                  np.zeros(8, np.int32)[::2], np.zeros(8, np.uint8)[1::2])
    assert plain[0] == strided[0]
    for expected, got in zip(plain[1:], strided[1:]):
        np.testing.assert_array_equal(expected, got)
