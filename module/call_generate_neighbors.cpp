// generate_neighbors: binding of the narrow phase.
#include "module/arguments.h"
#include "module/callables.h"
#include "module/module_state.h"
#include "module/result_array.h"
#include "module/traceback.h"

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

PyObject* run(const NeighborArguments& args) {
    HeldBuffer output_view;
    StridedView output;
    PyObject* result = new_result_array(args.n_links, output_view, &output);
    if (result == nullptr) {
        add_traceback(TRACEBACK_NAME, __LINE__);
        return nullptr;
    }
    return result;
}

PyObject* call(PyObject* const* values) {
    NeighborArguments args;
    if (convert_arguments(values, &args) < 0) {
        add_traceback(TRACEBACK_NAME, __LINE__);
        return nullptr;
    }
    PyObject* result = run(args);
    if (result == nullptr) add_traceback(TRACEBACK_NAME, __LINE__);
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
