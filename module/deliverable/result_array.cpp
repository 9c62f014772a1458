// Making generate_neighbors' result with the module's own np.full, bound as a writable view.
#include "module/deliverable/result_array.h"

#include "module/deliverable/module_state.h"
#include "module/shared/owned_ref.h"

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
    const OwnedRef full(PyObject_GetAttr(np, state.name_full));
    if (!full) return nullptr;
    const OwnedRef float32(PyObject_GetAttr(np, state.name_float32));
    if (!float32) return nullptr;
    const OwnedRef length(PyLong_FromLong(n_links));
    if (!length) return nullptr;
    PyObject* args[] = {length.get(), state.minus_one, float32.get()};
    return PyObject_Vectorcall(full.get(), args, 2, state.dtype_kwnames);
}

}  // namespace

PyObject* new_result_array(int32_t n_links, HeldBuffer& held, StridedView* view) {
    OwnedRef result;
    {
        const OwnedRef np(lookup_np());
        if (!np) return nullptr;
        result.reset(call_full(np.get(), n_links));
    }
    if (!result) return nullptr;
    if (!PyObject_TypeCheck(result.get(), state.ndarray_type)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(result.get())->tp_name,
                     state.ndarray_type->tp_name);
        return nullptr;
    }
    if (held.bind(result.get(), 1, FLOAT32_ITEM, view) < 0) return nullptr;
    return result.release();
}

}  // namespace cellprox
