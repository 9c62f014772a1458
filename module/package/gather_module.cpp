// cellprox._gather, the package's private module for building cell sets (python/cellprox/cells.py):
// thin wrappers that parse their arguments, take the buffers and call the plain cores of
// kernels/package/cells/ (joining per-cell arrays, per-cell bounds and means; the checked build
// of the rows and the cell records are in cell_build_calls.cpp). Joining
// leaves anything out of the ordinary (another type, mixed item types, another row width) to the
// package's own path, which names the cell at fault: gather then returns None instead of raising.
#include <cstdint>

#include "kernels/package/cells/joined_rows.h"
#include "kernels/package/cells/number_types.h"
#include "kernels/package/cells/point_runs.h"
#include "module/package/cell_build_calls.h"
#include "module/shared/buffer_guard.h"
#include "module/shared/owned_ref.h"
#include "module/shared/scratch_memory.h"
#include "platform/python.h"

namespace cellprox {

namespace {

struct GatherState {
    PyObject* ndarray_type;   // numpy.ndarray: only its exact instances are joined here
};

GatherState& state_of(PyObject* module) { return *static_cast<GatherState*>(PyModule_GetState(module)); }

// Whether a buffer is (rows, width) of the type code all the arrays must share.
bool joinable(const Py_buffer& view, Py_ssize_t width, char code) {
    return view.ndim == 2 && view.shape[1] == width && view.suboffsets == nullptr &&
           plain_code(view) == code;
}

// The blocks joined into a new float32 or int32 array, converted from their own real or
// integer type; None when a number did not survive (not finite in float32, beyond int32), null
// with the error set.
PyObject* join_converted(PyObject* allocate, const Scratch<StridedRows>& blocks, Py_ssize_t n, Py_ssize_t total,
                         Py_ssize_t width, const Py_buffer& first, char target, int64_t* counts) {
    BufferGuard data_view;
    RealType real{};
    IndexType index{};
    const bool real_source = target == 'f' && real_type_of(first, real);
    if (!real_source && !(target == 'i' && index_type_of(first, index))) Py_RETURN_NONE;
    const char* format = real_source ? "f" : "i";
    OwnedRef data(new_array(allocate, Py_BuildValue("(nn)", total, width), format, total * width * 4, data_view));
    if (!data) return nullptr;
    void* out = data_view.view().buf;
    const bool kept = real_source ? join_float32_rows(blocks.data(), n, width, real, static_cast<float*>(out), counts)
                                  : join_int32_rows(blocks.data(), n, width, index, static_cast<int32_t*>(out), counts);
    if (!kept) Py_RETURN_NONE;
    return data.release();
}

// Each array is exported once: checked and counted, then, with the output at its exact size,
// copied (converted to float32 or int32 as `target` asks, unless a number would not survive).
PyObject* join(PyObject* module, PyObject* sequence, Py_ssize_t width, PyObject* allocate, char target) {
    auto* ndarray = reinterpret_cast<PyTypeObject*>(state_of(module).ndarray_type);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence);
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    if (n == 0 || width <= 0 || width > 64) Py_RETURN_NONE;
    Scratch<BufferGuard> views;
    Scratch<StridedRows> blocks;
    if (views.allocate(n) < 0 || blocks.allocate(n) < 0) return nullptr;
    char code = 0;
    Py_ssize_t item_size = 0, total = 0;
    // Exporting an exact ndarray runs no Python code, so the sequence cannot change meanwhile;
    // from here on only the held exports are read.
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_TYPE(items[i]) != ndarray) Py_RETURN_NONE;
        if (!views[i].take(items[i], PyBUF_RECORDS_RO)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        const Py_buffer& view = views[i].view();
        if (i == 0) {
            code = plain_code(view);
            item_size = view.itemsize;
        }
        if (code == 0 || !joinable(view, width, code)) Py_RETURN_NONE;
        if (view.shape[0] > PY_SSIZE_T_MAX / (width * item_size) - total) Py_RETURN_NONE;
        blocks[i] = StridedRows{static_cast<const char*>(view.buf), view.shape[0], view.strides[0], view.strides[1]};
        total += view.shape[0];
    }
    BufferGuard counts_view;
    OwnedRef counts(new_array(allocate, Py_BuildValue("(n)", n), "q",
                              n * static_cast<Py_ssize_t>(sizeof(int64_t)), counts_view));
    if (!counts) return nullptr;
    int64_t* count_data = static_cast<int64_t*>(counts_view.view().buf);
    const bool converts = (target == 'f' && code != 'f') || (target == 'i' && code != 'i');
    OwnedRef data(converts ? join_converted(allocate, blocks, n, total, width, views[0].view(), target, count_data)
                           : Py_NewRef(Py_None));
    if (!data) return nullptr;
    if (data.get() == Py_None) {
        const char format[2] = {code, '\0'};
        BufferGuard data_view;
        data.reset(new_array(allocate, Py_BuildValue("(nn)", total, width), format, total * width * item_size,
                             data_view));
        if (!data) return nullptr;
        join_rows(blocks.data(), n, width, item_size, static_cast<char*>(data_view.view().buf), count_data);
    }
    return Py_BuildValue("(NN)", data.release(), counts.release());
}

PyObject* method_gather(PyObject* module, PyObject* args) {
    PyObject *arrays = nullptr, *allocate = nullptr;
    Py_ssize_t width = 0;
    const char* target = "";
    if (!PyArg_ParseTuple(args, "OnO|s:gather", &arrays, &width, &allocate, &target)) return nullptr;
    if (target[0] != '\0' && ((target[0] != 'f' && target[0] != 'i') || target[1] != '\0')) {
        PyErr_SetString(PyExc_ValueError, "gather: into must be '', 'f' (float32) or 'i' (int32)");
        return nullptr;
    }
    OwnedRef sequence(PySequence_Fast(arrays, "arrays must be a sequence"));
    if (!sequence) return nullptr;
    return join(module, sequence.get(), width, allocate, target[0]);
}

// Takes points ((N, 3) float32), counts ((n,) int64) and `outputs` writable (n, 3) float32
// arrays. False with the error set.
bool take_runs(PyObject* args, const char* format, BufferGuard* views, int outputs) {
    PyObject* objects[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!PyArg_ParseTuple(args, format, &objects[0], &objects[1], &objects[2], &objects[3])) return false;
    static const char* names[4] = {"points", "counts", "lower", "upper"};
    if (!take_number_array(views[0], objects[0], names[0], 2, 'f', 4) ||
        !take_number_array(views[1], objects[1], names[1], 1, 'i', 8)) {
        return false;
    }
    const Py_ssize_t n = views[1].view().len / 8;
    for (int k = 0; k < outputs; ++k) {
        const char* name = outputs == 1 ? "means" : names[2 + k];
        if (!take_number_array(views[2 + k], objects[2 + k], name, 2, 'f', 4, true)) return false;
        if (views[2 + k].view().len != n * 12) {
            PyErr_Format(PyExc_ValueError, "%s must be (n, 3), n the length of counts", name);
            return false;
        }
    }
    if (views[0].view().len % 12 != 0) {
        PyErr_SetString(PyExc_ValueError, "points must be (N, 3)");
        return false;
    }
    return true;
}

PointRuns runs_of(const BufferGuard& points, const BufferGuard& counts) {
    return {static_cast<const float*>(points.view().buf), points.view().len / 12,
            static_cast<const int64_t*>(counts.view().buf), counts.view().len / 8};
}

PyObject* runs_done(bool complete) {
    if (!complete) {
        PyErr_SetString(PyExc_ValueError, "counts must be >= 0 and add up to the points' rows");
        return nullptr;
    }
    Py_RETURN_NONE;
}

float* floats_of(const BufferGuard& guard) { return static_cast<float*>(guard.view().buf); }

PyObject* method_run_bounds(PyObject*, PyObject* args) {
    BufferGuard views[4];
    if (!take_runs(args, "OOOO:run_bounds", views, 2)) return nullptr;
    return runs_done(run_bounds(runs_of(views[0], views[1]), floats_of(views[2]), floats_of(views[3])));
}

PyObject* method_run_means(PyObject*, PyObject* args) {
    BufferGuard views[3];
    if (!take_runs(args, "OOO:run_means", views, 1)) return nullptr;
    return runs_done(run_means(runs_of(views[0], views[1]), floats_of(views[2])));
}

int exec_module(PyObject* module) {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    state_of(module).ndarray_type = PyObject_GetAttrString(numpy, "ndarray");
    Py_DECREF(numpy);
    return state_of(module).ndarray_type != nullptr ? 0 : -1;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module).ndarray_type);
    return 0;
}

int clear(PyObject* module) {
    Py_CLEAR(state_of(module).ndarray_type);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyMethodDef methods[] = {
    {"gather", method_gather, METH_VARARGS,
     "gather(arrays, width, allocate, into='') -> (data, counts) or None\n\n"
     "The rows of every array back to back ((N, width), their item type) and each array's row\n"
     "count ((n,) int64), in arrays made by allocate(shape, struct_code) (numpy.empty), when\n"
     "every array is an exact numpy.ndarray of shape (k, width) and all share one native number\n"
     "type; otherwise None, and the caller joins them itself. into 'f' converts float64 rows to\n"
     "float32 as they are joined, 'i' int64 and unsigned rows to int32, unless a number would\n"
     "not survive (not finite in float32, beyond int32): those are joined as they are."},
    {"offset_counts", method_offset_counts, METH_VARARGS, offset_counts_doc},
    {"float32_rows", method_float32_rows, METH_VARARGS, float32_rows_doc},
    {"int32_column", method_int32_column, METH_VARARGS, int32_column_doc},
    {"run_bounds", method_run_bounds, METH_VARARGS,
     "run_bounds(points, counts, lower, upper) -> None\n\n"
     "Fills lower and upper ((n, 3) float32) with the bounds of consecutive runs of points\n"
     "((N, 3) float32; run i holds counts[i] rows, int64), as numpy.minimum.reduceat and\n"
     "numpy.maximum.reduceat take them; a run without points gets zeros."},
    {"write_records", method_write_records, METH_VARARGS, write_records_doc},
    {"build_rows", method_build_rows, METH_VARARGS, build_rows_doc},
    {"run_means", method_run_means, METH_VARARGS,
     "run_means(points, counts, means) -> None\n\n"
     "Fills means ((n, 3) float32) with the mean of each run of points ((N, 3) float32; run i\n"
     "holds counts[i] rows, int64), summed in double and rounded once; NaN for an empty run."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "cellprox._gather",
    "Joining per-cell arrays, building their rows and records and taking per-cell bounds in native\n"
    "code, for cellprox.cells.",
    static_cast<Py_ssize_t>(sizeof(GatherState)),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace

}  // namespace cellprox

PyMODINIT_FUNC PyInit__gather() { return PyModuleDef_Init(&cellprox::definition); }
