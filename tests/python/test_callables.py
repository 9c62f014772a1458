"""The two callables as Python objects: introspection, method binding, pickling, call forms."""
import copy
import functools
import inspect
import pickle

import numpy as np
import pytest

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
