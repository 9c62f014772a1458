// build_rows, write_records and the checked copies of per-cell numbers (offset_counts,
// float32_rows, int32_column): the buffers taken, the outputs made with numpy.empty (so that the
// thread filling a page touches it first), the kernels run on the team with the lock given away.
// The checked calls leave any type or layout they do not take, and anything they find wrong, to
// the package, which names the cell at fault: they return None.
#include "module/package/cell_build_calls.h"

#include <cstdint>

#include "kernels/package/cells/cell_records.h"
#include "kernels/package/cells/checked_rows.h"
#include "kernels/package/cells/number_columns.h"
#include "module/shared/owned_ref.h"
#include "platform/loops/interpreter_lock.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// The item size a native struct code stands for; 0 for codes not taken here.
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

bool workers_in_range(int workers) {
    if (workers >= 1 && workers <= MAX_WORKERS) return true;
    PyErr_Format(PyExc_ValueError, "workers must be 1 to %d threads", static_cast<int>(MAX_WORKERS));
    return false;
}

// A (rows, width) buffer as the kernels read it; false when it is not one.
bool rows_of(const Py_buffer& view, Py_ssize_t width, StridedRows& rows) {
    if (view.ndim != 2 || view.shape[1] != width || view.suboffsets != nullptr) return false;
    rows = {static_cast<const char*>(view.buf), view.shape[0], view.strides[0], view.strides[1]};
    return true;
}

bool packed_rows(const StridedRows& rows, Py_ssize_t width, Py_ssize_t item_size) {
    return rows.item_stride == item_size && (rows.rows <= 1 || rows.row_stride == width * item_size);
}

// The output for rows the caller keeps when they already are packed rows of the output's type
// (`keep`), else a new (rows, width) array; `target` null for the kept rows.
template <class T>
PyObject* output_rows(PyObject* allocate, PyObject* given, bool keep, const StridedRows& rows,
                      Py_ssize_t width, const char* code, BufferGuard& view, T*& target) {
    if (keep) {
        target = nullptr;
        Py_INCREF(given);
        return given;
    }
    PyObject* array = new_array(allocate, Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows.rows), width),
                                code, static_cast<Py_ssize_t>(rows.rows) * width * static_cast<Py_ssize_t>(sizeof(T)), view);
    target = array != nullptr ? static_cast<T*>(view.view().buf) : nullptr;
    return array;
}

PyObject* new_starts(PyObject* allocate, Py_ssize_t n, BufferGuard& view) {
    return new_array(allocate, Py_BuildValue("(n)", n), "q", 8 * n, view);
}

PyObject* new_means(PyObject* allocate, Py_ssize_t n, BufferGuard& view) {
    return new_array(allocate, Py_BuildValue("(nn)", n, Py_ssize_t{3}), "f", 12 * n, view);
}

// A column of `n` numbers as the kernels read it: a one-dimensional buffer of n, or, when
// `repeat` allows, a single number (no dimensions) repeated n times; false when it is neither.
bool column_of(const Py_buffer& view, Py_ssize_t n, bool repeat, StridedRows& column) {
    if (view.suboffsets != nullptr) return false;
    const char* data = static_cast<const char*>(view.buf);
    if (view.ndim == 1 && view.shape[0] == n) {
        column = {data, n, view.strides[0], view.itemsize};
        return true;
    }
    if (!repeat || view.ndim != 0) return false;
    column = {data, n, 0, view.itemsize};
    return true;
}

// Exports `object` with its strides and format; false, with no error set, when it cannot be.
bool take_any(BufferGuard& view, PyObject* object) {
    if (view.take(object, PyBUF_RECORDS_RO)) return true;
    PyErr_Clear();
    return false;
}

// Runs a checked copy into `output` with the lock given away: then the output, or None when the
// copy found something wrong.
template <class Copy>
PyObject* checked_copy(OwnedRef& output, Copy copy) {
    bool right = false;
    {
        LockReleased lock;
        right = copy();
    }
    if (!right) Py_RETURN_NONE;
    return output.release();
}

}  // namespace

char plain_code(const Py_buffer& view) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return 0;
    return native_item_size(format[0]) == view.itemsize ? format[0] : 0;
}

bool real_type_of(const Py_buffer& view, RealType& type) {
    const char code = plain_code(view);
    if (code != 'f' && code != 'd') return false;
    type = code == 'f' ? RealType::float32 : RealType::float64;
    return true;
}

bool index_type_of(const Py_buffer& view, IndexType& type) {
    const char code = plain_code(view);
    const bool is_signed = code == 'i' || code == 'l' || code == 'q';
    if (!is_signed && code != 'I' && code != 'L' && code != 'Q') return false;
    if (view.itemsize == 4) {
        type = is_signed ? IndexType::int32 : IndexType::uint32;
    } else if (view.itemsize == 8) {
        type = is_signed ? IndexType::int64 : IndexType::uint64;
    } else {
        return false;
    }
    return true;
}

PyObject* new_array(PyObject* allocate, PyObject* shape, const char* code, Py_ssize_t bytes,
                    BufferGuard& view) {
    if (shape == nullptr) return nullptr;
    OwnedRef array(PyObject_CallFunction(allocate, "Os", shape, code));
    Py_DECREF(shape);
    if (!array) return nullptr;
    if (!view.take(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return nullptr;
    if (view.view().len != bytes) {
        PyErr_SetString(PyExc_ValueError, "allocate must return an array of the shape and type asked");
        return nullptr;
    }
    return array.release();
}

PyObject* method_build_rows(PyObject*, PyObject* args) {
    PyObject *vertex_object = nullptr, *v_count_object = nullptr, *edge_object = nullptr,
             *e_count_object = nullptr, *allocate = nullptr;
    int keep = 0, means_asked = 0, workers = 1;
    if (!PyArg_ParseTuple(args, "OOOOOppi:build_rows", &vertex_object, &v_count_object, &edge_object,
                          &e_count_object, &allocate, &keep, &means_asked, &workers) ||
        !workers_in_range(workers)) {
        return nullptr;
    }
    BufferGuard v_counts, e_counts, vertices, edges;
    if (!take_number_array(v_counts, v_count_object, "v_counts", 1, 'i', 8) ||
        !take_number_array(e_counts, e_count_object, "e_counts", 1, 'i', 8)) {
        return nullptr;
    }
    const Py_ssize_t n = v_counts.view().len / 8;
    if (e_counts.view().len != 8 * n) {
        PyErr_SetString(PyExc_ValueError, "v_counts and e_counts must be for the same cells");
        return nullptr;
    }
    CellRows cells{n, static_cast<const int64_t*>(v_counts.view().buf),
                   static_cast<const int64_t*>(e_counts.view().buf), {}, RealType::float32, {}, IndexType::int32};
    if (!take_any(vertices, vertex_object) || !take_any(edges, edge_object) ||
        !rows_of(vertices.view(), 3, cells.vertices) || !real_type_of(vertices.view(), cells.vertex_type) ||
        !rows_of(edges.view(), 2, cells.edges) || !index_type_of(edges.view(), cells.edge_type)) {
        Py_RETURN_NONE;
    }
    const bool keep_vertices = keep && cells.vertex_type == RealType::float32 && packed_rows(cells.vertices, 3, 4);
    const bool keep_edges = keep && cells.edge_type == IndexType::int32 && packed_rows(cells.edges, 2, 4);
    BuiltRows out{};
    BufferGuard vertex_out, edge_out, v_starts, e_starts, means_out;
    OwnedRef vertex_data(output_rows(allocate, vertex_object, keep_vertices, cells.vertices, 3, "f", vertex_out, out.vertices));
    if (!vertex_data) return nullptr;
    OwnedRef edge_data(output_rows(allocate, edge_object, keep_edges, cells.edges, 2, "i", edge_out, out.edges));
    if (!edge_data) return nullptr;
    OwnedRef vertex_starts(new_starts(allocate, n, v_starts));
    OwnedRef edge_starts(vertex_starts ? new_starts(allocate, n, e_starts) : nullptr);
    if (!edge_starts) return nullptr;
    out.vertex_starts = static_cast<int64_t*>(v_starts.view().buf);
    out.edge_starts = static_cast<int64_t*>(e_starts.view().buf);
    OwnedRef means(means_asked ? new_means(allocate, n, means_out) : Py_NewRef(Py_None));
    if (!means) return nullptr;
    if (means_asked) out.means = static_cast<float*>(means_out.view().buf);
    uint32_t faults = 0;
    {
        LockReleased lock;
        faults = build_cell_rows(cells, out, workers);
    }
    if (faults & rows_out_of_memory) return PyErr_NoMemory();
    return Py_BuildValue("(NNNNNI)", vertex_data.release(), edge_data.release(), vertex_starts.release(),
                         edge_starts.release(), means.release(), static_cast<unsigned int>(faults));
}

PyObject* method_offset_counts(PyObject*, PyObject* args) {
    PyObject *object = nullptr, *allocate = nullptr;
    long long rows = 0, limit = 0;
    int workers = 1;
    if (!PyArg_ParseTuple(args, "OLLOi:offset_counts", &object, &rows, &limit, &allocate, &workers) ||
        !workers_in_range(workers)) {
        return nullptr;
    }
    BufferGuard offsets, counts_view;
    StridedRows column{};
    IndexType type{};
    if (!take_any(offsets, object) || offsets.view().ndim != 1 || offsets.view().shape[0] < 1 ||
        !column_of(offsets.view(), offsets.view().shape[0], false, column) || !index_type_of(offsets.view(), type)) {
        Py_RETURN_NONE;
    }
    const Py_ssize_t n = offsets.view().shape[0] - 1;
    OwnedRef counts(new_array(allocate, Py_BuildValue("(n)", n), "q", 8 * n, counts_view));
    if (!counts) return nullptr;
    auto* out = static_cast<int64_t*>(counts_view.view().buf);
    return checked_copy(counts, [&] { return offset_counts(column, type, rows, limit, out, workers); });
}

PyObject* method_float32_rows(PyObject*, PyObject* args) {
    PyObject *object = nullptr, *allocate = nullptr;
    int workers = 1;
    if (!PyArg_ParseTuple(args, "OOi:float32_rows", &object, &allocate, &workers) || !workers_in_range(workers)) {
        return nullptr;
    }
    BufferGuard values, out_view;
    StridedRows rows{};
    RealType type{};
    if (!take_any(values, object) || values.view().ndim != 2 || !rows_of(values.view(), values.view().shape[1], rows) ||
        !real_type_of(values.view(), type)) {
        Py_RETURN_NONE;
    }
    const Py_ssize_t width = values.view().shape[1];
    OwnedRef out(new_array(allocate, Py_BuildValue("(nn)", rows.rows, width), "f", 4 * rows.rows * width, out_view));
    if (!out) return nullptr;
    auto* floats = static_cast<float*>(out_view.view().buf);
    return checked_copy(out, [&] { return float32_rows(rows, width, type, floats, workers); });
}

PyObject* method_int32_column(PyObject*, PyObject* args) {
    PyObject *object = nullptr, *allocate = nullptr;
    Py_ssize_t n = 0;
    int workers = 1;
    if (!PyArg_ParseTuple(args, "OnOi:int32_column", &object, &n, &allocate, &workers) || !workers_in_range(workers)) {
        return nullptr;
    }
    BufferGuard values, out_view;
    StridedRows column{};
    IndexType type{};
    if (n < 0 || !take_any(values, object) || !column_of(values.view(), n, true, column) ||
        !index_type_of(values.view(), type)) {
        Py_RETURN_NONE;
    }
    OwnedRef out(new_array(allocate, Py_BuildValue("(n)", n), "i", 4 * n, out_view));
    if (!out) return nullptr;
    auto* numbers = static_cast<int32_t*>(out_view.view().buf);
    return checked_copy(out, [&] { return int32_column(column, type, numbers, workers); });
}

PyObject* method_write_records(PyObject*, PyObject* args) {
    PyObject* objects[9];
    int workers = 1;
    if (!PyArg_ParseTuple(args, "OOOOOOOOOi:write_records", &objects[0], &objects[1], &objects[2],
                          &objects[3], &objects[4], &objects[5], &objects[6], &objects[7], &objects[8],
                          &workers) ||
        !workers_in_range(workers)) {
        return nullptr;
    }
    BufferGuard records, collections, v_counts, e_counts, v_starts, e_starts, origins, vertices, edges;
    if (!records.take(objects[0], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) ||
        !take_number_array(collections, objects[1], "collections", 1, 'i', 4) ||
        !take_number_array(v_counts, objects[2], "v_counts", 1, 'i', 8) ||
        !take_number_array(e_counts, objects[3], "e_counts", 1, 'i', 8) ||
        !take_number_array(v_starts, objects[4], "vertex_starts", 1, 'i', 8) ||
        !take_number_array(e_starts, objects[5], "edge_starts", 1, 'i', 8) ||
        !take_number_array(origins, objects[6], "origins", 2, 'f', 4) ||
        !take_number_array(vertices, objects[7], "vertex_data", 2, 'f', 4) ||
        !take_number_array(edges, objects[8], "edge_data", 2, 'i', 4)) {
        return nullptr;
    }
    const Py_ssize_t n = collections.view().len / 4;
    if (records.view().len != 64 * n || v_counts.view().len != 8 * n || e_counts.view().len != 8 * n ||
        v_starts.view().len != 8 * n || e_starts.view().len != 8 * n || origins.view().len != 12 * n) {
        PyErr_SetString(PyExc_ValueError, "records, counts, starts and origins must all be for the same cells");
        return nullptr;
    }
    const CellColumns cells{n,
                            static_cast<const int32_t*>(collections.view().buf),
                            static_cast<const int64_t*>(v_counts.view().buf),
                            static_cast<const int64_t*>(e_counts.view().buf),
                            static_cast<const int64_t*>(v_starts.view().buf),
                            static_cast<const int64_t*>(e_starts.view().buf),
                            static_cast<const float*>(origins.view().buf),
                            static_cast<const float*>(vertices.view().buf),
                            vertices.view().len / 12,
                            static_cast<const int32_t*>(edges.view().buf),
                            edges.view().len / 8};
    bool written = false;
    {
        LockReleased lock;
        written = write_cell_records(cells, static_cast<char*>(records.view().buf), workers);
    }
    if (!written) {
        PyErr_SetString(PyExc_ValueError, "the counts and starts do not fit the vertex and edge arrays");
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char build_rows_doc[] =
    "build_rows(vertices, v_counts, edges, e_counts, allocate, keep, means, workers)\n"
    "    -> (vertex_data, edge_data, vertex_starts, edge_starts, means, faults) or None\n\n"
    "Converts vertices ((V, 3) float32 or float64, any strides) to (V, 3) float32 and edges\n"
    "((E, 2) int32, int64, uint32 or uint64) to (E, 2) int32, in arrays made by allocate\n"
    "(numpy.empty); with keep, rows that already are packed float32 (int32) rows are returned\n"
    "themselves, only checked. Also each cell's first rows ((n,) int64, from the int64 counts)\n"
    "and, when means is true, each cell's mean ((n, 3) float32, summed in double), else None.\n"
    "faults: 1 the counts do not add up, 2 a vertex is not finite in float32, 4 an edge numbers\n"
    "a vertex outside its cell, 8 a cell has no vertices (only with means). On up to workers\n"
    "threads, with the same results for any count. None for other types or layouts.";

const char write_records_doc[] =
    "write_records(records, collections, v_counts, e_counts, vertex_starts, edge_starts, origins,\n"
    "              vertex_data, edge_data, workers) -> None\n\n"
    "Writes the 64-byte cell record of every cell into records (n * 64 writable bytes): its\n"
    "number, collection, counts, origin and the addresses of its rows of vertex_data ((V, 3)\n"
    "float32) and edge_data ((E, 2) int32), which start at vertex_starts and edge_starts; no\n"
    "links. On up to workers threads.";

const char offset_counts_doc[] =
    "offset_counts(offsets, rows, limit, allocate, workers) -> counts or None\n\n"
    "Each cell's row count ((n,) int64, made by allocate) from n + 1 compressed-sparse-row offsets\n"
    "(int32, int64, uint32 or uint64, any stride), when they start at 0, never fall, rise by at\n"
    "most limit for a cell and end at rows; None otherwise, and for other types or shapes.";

const char float32_rows_doc[] =
    "float32_rows(values, allocate, workers) -> rows or None\n\n"
    "(rows, width) float32 or float64 numbers, any strides, as new packed float32 rows (rounded\n"
    "as numpy's astype rounds them), when every one is finite in float32; None otherwise, and\n"
    "for other types or shapes.";

const char int32_column_doc[] =
    "int32_column(values, n, allocate, workers) -> column or None\n\n"
    "n integers (int32, int64, uint32 or uint64, any stride; or a single one for all n) as a new\n"
    "(n,) int32 array, when every one fits int32; None otherwise, and for other types or shapes.";

}  // namespace cellprox
