"""The two callables as Python objects: introspection, attributes, method binding, pickling, call
forms."""
import copy
import functools
import inspect
import pickle

import numpy as np
import pytest

from conftest import needs_numpy_1

pytestmark = needs_numpy_1

FUNCTIONS = {
    "get_bb_intersections": (
        "get_bb_intersections(float[:, :, :] bbox, int cell_count, int[:, :] links, "
        "int[:] link_starts, unsigned char[:] link_count) -> int",
        ["bbox", "cell_count", "links", "link_starts", "link_count"],
    ),
    "generate_neighbors": (
        "generate_neighbors(long long cells_p, int cell_count, int n_links, "
        "float distance_threshold, int use_debug) -> ndarray",
        ["cells_p", "cell_count", "n_links", "distance_threshold", "use_debug"],
    ),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_properties(ext, MODULE_NAME, name):
    doc, parameters = FUNCTIONS[name]
    function = getattr(ext, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == MODULE_NAME
    assert function.__doc__ == doc
    assert function.__defaults__ is None and function.__kwdefaults__ is None
    assert not function.__annotations__

    code = function.__code__
    assert code.co_argcount == 5
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_varnames[:5] == tuple(parameters)

    signature = inspect.signature(function)
    assert [(p.name, p.kind, p.default, p.annotation) for p in signature.parameters.values()] == [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty, inspect.Parameter.empty)
        for p in parameters
    ]
    assert signature.return_annotation is inspect.Signature.empty


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_by_reference(ext, name, protocol):
    function = getattr(ext, name)
    assert pickle.loads(pickle.dumps(function, protocol=protocol)) is function


@pytest.mark.parametrize("name", FUNCTIONS)
def test_copy_returns_same_object(ext, name):
    function = getattr(ext, name)
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function
    assert copy.deepcopy({"f": function})["f"] is function


def test_binds_to_instances_like_a_function(ext, expect_error):
    class Holder:
        neighbors = ext.generate_neighbors

    holder = Holder()
    method = holder.neighbors
    assert method.__self__ is holder and method.__func__ is ext.generate_neighbors
    assert Holder.neighbors is ext.generate_neighbors
    assert Holder.__dict__["neighbors"].__get__(None, Holder) is ext.generate_neighbors

    # The instance is the first argument, cells_p, and is no integer.
    expect_error(TypeError, "an integer is required", method, 0, 3, 1.0, 0)
    expect_error(
        TypeError,
        "generate_neighbors() takes exactly 5 positional arguments (1 given)",
        method,
    )
    expect_error(
        TypeError,
        "generate_neighbors() got multiple values for keyword argument 'cells_p'",
        method, 0, 3, 1.0, 0, cells_p=0,
    )


def test_bound_method_passes_instance_as_first_argument(ext):
    class Address(int):
        neighbors = ext.generate_neighbors

    result = Address(0).neighbors(0, 4, 1.0, 0)
    assert result.shape == (4,)

    class Boxes(np.ndarray):
        intersections = ext.get_bb_intersections

    boxes = np.zeros((0, 8, 3), np.float32).view(Boxes)
    assert boxes.intersections(0, None, None, None) == 0
    wrong = np.zeros((0, 8, 3), np.float64).view(Boxes)
    with pytest.raises(ValueError, match="expected 'float' but got 'double'"):
        wrong.intersections(0, None, None, None)


def _keys(*names):
    # Built at run time, so the call's keyword names are equal to, not identical with, the
    # parameter names.
    return ["".join(list(n)) for n in names]


CALL_FORMS = {
    "positional": lambda f: f(0, 0, 3, 0.5, 0),
    "keywords": lambda f: f(use_debug=0, n_links=3, cells_p=0, distance_threshold=0.5, cell_count=0),
    "mixed": lambda f: f(0, 0, distance_threshold=0.5, use_debug=0, n_links=3),
    "star-args": lambda f: f(*[0, 0, 3, 0.5, 0]),
    "star-kwargs": lambda f: f(**dict(zip(
        _keys("cells_p", "cell_count", "n_links", "distance_threshold", "use_debug"),
        [0, 0, 3, 0.5, 0]))),
    "star-both": lambda f: f(*(0, 0), **dict(zip(_keys("use_debug", "n_links", "distance_threshold"), [0, 3, 0.5]))),
    "partial": lambda f: functools.partial(f, 0, cell_count=0)(n_links=3, distance_threshold=0.5, use_debug=0),
    "dunder-call": lambda f: f.__call__(0, 0, 3, 0.5, use_debug=0),
}


@pytest.mark.parametrize("form", CALL_FORMS)
def test_call_forms(ext, form):
    result = CALL_FORMS[form](ext.generate_neighbors)
    assert result.shape == (3,)


@pytest.mark.parametrize("form", ["positional", "keywords", "dict"])
def test_call_forms_broad_phase(ext, form):
    f = ext.get_bb_intersections
    args = [np.zeros((0, 8, 3), np.float32), 0, None, None, np.zeros(0, np.uint8)]
    names = FUNCTIONS["get_bb_intersections"][1]
    if form == "positional":
        result = f(*args)
    elif form == "keywords":
        result = f(link_count=args[4], links=None, bbox=args[0], cell_count=0, link_starts=None)
    else:
        result = f(**dict(zip(_keys(*names), args)))
    assert result == 0 and type(result) is int


# Each attempt runs on the callable and on a plain function of the same name and parameters;
# the callable must end up as the function does (the outcome of the attempt, the attribute's
# value, repr and pickling), or refuse cleanly where it cannot follow (it has no defaults).
ATTRIBUTE_PROGRAM = """
import pickle, re, traceback
ext = __import__(MODULE)
def generate_neighbors(cells_p, cell_count, n_links, distance_threshold, use_debug):
    pass

def attempt(f):
    try:
        exec({action!r}, {{"f": f}})
    except Exception as exc:
        return f"{{type(exc).__name__}}: {{exc}}"
    return "ok"

def pickling(f):
    try:
        return "same object" if pickle.loads(pickle.dumps(f)) is f else "another object"
    except Exception as exc:
        return type(exc).__name__

for f in ext.generate_neighbors, generate_neighbors:
    outcome = attempt(f)
    value = repr(getattr(f, {attribute!r}, "<missing>"))
    shown = re.fullmatch(r"<function (\\S+) at 0x[0-9a-f]+>", repr(f)).group(1)
    print([outcome, value if outcome == "ok" else "", shown, pickling(f)])
try:
    ext.generate_neighbors(None, 0, 0, 0, 0)
except TypeError as exc:
    print(traceback.extract_tb(exc.__traceback__)[-1].name)
"""

ATTRIBUTE_ATTEMPTS = [
    ("__name__", "del f.__name__"),
    ("__name__", "f.__name__ = 5"),
    ("__qualname__", "del f.__qualname__"),
    ("__qualname__", "f.__qualname__ = 5"),
    ("__qualname__", "f.__qualname__ = 'elsewhere.generate_neighbors'"),
    ("__annotations__", "f.__annotations__ = 5"),
    ("__annotations__", "f.__annotations__ = {'cells_p': int}"),
    ("__annotations__", "del f.__annotations__"),
    ("__dict__", "f.__dict__ = 5"),
    ("__dict__", "del f.__dict__"),
    ("__dict__", "f.__dict__ = {'marker': 1}"),
    ("__doc__", "del f.__doc__"),
    ("__module__", "del f.__module__"),
    ("__module__", "f.__module__ = 5"),
    ("__defaults__", "f.__defaults__ = (0,)"),
    ("__defaults__", "del f.__defaults__"),
    ("__kwdefaults__", "f.__kwdefaults__ = {'use_debug': 0}"),
]


@pytest.mark.parametrize("attribute, action", ATTRIBUTE_ATTEMPTS)
def test_attributes_behave_as_a_functions(python_subprocess, MODULE_NAME, attribute, action):
    code, out, err = python_subprocess(ATTRIBUTE_PROGRAM.format(attribute=attribute, action=action))
    assert code == 0, err
    callable_line, function_line, traceback_entry = out.splitlines()
    outcome, value, shown, pickled = eval(callable_line)
    if attribute in ("__defaults__", "__kwdefaults__"):
        assert outcome == (f"AttributeError: attribute '{attribute}' of "
                           f"'{MODULE_NAME}.function' objects is not writable")
        assert (shown, pickled) == ("generate_neighbors", "same object")
    else:
        assert [outcome, value, shown, pickled] == eval(function_line)
    assert traceback_entry == f"{MODULE_NAME}.generate_neighbors"
