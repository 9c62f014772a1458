// get_bb_intersections: binding of the broad phase.
#include <cstdio>

#include "kernels/deliverable/broad/bb_intersections.h"
#include "module/deliverable/binding/arguments.h"
#include "module/deliverable/binding/buffer_view.h"
#include "module/deliverable/callables.h"
#include "module/deliverable/module_state.h"
#include "module/deliverable/traceback.h"
#include "platform/loops/interpreter_loops.h"

namespace cellprox {

namespace {

const char* const TRACEBACK_NAME = CELLPROX_MODULE_NAME ".get_bb_intersections";

void format_shape(const StridedView& view, bool is_none, char* out, size_t size) {
    if (is_none) {
        std::snprintf(out, size, "None");
    } else if (view.ndim == 1) {
        std::snprintf(out, size, "(%td,)", view.shape[0]);
    } else if (view.ndim == 2) {
        std::snprintf(out, size, "(%td, %td)", view.shape[0], view.shape[1]);
    } else {
        std::snprintf(out, size, "(%td, %td, %td)", view.shape[0], view.shape[1], view.shape[2]);
    }
}

// The kernel trusts every view to hold cell_count rows; a view that does not would send it
// outside the caller's memory, so such a call is refused before anything is touched.
int check_extent(const char* argument, PyObject* object, const StridedView& view,
                 const ptrdiff_t* needed, int ndim, int32_t cell_count) {
    bool enough = object != Py_None;
    for (int dim = 0; dim < ndim && enough; ++dim) enough = view.shape[dim] >= needed[dim];
    if (enough) return 0;
    char given[96];
    char wanted[96];
    StridedView shape_of_need{};
    shape_of_need.ndim = ndim;
    for (int dim = 0; dim < ndim; ++dim) shape_of_need.shape[dim] = needed[dim];
    format_shape(view, object == Py_None, given, sizeof given);
    format_shape(shape_of_need, false, wanted, sizeof wanted);
    PyErr_Format(PyExc_ValueError,
                 "%s must have a shape of at least %s for cell_count=%d, got %s", argument,
                 wanted, static_cast<int>(cell_count), given);
    return -1;
}

int check_extents(PyObject* const* values, const BroadPhaseArrays& arrays, int32_t cell_count) {
    if (cell_count <= 0) return 0;
    const ptrdiff_t bbox[] = {cell_count, 8, 3};
    const ptrdiff_t links[] = {cell_count, MAX_CELL_LINKS};
    const ptrdiff_t rows[] = {cell_count};
    if (check_extent("bbox", values[0], arrays.bbox, bbox, 3, cell_count) < 0) return -1;
    if (check_extent("links", values[2], arrays.links, links, 2, cell_count) < 0) return -1;
    if (check_extent("link_starts", values[3], arrays.link_starts, rows, 1, cell_count) < 0) return -1;
    return check_extent("link_count", values[4], arrays.link_count, rows, 1, cell_count);
}

PyObject* call(PyObject* const* values) {
    HeldBuffer bbox, links, link_starts, link_count;
    BroadPhaseArrays arrays;
    int32_t cell_count = 0;
    if (bbox.bind(values[0], 3, FLOAT_ITEM, &arrays.bbox) < 0 ||
        convert_int32(values[1], &cell_count) < 0 ||
        links.bind(values[2], 2, INT_ITEM, &arrays.links) < 0 ||
        link_starts.bind(values[3], 1, INT_ITEM, &arrays.link_starts) < 0 ||
        link_count.bind(values[4], 1, UCHAR_ITEM, &arrays.link_count) < 0 ||
        check_extents(values, arrays, cell_count) < 0) {
        add_traceback(TRACEBACK_NAME, __LINE__);
        return nullptr;
    }
    const int32_t n_links = get_bb_intersections(arrays, cell_count, interpreter_loop_frame());
    return PyLong_FromLong(n_links);
}

}  // namespace

const CallableSpec get_bb_intersections_spec{
    "get_bb_intersections",
    TRACEBACK_NAME,
    "get_bb_intersections(float[:, :, :] bbox, int cell_count, int[:, :] links, int[:] "
    "link_starts, unsigned char[:] link_count) -> int",
    {"bbox", "cell_count", "links", "link_starts", "link_count"},
    call,
};

}  // namespace cellprox
