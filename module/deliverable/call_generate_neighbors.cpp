// generate_neighbors: binding of the narrow phase.
#include <cstdint>

#include "kernels/deliverable/narrow/neighbor_links.h"
#include "kernels/common/shared/debug_dump.h"
#include "module/deliverable/binding/arguments.h"
#include "module/deliverable/callables.h"
#include "module/deliverable/module_state.h"
#include "module/deliverable/result_array.h"
#include "module/deliverable/traceback.h"
#include "module/shared/scratch_memory.h"
#include "platform/loops/interpreter_loops.h"

namespace cellprox {

namespace {

const char* const TRACEBACK_NAME = CELLPROX_MODULE_NAME ".generate_neighbors";

struct NeighborArguments {
    int64_t cells_p = 0;
    int32_t cell_count = 0;
    int32_t n_links = 0;
    float distance_threshold = 0.0f;
    int32_t use_debug = 0;
};

int convert_arguments(PyObject* const* values, NeighborArguments* args) {
    if (convert_int64(values[0], &args->cells_p) < 0) return -1;
    if (convert_int32(values[1], &args->cell_count) < 0) return -1;
    if (convert_int32(values[2], &args->n_links) < 0) return -1;
    if (convert_float32(values[3], &args->distance_threshold) < 0) return -1;
    return convert_int32(values[4], &args->use_debug);
}

// The one address check that costs nothing and catches the commonest mistake: any other
// address is trusted, as it must be.
int check_cells_address(const NeighborArguments& args) {
    if (args.cells_p != 0 || args.cell_count <= 0) return 0;
    PyErr_Format(PyExc_ValueError,
                 "cells_p is 0 (a null address) but cell_count is %d: pass the address of an "
                 "array of %d cell records",
                 static_cast<int>(args.cell_count), static_cast<int>(args.cell_count));
    return -1;
}

PyObject* run(const NeighborArguments& args) {
    Scratch<float> link_distances;
    if (link_distances.allocate(args.n_links) < 0) return nullptr;
    HeldBuffer output_view;
    StridedView output;
    PyObject* result = new_result_array(args.n_links, output_view, &output);
    if (result == nullptr) return nullptr;

    const char* cells = reinterpret_cast<const char*>(static_cast<intptr_t>(args.cells_p));
    const DumpChoice choice = choose_dump_cells(args.cell_count);
    if (args.use_debug == 1) print_debug_dump(cells, args.cell_count, choice);

    const NeighborQuery query{cells, args.cell_count, args.n_links, args.distance_threshold};
    compute_link_distances(query, link_distances.data(), interpreter_loop_frame());
    store_link_distances(link_distances.data(), args.n_links, output);
    return result;
}

PyObject* call(PyObject* const* values) {
    NeighborArguments args;
    if (convert_arguments(values, &args) < 0 || check_cells_address(args) < 0) {
        add_traceback(TRACEBACK_NAME, __LINE__);
        return nullptr;
    }
    PyObject* result = run(args);
    if (result == nullptr) {
        // Errors of the kernel itself carry its entry and the binding's.
        add_traceback(TRACEBACK_NAME, __LINE__);
        add_traceback(TRACEBACK_NAME, __LINE__);
    }
    return result;
}

}  // namespace

const CallableSpec generate_neighbors_spec{
    "generate_neighbors",
    TRACEBACK_NAME,
    "generate_neighbors(long long cells_p, int cell_count, int n_links, float "
    "distance_threshold, int use_debug) -> ndarray",
    {"cells_p", "cell_count", "n_links", "distance_threshold", "use_debug"},
    call,
};

}  // namespace cellprox
