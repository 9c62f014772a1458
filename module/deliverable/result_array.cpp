#include "module/deliverable/result_array.h"

#include "module/deliverable/module_state.h"

namespace cellprox {

namespace {

PyObject* lookup_np() {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(state.instance), state.name_np);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), state.name_np);
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.name_np);
        }
    }
    return Py_XNewRef(value);
}

PyObject* call_full(PyObject* np, int32_t n_links) {
    PyObject* full = PyObject_GetAttr(np, state.name_full);
    if (full == nullptr) return nullptr;
    PyObject* float32 = PyObject_GetAttr(np, state.name_float32);
    PyObject* length = float32 ? PyLong_FromLong(n_links) : nullptr;
    PyObject* result = nullptr;
    if (length != nullptr) {
        PyObject* args[] = {length, state.minus_one, float32};
        result = PyObject_Vectorcall(full, args, 2, state.dtype_kwnames);
    }
    Py_XDECREF(length);
    Py_XDECREF(float32);
    Py_DECREF(full);
    return result;
}

}  // namespace

PyObject* new_result_array(int32_t n_links, HeldBuffer& held, StridedView* view) {
    PyObject* np = lookup_np();
    if (np == nullptr) return nullptr;
    PyObject* result = call_full(np, n_links);
    Py_DECREF(np);
    if (result == nullptr) return nullptr;
    if (!PyObject_TypeCheck(result, state.ndarray_type)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(result)->tp_name,
                     state.ndarray_type->tp_name);
        Py_DECREF(result);
        return nullptr;
    }
    if (held.bind(result, 1, FLOAT32_ITEM, view) < 0) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

}  // namespace cellprox
