"""Argument binding of the two callables: gathering, scalar conversion, buffer acceptance,
release of buffers, the result array and the extent checks of the broad phase."""
import builtins
import ctypes
import decimal
import fractions
import math
import sys
import warnings

import numpy as np
import pytest

from conftest import MODULE_NAME, traceback_names

IS_NT = MODULE_NAME.endswith("_nt")

PARAMETERS = {
    "generate_neighbors": ["cells_p", "cell_count", "n_links", "distance_threshold", "use_debug"],
    "get_bb_intersections": ["bbox", "cell_count", "links", "link_starts", "link_count"],
}


def count_message(name, given):
    return f"{name}() takes exactly 5 positional arguments ({given} given)"


# ---------------------------------------------------------------------------------------------
# Gathering

# Each case: (positional values, keyword names in call order, expected message); keyword names
# p0..p4 stand for the function's own parameter names.
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
    # Left-over keywords are looked at only once all five parameters are present.
    ((1, 2), ["bogus", "p3", "p4"], "count:2"),
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
    parameters = PARAMETERS[name]
    resolve = lambda k: parameters[int(k[1])] if k in {"p0", "p1", "p2", "p3", "p4"} else k
    kwargs = {resolve(k): 0 for k in keywords}
    kind, _, detail = outcome.partition(":")
    if kind == "count":
        message = count_message(name, detail)
    elif kind == "multiple":
        message = f"{name}() got multiple values for keyword argument '{resolve(detail)}'"
    else:
        message = f"{name}() got an unexpected keyword argument '{detail}'"
    expect_error(TypeError, message, getattr(ext, name), *positional, **kwargs)


def test_non_string_keyword_name(ext):
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    args = (ctypes.py_object * 6)(0, 0, 3, 0.0, 0, 7)
    with pytest.raises(TypeError) as info:
        vectorcall(ext.generate_neighbors, args, 5, (1,))
    assert str(info.value) == "generate_neighbors() keywords must be strings"


# ---------------------------------------------------------------------------------------------
# Integer conversion


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 3


class IntSubclass(int):
    pass


INT_VALUES = [
    (True, 1), (False, 0), (2.9, 2), (-0.9, 0), (IntSubclass(4), 4),
    (np.int16(3), 3), (np.uint64(5), 5), (np.float32(5.5), 5), (np.bool_(True), 1),
    (WithInt(6), 6), (decimal.Decimal("7.9"), 7), (fractions.Fraction(19, 2), 9),
    (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)),
]


@pytest.mark.parametrize("value, expected", [(v, e) for v, e in INT_VALUES if 0 <= e <= 10])
def test_int_conversion_n_links(ext, value, expected):
    result = ext.generate_neighbors(0, 0, value, 0.0, 0)
    assert result.shape == (expected,)


@pytest.mark.parametrize("value, expected", INT_VALUES)
def test_int_conversion_cell_count(ext, value, expected):
    call = lambda: ext.get_bb_intersections(None, value, None, None, None)
    if expected <= 0:
        assert call() == 0
    else:
        # A positive count is refused with None arrays, and the message shows the bound count.
        with pytest.raises(ValueError) as info:
            call()
        assert f"for cell_count={expected}, got None" in str(info.value)


@pytest.mark.parametrize("value", [0, 2, -1, 2**31 - 1, -(2**31), 2.5])
def test_use_debug_other_than_one_prints_nothing(ext, capfd, value):
    assert ext.generate_neighbors(0, 0, 2, 0.0, value).shape == (2,)
    assert capfd.readouterr() == ("", "")


# (function, position) of every parameter converted as a 32-bit int.
INT_PARAMETERS = [
    ("generate_neighbors", 1), ("generate_neighbors", 2), ("generate_neighbors", 4),
    ("get_bb_intersections", 1),
]


def valid_args(name):
    if name == "generate_neighbors":
        return [0, 0, 2, 0.0, 0]
    return [None, 0, None, None, None]


def call_with(ext, name, position, value):
    args = valid_args(name)
    args[position] = value
    return getattr(ext, name), args


class IntReturnsStr:
    def __int__(self):
        return "3"


class IntReturnsFloat:
    def __int__(self):
        return 3.0


class IntRaises:
    def __int__(self):
        raise KeyError("from __int__")


def interpreter_error(function, *args):
    try:
        function(*args)
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("no error")


@pytest.mark.parametrize("name, position", INT_PARAMETERS)
@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (None, TypeError, "an integer is required"),
        ("3", TypeError, "an integer is required"),
        (b"3", TypeError, "an integer is required"),
        ([3], TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntReturnsStr(), TypeError, "__int__ returned non-int (type str)"),
        (IntReturnsFloat(), TypeError, "__int__ returned non-int (type float)"),
        (IntRaises(), KeyError, "'from __int__'"),
        (float("nan"), *interpreter_error(int, float("nan"))),
        (float("inf"), *interpreter_error(int, float("inf"))),
        (float("-inf"), *interpreter_error(int, float("-inf"))),
    ],
)
def test_int_conversion_errors(ext, expect_error, name, position, value, exc_type, message):
    function, args = call_with(ext, name, position, value)
    expect_error(exc_type, message, function, *args)


@pytest.mark.parametrize("name, position", INT_PARAMETERS)
@pytest.mark.parametrize(
    "value", [2**31, -(2**31) - 1, 2**64, -(2**100), np.int64(2**31), 3e9, WithInt(2**40)]
)
def test_int_overflow(ext, expect_error, int_overflow_message, name, position, value):
    function, args = call_with(ext, name, position, value)
    expect_error(OverflowError, int_overflow_message, function, *args)


DEPRECATION = (
    "__int__ returned non-int (type IntSubclass).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


def test_int_subclass_from_dunder_int_warns(ext, expect_error):
    with pytest.warns(DeprecationWarning) as record:
        result = ext.generate_neighbors(0, 0, WithInt(IntSubclass(3)), 0.0, 0)
    assert [str(w.message) for w in record] == [DEPRECATION]
    assert result.shape == (3,)

    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        expect_error(DeprecationWarning, DEPRECATION, ext.generate_neighbors,
                     0, 0, WithInt(IntSubclass(3)), 0.0, 0)


@pytest.mark.parametrize("value", [0, -1, 1, 2**63 - 1, -(2**63), True, 2.5, np.uint64(2**63 - 1)])
def test_cells_p_accepts_64_bit_values(ext, value):
    assert ext.generate_neighbors(value, 0, 2, 0.0, 0).shape == (2,)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, 1e19, np.uint64(2**63)])
def test_cells_p_overflow(ext, expect_error, value):
    expect_error(OverflowError, None, ext.generate_neighbors, value, 0, 2, 0.0, 0)


@pytest.mark.parametrize("value", ["0", None, IndexOnly()])
def test_cells_p_needs_int(ext, expect_error, value):
    expect_error(TypeError, "an integer is required", ext.generate_neighbors, value, 0, 2, 0.0, 0)


# ---------------------------------------------------------------------------------------------
# Float conversion


class WithFloat:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize(
    "value",
    [1, True, 1e40, -1e40, float("nan"), float("inf"), 10**30, np.float64(2.0), np.int32(3),
     WithFloat(), IndexOnly(), decimal.Decimal("0.5")],
)
def test_distance_threshold_accepted(ext, value):
    assert ext.generate_neighbors(0, 0, 2, value, 0).shape == (2,)


@pytest.mark.parametrize("value", ["1.0", None, [1.0], 10**400, 1j])
def test_distance_threshold_errors_pass_through(ext, expect_error, value):
    exc_type, message = interpreter_error(math.sqrt, value)
    expect_error(exc_type, message, ext.generate_neighbors, 0, 0, 2, value, 0)


# ---------------------------------------------------------------------------------------------
# Conversion order


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((None, 2**40, "x", "y", "z"), TypeError, "an integer is required"),
        ((0, 2**40, "x", "y", "z"), OverflowError, "<overflow>"),
        ((0, 0, "x", "y", "z"), TypeError, "an integer is required"),
        ((0, 0, 0, "y", "z"), TypeError, "must be real number, not str"),
        ((0, 0, 0, 0.0, "z"), TypeError, "an integer is required"),
    ],
)
def test_first_failing_conversion_is_reported_narrow(ext, expect_error, int_overflow_message,
                                                     args, exc_type, message):
    message = int_overflow_message if message == "<overflow>" else message
    expect_error(exc_type, message, ext.generate_neighbors, *args)


F32_BOX = np.zeros((1, 8, 3), np.float32)
I32_2D = np.zeros((1, 30), np.int32)
I32_1D = np.zeros(1, np.int32)
BAD_2D = np.zeros((1, 30), np.float32)


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.zeros((1, 8, 3)), "x", BAD_2D, BAD_2D, BAD_2D),
         "Buffer dtype mismatch, expected 'float' but got 'double'"),
        ((F32_BOX, "x", BAD_2D, BAD_2D, BAD_2D), "an integer is required"),
        ((F32_BOX, 0, BAD_2D, BAD_2D, BAD_2D), "Buffer dtype mismatch, expected 'int' but got 'float'"),
        ((F32_BOX, 0, I32_2D, BAD_2D, BAD_2D), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        ((F32_BOX, 0, I32_2D, I32_1D, BAD_2D), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        ((F32_BOX, 0, I32_2D, I32_1D, I32_1D), "Buffer dtype mismatch, expected 'unsigned char' but got 'int'"),
        # Binding errors come before the extent check of a positive count.
        ((None, 5, None, None, I32_1D), "Buffer dtype mismatch, expected 'unsigned char' but got 'int'"),
    ],
)
def test_first_failing_conversion_is_reported_broad(ext, expect_error, args, message):
    exc_type = TypeError if message.startswith("an integer") else ValueError
    expect_error(exc_type, message, ext.get_bb_intersections, *args)


# ---------------------------------------------------------------------------------------------
# Buffer acceptance (cell_count 0: only the binding is exercised)

BUFFER_POSITION = {"bbox": 0, "links": 2, "link_starts": 3, "link_count": 4}


def bind_only(ext, argument, value, cell_count=0):
    args = [None, cell_count, None, None, None]
    args[BUFFER_POSITION[argument]] = value
    return args


def ctypes_array(ctype, *shape):
    for extent in reversed(shape):
        ctype = ctype * extent
    return ctype()


def f32(*shape, order="C"):
    return np.zeros(shape, np.float32, order=order)


ACCEPTED = [
    ("bbox", lambda: f32(2, 8, 3)),
    ("bbox", lambda: f32(2, 8, 3, order="F")),
    ("bbox", lambda: f32(3, 8, 2).T),
    ("bbox", lambda: f32(4, 9, 6)[::2, ::-1, 1::2]),
    ("bbox", lambda: f32(0, 8, 3)),
    ("bbox", lambda: np.lib.stride_tricks.as_strided(f32(3), (2, 8, 3), (0, 0, 4), writeable=True)),
    ("bbox", lambda: np.zeros((2, 8, 3), "<f4")),
    ("bbox", lambda: memoryview(bytearray(4 * 48)).cast("f", shape=[2, 8, 3])),
    ("bbox", lambda: ctypes_array(ctypes.c_float, 2, 8, 3)),
    ("links", lambda: np.zeros((2, 30), np.int32)),
    ("links", lambda: np.zeros((2, 30), np.intc, order="F")),
    ("links", lambda: np.zeros((4, 60), np.int32)[::-2, ::2]),
    ("links", lambda: ctypes_array(ctypes.c_int32, 2, 30)),
    ("link_starts", lambda: np.zeros(3, np.int32)),
    ("link_starts", lambda: np.zeros(6, np.int32)[::-2]),
    ("link_starts", lambda: memoryview(bytearray(12)).cast("i")),
    ("link_count", lambda: np.zeros(3, np.uint8)),
    ("link_count", lambda: np.zeros(3, np.bool_)),
    ("link_count", lambda: np.zeros(6, np.uint8)[::-3]),
    ("link_count", lambda: bytearray(3)),
    ("link_count", lambda: memoryview(bytearray(3)).cast("c")),
    ("link_count", lambda: memoryview(bytearray(3)).cast("?")),
    ("link_count", lambda: ctypes_array(ctypes.c_ubyte, 3)),
    ("link_count", lambda: ctypes_array(ctypes.c_bool, 3)),
]


@pytest.mark.parametrize("argument, make", ACCEPTED)
def test_buffer_accepted(ext, argument, make):
    assert ext.get_bb_intersections(*bind_only(ext, argument, make())) == 0


def test_none_for_every_buffer(ext):
    assert ext.get_bb_intersections(None, 0, None, None, None) == 0
    assert ext.get_bb_intersections(None, -5, None, None, None) == 0


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


def wrong_ndim(expected, got):
    return f"Buffer has wrong number of dimensions (expected {expected}, got {got})"


BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"

REFUSED = [
    ("bbox", lambda: np.zeros((2, 8, 3)), mismatch("float", "'double'")),
    ("bbox", lambda: np.zeros((2, 8, 3), np.int32), mismatch("float", "'int'")),
    ("bbox", lambda: np.zeros((2, 8, 3), np.longdouble), mismatch("float", "'long double'")),
    ("bbox", lambda: np.zeros((2, 8, 3), np.complex64), mismatch("float", "'complex float'")),
    ("bbox", lambda: np.zeros((2, 8, 3), object), mismatch("float", "Python object")),
    ("bbox", lambda: np.zeros((2, 8, 3), [("a", "f4"), ("b", "f4")]), mismatch("float", "a struct")),
    ("bbox", lambda: np.zeros((2, 8, 3), [("a", "f4")]), mismatch("float", "a struct")),
    ("bbox", lambda: np.zeros((2, 8, 3), np.float16),
     "Does not understand character buffer dtype format string ('e')"),
    ("bbox", lambda: np.zeros((2, 8, 3), ">f4"), BIG_ENDIAN),
    ("bbox", lambda: f32(2, 8), wrong_ndim(3, 2)),
    ("bbox", lambda: f32(2, 8, 3, 1), wrong_ndim(3, 4)),
    ("bbox", lambda: f32(), wrong_ndim(3, 0)),
    ("bbox", lambda: bytearray(8), wrong_ndim(3, 1)),
    ("links", lambda: np.zeros((2, 30), np.int64), mismatch("int", "'long long'" if IS_NT else "'long'")),
    ("links", lambda: np.zeros((2, 30), np.uint32), mismatch("int", "'unsigned int'")),
    ("links", lambda: np.zeros((2, 30), np.int16), mismatch("int", "'short'")),
    ("links", lambda: np.zeros((2, 30), np.float32), mismatch("int", "'float'")),
    ("links", lambda: ctypes_array(ctypes.c_int64, 2, 30), mismatch("int", "'long long'")),
    ("links", lambda: memoryview(bytearray(8)).cast("c", shape=[2, 4]), mismatch("int", "'char'")),
    ("links", lambda: np.zeros(30, np.int32), wrong_ndim(2, 1)),
    ("link_starts", lambda: np.zeros((2, 1), np.int32), wrong_ndim(1, 2)),
    ("link_starts", lambda: np.zeros(2, np.uint64),
     mismatch("int", "'unsigned long long'" if IS_NT else "'unsigned long'")),
    ("link_starts", lambda: np.zeros(2, ">i4"), BIG_ENDIAN),
    ("link_count", lambda: np.zeros(2, np.int8), mismatch("unsigned char", "'signed char'")),
    ("link_count", lambda: memoryview(bytearray(2)).cast("b"), mismatch("unsigned char", "'signed char'")),
    ("link_count", lambda: np.zeros(2, np.uint16), mismatch("unsigned char", "'unsigned short'")),
    ("link_count", lambda: np.zeros(2, np.int32), mismatch("unsigned char", "'int'")),
    ("link_count", lambda: np.zeros(2, "S1"), mismatch("unsigned char", "a string")),
    ("link_count", lambda: np.zeros((2, 1), np.uint8), wrong_ndim(1, 2)),
]


@pytest.mark.parametrize("argument, make, message", REFUSED)
def test_buffer_refused(ext, expect_error, argument, make, message):
    expect_error(ValueError, message, ext.get_bb_intersections, *bind_only(ext, argument, make()))


def read_only(array):
    array.flags.writeable = False
    return array


EXPORTER_REFUSALS = [
    (lambda: read_only(f32(2, 8, 3)), ValueError, "buffer source array is read-only"),
    (lambda: np.broadcast_to(np.float32(0), (2, 8, 3)), ValueError, "buffer source array is read-only"),
    (lambda: b"abc", BufferError, "Object is not writable."),
    (lambda: memoryview(b"abc"), BufferError, "memoryview: underlying buffer is not writable"),
    (lambda: [1.0, 2.0], TypeError, "a bytes-like object is required, not 'list'"),
    (lambda: 5, TypeError, "a bytes-like object is required, not 'int'"),
]


@pytest.mark.parametrize("argument", BUFFER_POSITION)
@pytest.mark.parametrize("make, exc_type, message", EXPORTER_REFUSALS)
def test_exporter_refusal_passes_through(ext, expect_error, argument, make, exc_type, message):
    expect_error(exc_type, message, ext.get_bb_intersections, *bind_only(ext, argument, make()))


@pytest.mark.parametrize("argument", BUFFER_POSITION)
def test_read_only_array_of_the_right_type_refused(ext, expect_error, argument):
    good = {"bbox": f32(2, 8, 3), "links": np.zeros((2, 30), np.int32),
            "link_starts": np.zeros(2, np.int32), "link_count": np.zeros(2, np.uint8)}[argument]
    expect_error(ValueError, "buffer source array is read-only", ext.get_bb_intersections,
                 *bind_only(ext, argument, read_only(good)))


# ---------------------------------------------------------------------------------------------
# Release of buffers on every path


def broad_phase_arrays(cells=2):
    return [np.zeros((cells, 8, 3), np.float32), cells, np.zeros((cells, 30), np.int32),
            np.full(cells, -1, np.int32), np.zeros(cells, np.uint8)]


@pytest.mark.parametrize(
    "replace",
    [
        {},  # success
        {4: np.zeros(2, np.int8)},  # last binding fails
        {3: np.zeros(2, np.int64)},
        {1: "x"},
        {1: 3},  # extent check fails after every view is bound
    ],
)
def test_arrays_released(ext, replace):
    # A view left acquired keeps a reference to its array.
    args = broad_phase_arrays()
    for position, value in replace.items():
        args[position] = value
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    before = [sys.getrefcount(a) for a in arrays]
    try:
        ext.get_bb_intersections(*args)
    except (ValueError, TypeError):
        assert replace
    else:
        assert not replace
    assert [sys.getrefcount(a) for a in arrays] == before


@pytest.mark.parametrize(
    "make_args",
    [
        lambda ba: [ba, 0, None, None, None],  # wrong ndim
        lambda ba: [None, 0, None, None, ba],  # success
        lambda ba: [None, 1, None, None, ba],  # bound, then refused by the extent check
        lambda ba: [None, 0, np.zeros(3), None, ba],  # never reached
        lambda ba: [memoryview(ba).cast("f", shape=[1, 1, 2]), 0, None, None, ba],
    ],
)
def test_bytearray_resizable_after_call(ext, make_args):
    ba = bytearray(8)
    try:
        ext.get_bb_intersections(*make_args(ba))
    except ValueError:
        pass
    ba.append(1)
    ba.extend(bytes(1000))
    assert len(ba) == 1009


# ---------------------------------------------------------------------------------------------
# Result array of generate_neighbors


@pytest.mark.parametrize("n_links", [0, 1, 7, 1000])
def test_result_array(ext, n_links):
    first = ext.generate_neighbors(0, 0, n_links, 0.5, 0)
    second = ext.generate_neighbors(0, 0, n_links, 0.5, 0)
    for result in (first, second):
        assert type(result) is np.ndarray
        assert result.dtype == np.float32 and result.shape == (n_links,)
        assert result.flags.writeable and result.flags.c_contiguous
        assert (result == -1.0).all()
    assert first is not second and not np.shares_memory(first, second)


def test_negative_n_links_fails_in_numpy(ext, MODULE_NAME):
    with pytest.raises(ValueError) as reference:
        np.full(-1, -1.0, dtype=np.float32)
    with pytest.raises(ValueError) as info:
        ext.generate_neighbors(0, 0, -1, 0.0, 0)
    assert str(info.value) == str(reference.value)
    assert traceback_names(info.value).count(f"{MODULE_NAME}.generate_neighbors") == 2


class FakeNumpy:
    float32 = "float32 token"

    def __init__(self, make):
        self.make = make
        self.calls = []

    def full(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.make(*args)


class ArraySubclass(np.ndarray):
    pass


def raise_key_error(*args):
    raise KeyError("full")


@pytest.mark.parametrize(
    "make, exc_type, message",
    [
        (lambda n, fill: [fill] * n, TypeError, "Cannot convert list to numpy.ndarray"),
        (lambda n, fill: np.full(n, fill), ValueError, mismatch("float32_t", "'double'")),
        (lambda n, fill: np.full(n, fill, np.int32), ValueError, mismatch("float32_t", "'int'")),
        (lambda n, fill: f32(n, 1), ValueError, wrong_ndim(1, 2)),
        (lambda n, fill: read_only(f32(n)), ValueError, "buffer source array is read-only"),
        (raise_key_error, KeyError, "'full'"),
    ],
)
def test_unusable_result_from_replaced_np(ext, monkeypatch, MODULE_NAME, make, exc_type, message):
    fake = FakeNumpy(make)
    monkeypatch.setattr(ext, "np", fake)
    with pytest.raises(exc_type) as info:
        ext.generate_neighbors(0, 0, 3, 0.0, 0)
    assert str(info.value) == message
    assert traceback_names(info.value).count(f"{MODULE_NAME}.generate_neighbors") == 2
    assert len(fake.calls) == 1


@pytest.mark.parametrize(
    "make", [lambda n, fill: np.full(n, fill, np.float32), lambda n, fill: f32(n).view(ArraySubclass)]
)
def test_compatible_np_replacement_is_used(ext, monkeypatch, make):
    made = []
    fake = FakeNumpy(lambda *args: made.append(make(*args)) or made[-1])
    monkeypatch.setattr(ext, "np", fake)
    result = ext.generate_neighbors(0, 0, 4, 0.0, 0)
    assert result is made[0]
    ((args, kwargs),) = fake.calls
    assert args == (4, -1.0) and type(args[0]) is int and type(args[1]) is float
    assert kwargs == {"dtype": FakeNumpy.float32}


def test_np_looked_up_in_builtins_then_missing(ext, monkeypatch, MODULE_NAME):
    monkeypatch.delattr(ext, "np")
    fake = FakeNumpy(lambda n, fill: np.full(n, fill, np.float32))
    monkeypatch.setattr(builtins, "np", fake, raising=False)
    assert ext.generate_neighbors(0, 0, 2, 0.0, 0).shape == (2,)
    assert len(fake.calls) == 1

    monkeypatch.delattr(builtins, "np")
    with pytest.raises(NameError) as info:
        ext.generate_neighbors(0, 0, 2, 0.0, 0)
    assert str(info.value) == "name 'np' is not defined"
    assert traceback_names(info.value).count(f"{MODULE_NAME}.generate_neighbors") == 2


# ---------------------------------------------------------------------------------------------
# Extent checks of get_bb_intersections for a positive cell_count


def shape_message(argument, needed, cells, given):
    return f"{argument} must have a shape of at least {needed} for cell_count={cells}, got {given}"


@pytest.mark.parametrize(
    "position, value, message",
    [
        (0, None, shape_message("bbox", "(2, 8, 3)", 2, "None")),
        (0, f32(1, 8, 3), shape_message("bbox", "(2, 8, 3)", 2, "(1, 8, 3)")),
        (0, f32(2, 7, 3), shape_message("bbox", "(2, 8, 3)", 2, "(2, 7, 3)")),
        (0, f32(2, 8, 2), shape_message("bbox", "(2, 8, 3)", 2, "(2, 8, 2)")),
        (2, None, shape_message("links", "(2, 30)", 2, "None")),
        (2, np.zeros((2, 29), np.int32), shape_message("links", "(2, 30)", 2, "(2, 29)")),
        (2, np.zeros((1, 30), np.int32), shape_message("links", "(2, 30)", 2, "(1, 30)")),
        (3, None, shape_message("link_starts", "(2,)", 2, "None")),
        (3, np.zeros(1, np.int32), shape_message("link_starts", "(2,)", 2, "(1,)")),
        (4, None, shape_message("link_count", "(2,)", 2, "None")),
        (4, bytearray(1), shape_message("link_count", "(2,)", 2, "(1,)")),
    ],
)
def test_too_small_arrays_refused_untouched(ext, expect_error, position, value, message):
    args = broad_phase_arrays()
    args[0][:] = np.arange(48, dtype=np.float32).reshape(2, 8, 3)
    args[position] = value
    before = [np.array(a, copy=True) for a in args if a is not None and not isinstance(a, int)]
    expect_error(ValueError, message, ext.get_bb_intersections, *args)
    after = [np.array(a) for a in args if a is not None and not isinstance(a, int)]
    assert all(np.array_equal(b, a) for b, a in zip(before, after))


def test_larger_arrays_accepted(ext):
    args = [f32(3, 9, 4), 2, np.zeros((3, 31), np.int32), np.full(3, -1, np.int32),
            np.zeros(3, np.uint8)]
    assert type(ext.get_bb_intersections(*args)) is int


def test_strided_views_reach_the_kernel(ext):
    # The same boxes through a contiguous array and through a reversed, strided view of a larger
    # one must give identical results, written into the viewed memory.
    corners = np.random.default_rng(7).random((4, 8, 3), dtype=np.float32)

    def run(bbox, links, starts, counts):
        links[:] = 0
        starts[:] = -1
        counts[:] = 0
        n = ext.get_bb_intersections(bbox, 4, links, starts, counts)
        return n, np.array(bbox), np.array(links), np.array(starts), np.array(counts)

    plain = run(corners.copy(), np.zeros((4, 30), np.int32), np.zeros(4, np.int32),
                np.zeros(4, np.uint8))

    big = np.zeros((8, 16, 6), np.float32)
    view = big[::-2, ::2, ::2][::-1]
    view[:] = corners
    links_big = np.zeros((30, 8), np.int32, order="F")
    strided = run(view, links_big[:, ::2].T, np.zeros(8, np.int32)[::2], np.zeros(8, np.uint8)[1::2])

    assert plain[0] == strided[0]
    for expected, got in zip(plain[1:], strided[1:]):
        np.testing.assert_array_equal(expected, got)
    np.testing.assert_array_equal(np.array(view), plain[1])
