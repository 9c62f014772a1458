// cellprox._gather: joins per-cell numpy arrays into one array and takes per-cell bounds, for
// python/cellprox/cells.py. numpy pays a fixed cost for every array it joins, and cells come as
// hundreds of thousands of small ones; here it is one loop over their buffers. Anything out of the ordinary (another type, mixed
// item types, another row width) is left to the package's own path, which names the cell at
// fault: gather then returns None instead of raising.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/shared/buffer_guard.h"
#include "platform/python.h"

namespace cellprox {

namespace {

struct GatherState {
    PyObject* ndarray_type;   // numpy.ndarray: only its exact instances are joined here
};

GatherState& state_of(PyObject* module) { return *static_cast<GatherState*>(PyModule_GetState(module)); }

// The item size a native struct code stands for; 0 for codes not joined here.
Py_ssize_t native_item_size(char code) {
    switch (code) {
        case 'b': case 'B': return 1;
        case 'h': case 'H': case 'e': return 2;
        case 'i': case 'I': case 'f': return 4;
        case 'l': case 'L': return static_cast<Py_ssize_t>(sizeof(long));
        case 'q': case 'Q': case 'd': return 8;
        default: return 0;
    }
}

// The struct code of a buffer of one native-order number type, or 0.
char plain_code(const Py_buffer& view) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return 0;
    return native_item_size(format[0]) == view.itemsize ? format[0] : 0;
}

// Whether a buffer is (rows, width) of the type code all the arrays must share.
bool joinable(const Py_buffer& view, Py_ssize_t width, char code) {
    return view.ndim == 2 && view.shape[1] == width && view.suboffsets == nullptr &&
           plain_code(view) == code;
}

void copy_rows(const Py_buffer& view, char* out) {
    const Py_ssize_t rows = view.shape[0], width = view.shape[1], item = view.itemsize;
    if (view.strides[1] == item && view.strides[0] == width * item) {
        if (rows > 0) std::memcpy(out, view.buf, static_cast<size_t>(rows * width * item));
        return;
    }
    const char* row = static_cast<const char*>(view.buf);
    for (Py_ssize_t r = 0; r < rows; ++r, row += view.strides[0]) {
        const char* value = row;
        for (Py_ssize_t c = 0; c < width; ++c, value += view.strides[1], out += item) {
            std::memcpy(out, value, static_cast<size_t>(item));
        }
    }
}

// Releases a reference on every path out of the scope, unless handed over.
class OwnedObject {
public:
    explicit OwnedObject(PyObject* object) : object_(object) {}
    ~OwnedObject() { Py_XDECREF(object_); }
    OwnedObject(const OwnedObject&) = delete;
    OwnedObject& operator=(const OwnedObject&) = delete;

    PyObject* get() const { return object_; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    PyObject* object_;
};

// The exports of up to a given number of objects, held until the scope ends and released on
// every path out of it.
class HeldViews {
public:
    explicit HeldViews(Py_ssize_t n)
        : views_(static_cast<size_t>(n) <= SIZE_MAX / sizeof(Py_buffer)
                     ? static_cast<Py_buffer*>(PyMem_RawMalloc(static_cast<size_t>(n) * sizeof(Py_buffer)))
                     : nullptr) {}
    ~HeldViews() {
        for (Py_ssize_t i = 0; i < held_; ++i) PyBuffer_Release(&views_[i]);
        PyMem_RawFree(views_);
    }
    HeldViews(const HeldViews&) = delete;
    HeldViews& operator=(const HeldViews&) = delete;

    bool allocated() const { return views_ != nullptr; }
    // Exports the next object with `flags`; false, with the exporter's error set, if it cannot.
    bool take(PyObject* object, int flags) {
        if (PyObject_GetBuffer(object, &views_[held_], flags) < 0) return false;
        ++held_;
        return true;
    }
    const Py_buffer& operator[](Py_ssize_t i) const { return views_[i]; }
    Py_ssize_t held() const { return held_; }

private:
    Py_buffer* views_;
    Py_ssize_t held_ = 0;
};

// Scratch memory of `n` items, freed on every path out of the scope.
template <typename T>
class Scratch {
public:
    explicit Scratch(size_t n)
        : items_(n <= SIZE_MAX / sizeof(T) ? static_cast<T*>(PyMem_RawMalloc(n ? n * sizeof(T) : 1))
                                           : nullptr) {}
    ~Scratch() { PyMem_RawFree(items_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* get() const { return items_; }

private:
    T* items_;
};

// A new array made by the caller's `allocate(shape, code)` (the package passes numpy.empty, so
// the result is numpy's own, with its allocator's advice for large pages), exported writable as
// the next of `views`, which must hold exactly `bytes` bytes.
PyObject* new_array(PyObject* allocate, PyObject* shape, const char* code, Py_ssize_t bytes,
                    HeldViews& views) {
    if (shape == nullptr) return nullptr;
    OwnedObject array(PyObject_CallFunction(allocate, "Os", shape, code));
    Py_DECREF(shape);
    if (array.get() == nullptr) return nullptr;
    if (!views.take(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return nullptr;
    if (views[views.held() - 1].len != bytes) {
        PyErr_SetString(PyExc_ValueError, "allocate must return an array of the shape and type asked");
        return nullptr;
    }
    return array.release();
}

// Each array is exported once: checked and counted, then, with the output at its exact size,
// copied.
PyObject* join(PyObject* module, PyObject* sequence, Py_ssize_t width, PyObject* allocate) {
    auto* ndarray = reinterpret_cast<PyTypeObject*>(state_of(module).ndarray_type);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence);
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    if (n == 0 || width <= 0 || width > 64) Py_RETURN_NONE;
    HeldViews views(n), outputs(2);
    if (!views.allocated() || !outputs.allocated()) return PyErr_NoMemory();
    Scratch<int64_t> counted(static_cast<size_t>(n));
    if (counted.get() == nullptr) return PyErr_NoMemory();
    int64_t* count = counted.get();
    char code = 0;
    Py_ssize_t row_bytes = 0, total = 0;
    // Exporting an exact ndarray runs no Python code, so the sequence cannot change meanwhile;
    // from here on only the held exports are read.
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_TYPE(items[i]) != ndarray) Py_RETURN_NONE;
        if (!views.take(items[i], PyBUF_RECORDS_RO)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        const Py_buffer& view = views[i];
        if (i == 0) {
            code = plain_code(view);
            row_bytes = width * view.itemsize;
        }
        if (code == 0 || !joinable(view, width, code)) Py_RETURN_NONE;
        if (view.shape[0] > PY_SSIZE_T_MAX / row_bytes - total) Py_RETURN_NONE;
        count[i] = view.shape[0];
        total += view.shape[0];
    }
    const char format[2] = {code, '\0'};
    OwnedObject data(new_array(allocate, Py_BuildValue("(nn)", total, width), format,
                               total * row_bytes, outputs));
    if (data.get() == nullptr) return nullptr;
    OwnedObject counts(new_array(allocate, Py_BuildValue("(n)", n), "q",
                                 n * static_cast<Py_ssize_t>(sizeof(int64_t)), outputs));
    if (counts.get() == nullptr) return nullptr;
    std::memcpy(outputs[1].buf, count, static_cast<size_t>(n) * sizeof(int64_t));
    char* out = static_cast<char*>(outputs[0].buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        copy_rows(views[i], out);
        out += views[i].shape[0] * row_bytes;
    }
    return Py_BuildValue("(NN)", data.release(), counts.release());
}

PyObject* gather(PyObject* module, PyObject* args) {
    PyObject *arrays = nullptr, *allocate = nullptr;
    Py_ssize_t width = 0;
    if (!PyArg_ParseTuple(args, "OnO:gather", &arrays, &width, &allocate)) return nullptr;
    PyObject* sequence = PySequence_Fast(arrays, "arrays must be a sequence");
    if (sequence == nullptr) return nullptr;
    PyObject* result = join(module, sequence, width, allocate);
    Py_DECREF(sequence);
    return result;
}

// Minimum and maximum as numpy's minimum and maximum reduce, so that ties between 0.0 and -0.0
// resolve the same way: the running value stays only if strictly smaller (larger).
inline float keep_min(float running, float value) { return running < value ? running : value; }
inline float keep_max(float running, float value) { return running > value ? running : value; }

// Runs f(first_point, rows, i) over the n runs of `points` ((N, 3) float32) that `counts` splits
// them into. False, with ValueError set, when the counts are negative or do not add up.
template <typename RunFunction>
bool for_each_run(const Py_buffer& points, const Py_buffer& counts, RunFunction f) {
    const Py_ssize_t n = counts.len / 8;
    Py_ssize_t remaining = points.len / 12;
    const auto* point = static_cast<const float*>(points.buf);
    const auto* count = static_cast<const int64_t*>(counts.buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int64_t rows = count[i];
        if (rows < 0 || rows > remaining) break;
        remaining -= rows;
        f(point, rows, i);
        point += 3 * rows;
        if (i + 1 == n && remaining == 0) return true;
    }
    if (n == 0 && remaining == 0) return true;
    PyErr_SetString(PyExc_ValueError, "counts must be >= 0 and add up to the points' rows");
    return false;
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

PyObject* run_bounds(PyObject*, PyObject* args) {
    BufferGuard views[4];
    if (!take_runs(args, "OOOO:run_bounds", views, 2)) return nullptr;
    auto* low = static_cast<float*>(views[2].view().buf);
    auto* high = static_cast<float*>(views[3].view().buf);
    const bool complete = for_each_run(views[0].view(), views[1].view(), [low, high](const float* point, int64_t rows, Py_ssize_t i) {
        float* l = low + 3 * i;
        float* h = high + 3 * i;
        if (rows == 0) {
            l[0] = l[1] = l[2] = h[0] = h[1] = h[2] = 0.0f;
            return;
        }
        for (int a = 0; a < 3; ++a) l[a] = h[a] = point[a];
        for (int64_t r = 1; r < rows; ++r) {
            for (int a = 0; a < 3; ++a) {
                l[a] = keep_min(l[a], point[3 * r + a]);
                h[a] = keep_max(h[a], point[3 * r + a]);
            }
        }
    });
    if (!complete) return nullptr;
    Py_RETURN_NONE;
}

// The mean of each run, summed in double in the points' order and rounded once to float32; a
// run without points gets NaN.
PyObject* run_means(PyObject*, PyObject* args) {
    BufferGuard views[3];
    if (!take_runs(args, "OOO:run_means", views, 1)) return nullptr;
    auto* means = static_cast<float*>(views[2].view().buf);
    const bool complete = for_each_run(views[0].view(), views[1].view(), [means](const float* point, int64_t rows, Py_ssize_t i) {
        double sum[3] = {0.0, 0.0, 0.0};
        for (int64_t r = 0; r < rows; ++r) {
            for (int a = 0; a < 3; ++a) sum[a] += point[3 * r + a];
        }
        for (int a = 0; a < 3; ++a) means[3 * i + a] = static_cast<float>(sum[a] / static_cast<double>(rows));
    });
    if (!complete) return nullptr;
    Py_RETURN_NONE;
}

// The 64-byte cell records of checked cells, in one pass (assigning numpy's record fields one by
// one would pass over the records ten times). Cell i's arrays start at its running counts;
// links are left unattached.
PyObject* write_records(PyObject*, PyObject* args) {
    PyObject* objects[7];
    if (!PyArg_ParseTuple(args, "OOOOOOO:write_records", &objects[0], &objects[1], &objects[2],
                          &objects[3], &objects[4], &objects[5], &objects[6])) {
        return nullptr;
    }
    BufferGuard records, collections, v_counts, e_counts, origins, vertices, edges;
    if (!records.take(objects[0], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) ||
        !take_number_array(collections, objects[1], "collections", 1, 'i', 4) ||
        !take_number_array(v_counts, objects[2], "v_counts", 1, 'i', 8) ||
        !take_number_array(e_counts, objects[3], "e_counts", 1, 'i', 8) ||
        !take_number_array(origins, objects[4], "origins", 2, 'f', 4) ||
        !take_number_array(vertices, objects[5], "vertex_data", 2, 'f', 4) ||
        !take_number_array(edges, objects[6], "edge_data", 2, 'i', 4)) {
        return nullptr;
    }
    const Py_ssize_t n = collections.view().len / 4;
    if (records.view().len != 64 * n || v_counts.view().len != 8 * n || e_counts.view().len != 8 * n ||
        origins.view().len != 12 * n) {
        PyErr_SetString(PyExc_ValueError, "records, counts and origins must all be for the same cells");
        return nullptr;
    }
    const auto* coll = static_cast<const int32_t*>(collections.view().buf);
    const auto* vc = static_cast<const int64_t*>(v_counts.view().buf);
    const auto* ec = static_cast<const int64_t*>(e_counts.view().buf);
    const auto* origin = static_cast<const float*>(origins.view().buf);
    auto* out = static_cast<char*>(records.view().buf);
    const Py_ssize_t vertex_rows = vertices.view().len / 12, edge_rows = edges.view().len / 8;
    int64_t v_start = 0, e_start = 0;
    for (Py_ssize_t i = 0; i < n; ++i, out += 64) {
        if (vc[i] < 0 || ec[i] < 0 || vc[i] > INT32_MAX || ec[i] > INT32_MAX || v_start + vc[i] > vertex_rows ||
            e_start + ec[i] > edge_rows) {
            PyErr_SetString(PyExc_ValueError, "the counts do not fit the vertex and edge arrays");
            return nullptr;
        }
        const int32_t head[6] = {static_cast<int32_t>(i), coll[i], -1, static_cast<int32_t>(vc[i]),
                                 static_cast<int32_t>(ec[i]), 0};
        const float* o = origin + 3 * i;
        const uint64_t vertex_address = vc[i] > 0 ? reinterpret_cast<uintptr_t>(static_cast<const char*>(vertices.view().buf) + 12 * v_start) : 0;
        const uint64_t edge_address = ec[i] > 0 ? reinterpret_cast<uintptr_t>(static_cast<const char*>(edges.view().buf) + 8 * e_start) : 0;
        const uint64_t none = 0;
        std::memset(out, 0, 64);
        std::memcpy(out, head, sizeof head);
        std::memcpy(out + 24, o, 12);
        std::memcpy(out + 40, &vertex_address, 8);
        std::memcpy(out + 48, &edge_address, 8);
        std::memcpy(out + 56, &none, 8);
        v_start += vc[i];
        e_start += ec[i];
    }
    Py_RETURN_NONE;
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
    {"gather", gather, METH_VARARGS,
     "gather(arrays, width, allocate) -> (data, counts) or None\n\n"
     "The rows of every array back to back ((N, width), their item type) and each array's row\n"
     "count ((n,) int64), in arrays made by allocate(shape, struct_code) (numpy.empty), when\n"
     "every array is an exact numpy.ndarray of shape (k, width) and all share one native number\n"
     "type; otherwise None, and the caller joins them itself."},
    {"run_bounds", run_bounds, METH_VARARGS,
     "run_bounds(points, counts, lower, upper) -> None\n\n"
     "Fills lower and upper ((n, 3) float32) with the bounds of consecutive runs of points\n"
     "((N, 3) float32; run i holds counts[i] rows, int64), as numpy.minimum.reduceat and\n"
     "numpy.maximum.reduceat take them; a run without points gets zeros."},
    {"write_records", write_records, METH_VARARGS,
     "write_records(records, collections, v_counts, e_counts, origins, vertex_data, edge_data) -> None\n\n"
     "Writes the 64-byte cell record of every cell into records (n * 64 writable bytes): its\n"
     "number, collection, counts, origin and the addresses of its rows of vertex_data ((V, 3)\n"
     "float32) and edge_data ((E, 2) int32), which start at the running counts; no links."},
    {"run_means", run_means, METH_VARARGS,
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
    "Joining per-cell arrays and taking per-cell bounds in native code, for cellprox.cells.",
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
