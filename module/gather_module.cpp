// cellprox._gather: joins per-cell numpy arrays into one array and takes per-cell bounds, for
// python/cellprox/cells.py. numpy pays a fixed cost for every array it joins, and cells come as
// hundreds of thousands of small ones; here it is one loop over their buffers. Anything out of the ordinary (another type, mixed
// item types, another row width) is left to the package's own path, which names the cell at
// fault: gather then returns None instead of raising.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

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

// Exports `object` as the next of `views`: a C-contiguous array of floats (kind 'f') or
// integers (kind 'i') of `itemsize` bytes. Returns 0, or -1 with TypeError set.
int take_array(HeldViews& views, Py_ssize_t next, PyObject* object, const char* name, int flags,
               char kind, Py_ssize_t itemsize) {
    if (!views.take(object, flags | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
        PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous array", name);
        return -1;
    }
    const Py_buffer& view = views[next];
    const char code = plain_code(view);
    const bool is_float = code == 'f' || code == 'd';
    const bool is_integer = code != 0 && !is_float && code != 'e';
    if (view.itemsize != itemsize || (kind == 'f' ? !is_float : !is_integer)) {
        PyErr_Format(PyExc_TypeError, "%s must be %s", name,
                     kind == 'f' ? "float32" : "int64");
        return -1;
    }
    return 0;
}

PyObject* run_bounds(PyObject*, PyObject* args) {
    PyObject *points_object, *counts_object, *lower_object, *upper_object;
    if (!PyArg_ParseTuple(args, "OOOO:run_bounds", &points_object, &counts_object, &lower_object,
                          &upper_object)) {
        return nullptr;
    }
    HeldViews views(4);
    if (!views.allocated()) return PyErr_NoMemory();
    if (take_array(views, 0, points_object, "points", PyBUF_ND, 'f', 4) < 0 ||
        take_array(views, 1, counts_object, "counts", PyBUF_ND, 'i', 8) < 0 ||
        take_array(views, 2, lower_object, "lower", PyBUF_ND | PyBUF_WRITABLE, 'f', 4) < 0 ||
        take_array(views, 3, upper_object, "upper", PyBUF_ND | PyBUF_WRITABLE, 'f', 4) < 0) {
        return nullptr;
    }
    const Py_buffer &points = views[0], &counts = views[1], &lower = views[2], &upper = views[3];
    const Py_ssize_t n = counts.len / 8;
    Py_ssize_t remaining = points.len / 12;
    if (points.len % 12 != 0 || lower.len != n * 12 || upper.len != n * 12) {
        PyErr_SetString(PyExc_ValueError,
                        "points must be (N, 3) and lower and upper (n, 3), n the length of counts");
        return nullptr;
    }
    const auto* point = static_cast<const float*>(points.buf);
    const auto* count = static_cast<const int64_t*>(counts.buf);
    auto* low = static_cast<float*>(lower.buf);
    auto* high = static_cast<float*>(upper.buf);
    for (Py_ssize_t i = 0; i < n; ++i, low += 3, high += 3) {
        const int64_t rows = count[i];
        if (rows < 0 || rows > remaining) {
            PyErr_SetString(PyExc_ValueError, "counts must be >= 0 and add up to the points' rows");
            return nullptr;
        }
        remaining -= rows;
        if (rows == 0) {
            low[0] = low[1] = low[2] = high[0] = high[1] = high[2] = 0.0f;
            continue;
        }
        float l[3] = {point[0], point[1], point[2]};
        float h[3] = {point[0], point[1], point[2]};
        for (int64_t r = 1; r < rows; ++r) {
            const float* p = point + 3 * r;
            for (int a = 0; a < 3; ++a) {
                l[a] = keep_min(l[a], p[a]);
                h[a] = keep_max(h[a], p[a]);
            }
        }
        std::memcpy(low, l, sizeof l);
        std::memcpy(high, h, sizeof h);
        point += 3 * rows;
    }
    if (remaining != 0) {
        PyErr_SetString(PyExc_ValueError, "counts must be >= 0 and add up to the points' rows");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// A confirmed link: its sort key (smaller cell in the high half, as the package forms it in
// int64) and its distance.
struct Confirmed {
    int64_t key;
    float distance;
};

// Sorts by key, keeping equal keys in their order: a bottom-up merge sort through a buffer of
// the same length. std::stable_sort would take its buffer from the C++ runtime's operator new,
// which ties the module to a newer C++ runtime than the oldest Linux the wheels are built for.
// False, with nothing changed, when the buffer cannot be had.
bool stable_sort_by_key(Confirmed* items, Py_ssize_t n) {
    Scratch<Confirmed> buffer(static_cast<size_t>(n));
    if (buffer.get() == nullptr) return false;
    Confirmed* from = items;
    Confirmed* to = buffer.get();
    for (Py_ssize_t width = 1; width < n; width *= 2) {
        for (Py_ssize_t lo = 0; lo < n; lo += 2 * width) {
            const Py_ssize_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            Py_ssize_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) to[k++] = from[j].key < from[i].key ? from[j++] : from[i++];
            while (i < mid) to[k++] = from[i++];
            while (j < hi) to[k++] = from[j++];
        }
        std::swap(from, to);
    }
    if (from != items) std::memcpy(items, from, static_cast<size_t>(n) * sizeof(Confirmed));
    return true;
}

inline int64_t pair_key(int32_t a, int32_t b) {
    const int32_t low = a < b ? a : b, high = a < b ? b : a;
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<int64_t>(low)) << 32) |
           static_cast<int64_t>(high);
}

// Sorting all confirmed links by key, stably, as numpy's stable argsort would: the links in
// slot order mostly are in key order already (rows come in order and hold their cells in
// ascending order), so those that keep the order so far stay where they are, only the others
// are sorted, and the two runs are merged. No later kept link ties with an earlier set-aside
// one (its key exceeds it), so a merge that takes the kept run first on ties stays stable.
PyObject* collect_pairs(PyObject*, PyObject* args) {
    PyObject *links_object, *count_object, *distances_object, *link_pairs_object, *pairs_object,
        *confirmed_object;
    if (!PyArg_ParseTuple(args, "OOOOOO:collect_pairs", &links_object, &count_object,
                          &distances_object, &link_pairs_object, &pairs_object,
                          &confirmed_object)) {
        return nullptr;
    }
    HeldViews views(6);
    if (!views.allocated()) return PyErr_NoMemory();
    if (take_array(views, 0, links_object, "links", PyBUF_ND, 'i', 4) < 0 ||
        take_array(views, 1, count_object, "link_count", PyBUF_ND, 'i', 1) < 0 ||
        take_array(views, 2, distances_object, "link_distances", PyBUF_ND, 'f', 4) < 0 ||
        take_array(views, 3, link_pairs_object, "link_pairs", PyBUF_ND | PyBUF_WRITABLE, 'i', 4) < 0 ||
        take_array(views, 4, pairs_object, "pairs", PyBUF_ND | PyBUF_WRITABLE, 'i', 4) < 0 ||
        take_array(views, 5, confirmed_object, "distances", PyBUF_ND | PyBUF_WRITABLE, 'f', 4) < 0) {
        return nullptr;
    }
    const Py_buffer& links = views[0];
    const Py_ssize_t n = views[1].len, slots = views[2].len / 4, m = views[5].len / 4;
    if (links.ndim != 2 || links.shape[0] != n || views[3].len != slots * 8 || views[4].len != m * 8) {
        Py_RETURN_FALSE;
    }
    const Py_ssize_t width = links.shape[1];
    const auto* row = static_cast<const int32_t*>(links.buf);
    const auto* count = static_cast<const uint8_t*>(views[1].buf);
    const auto* distance = static_cast<const float*>(views[2].buf);
    auto* link_pair = static_cast<int32_t*>(views[3].buf);
    auto* pair = static_cast<char*>(views[4].buf);
    auto* confirmed_distance = static_cast<float*>(views[5].buf);

    // One pass: the slots' cells, the kept run (keys where the pairs go, distances where theirs
    // go, from the front) and the rest (from the back, to be sorted).
    Py_ssize_t slot = 0, kept = 0, aside = 0;
    int64_t last = INT64_MIN;
    for (Py_ssize_t i = 0; i < n; ++i, row += width) {
        const Py_ssize_t filled = count[i];
        if (filled > width || filled > slots - slot) Py_RETURN_FALSE;
        for (Py_ssize_t j = 0; j < filled; ++j, ++slot) {
            const int32_t owner = static_cast<int32_t>(i), other = row[j];
            link_pair[2 * slot] = owner;
            link_pair[2 * slot + 1] = other;
            if (!(distance[slot] >= 0.0f)) continue;
            if (kept + aside >= m) Py_RETURN_FALSE;
            const int64_t key = pair_key(owner, other);
            Py_ssize_t at;
            if (key < last) {
                at = m - ++aside;
            } else {
                last = key;
                at = kept++;
            }
            std::memcpy(pair + 8 * at, &key, 8);
            confirmed_distance[at] = distance[slot];
        }
    }
    if (slot != slots || kept + aside != m) Py_RETURN_FALSE;
    Scratch<Confirmed> set_aside(static_cast<size_t>(aside));
    if (set_aside.get() == nullptr) return PyErr_NoMemory();
    Confirmed* other_run = set_aside.get();
    for (Py_ssize_t k = 0; k < aside; ++k) {      // back in slot order
        std::memcpy(&other_run[k].key, pair + 8 * (m - 1 - k), 8);
        other_run[k].distance = confirmed_distance[m - 1 - k];
    }
    if (!stable_sort_by_key(other_run, aside)) return PyErr_NoMemory();
    // Merged from the back, in place: the kept run's keys sit at the front of `pairs`.
    Py_ssize_t a = kept, b = aside;
    for (Py_ssize_t out = m; out-- > 0;) {
        int64_t kept_key = 0;
        if (a > 0) std::memcpy(&kept_key, pair + 8 * (a - 1), 8);
        if (b > 0 && (a == 0 || other_run[b - 1].key >= kept_key)) {
            --b;
            std::memcpy(pair + 8 * out, &other_run[b].key, 8);
            confirmed_distance[out] = other_run[b].distance;
        } else {
            --a;
            std::memcpy(pair + 8 * out, &kept_key, 8);
            confirmed_distance[out] = confirmed_distance[a];
        }
    }
    // Each key becomes its two cells, as (key >> 32, key & 0xFFFFFFFF) cast to int32.
    for (Py_ssize_t e = 0; e < m; ++e) {
        int64_t key;
        std::memcpy(&key, pair + 8 * e, 8);
        const int32_t cells[2] = {static_cast<int32_t>(key >> 32),
                                  static_cast<int32_t>(static_cast<uint32_t>(key & 0xFFFFFFFF))};
        std::memcpy(pair + 8 * e, cells, 8);
    }
    Py_RETURN_TRUE;
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
    {"collect_pairs", collect_pairs, METH_VARARGS,
     "collect_pairs(links, link_count, link_distances, link_pairs, pairs, distances) -> bool\n\n"
     "Fills link_pairs ((L, 2) int32) with the cells of each result slot (row owner first,\n"
     "rows' filled slots in order), and pairs ((m, 2) int32) and distances ((m,) float32) with\n"
     "the links whose distance is >= 0, smaller cell first, stably sorted. False, with nothing\n"
     "decided, when the sizes disagree (L the filled slots, m the links confirmed) or a count\n"
     "exceeds its row."},
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
