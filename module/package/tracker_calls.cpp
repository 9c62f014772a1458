// The tracker's boundary: a TrackerState in a capsule, a frame's arrays taken as the one-shot
// search takes them, and the frame before checked to be the same rows.
#include "module/package/tracker_calls.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernels/package/frames/pair_tracker.h"
#include "module/package/scene_arguments.h"
#include "module/package/search_results.h"
#include "module/shared/owned_ref.h"
#include "platform/loops/interpreter_lock.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

constexpr const char* CAPSULE_NAME = "cellprox._proximity.tracker";

// One thread at a time: the state is written with the lock released.
struct HeldTracker {
    TrackerState state;
    FrameReport report;
    std::atomic<bool> busy{false};
};

// Plain malloc and placement new: the module links no C++ runtime.
void free_tracker(PyObject* capsule) {
    HeldTracker* tracker = static_cast<HeldTracker*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (tracker == nullptr) return;
    tracker->~HeldTracker();
    std::free(tracker);
}

HeldTracker* tracker_of(PyObject* object) {
    return static_cast<HeldTracker*>(PyCapsule_GetPointer(object, CAPSULE_NAME));
}

// Holds the tracker for one frame, or says it is held already.
class TrackerClaim {
public:
    explicit TrackerClaim(HeldTracker& tracker) : tracker_(tracker) {
        bool expected = false;
        claimed_ = tracker_.busy.compare_exchange_strong(expected, true);
    }
    ~TrackerClaim() {
        if (claimed_) tracker_.busy.store(false);
    }
    TrackerClaim(const TrackerClaim&) = delete;
    TrackerClaim& operator=(const TrackerClaim&) = delete;
    bool claimed() const { return claimed_; }

private:
    HeldTracker& tracker_;
    bool claimed_ = false;
};

// `object` as a frame's vertex rows like `vertices`: None gives null.
bool same_rows(PyObject* object, const char* name, const Py_buffer& vertices, BufferGuard& guard, const float*& rows) {
    rows = nullptr;
    if (object == Py_None) return true;
    if (!take_number_array(guard, object, name, 2, 'f', 4)) return false;
    const Py_buffer& view = guard.view();
    if (view.shape[0] != vertices.shape[0] || view.shape[1] != 3) {
        PyErr_Format(PyExc_ValueError, "%s must hold the same (%zd, 3) rows as vertices", name, vertices.shape[0]);
        return false;
    }
    rows = static_cast<const float*>(view.buf);
    return true;
}

// Pairs as a bytearray of int32 (first, second) rows.
PyObject* pair_bytes(const StreamBuffer<TrackedPair>& pairs) {
    int32_t* items = nullptr;
    PyObject* bytes = result_column(true, 2 * pairs.size(), &items);
    if (bytes == nullptr) return nullptr;
    for (size_t k = 0; k < pairs.size(); ++k) {
        items[2 * k] = pairs[k].first;
        items[2 * k + 1] = pairs[k].second;
    }
    return bytes;
}

const char* work_name(FrameWork work) {
    switch (work) {
        case FrameWork::fresh: return "fresh";
        case FrameWork::rebuilt: return "rebuilt";
        case FrameWork::relisted: return "relisted";
        case FrameWork::reused: return "reused";
    }
    return "fresh";
}

}  // namespace

const char* const TRACKER_START_DOC =
    "tracker_start(rule, threshold, witnesses, skin, cell_count, largest_cell) -> tracker\n\n"
    "A search kept from frame to frame for `cell_count` cells of up to `largest_cell` vertices\n"
    "and as many edges,\n"
    "by `rule` ('vertices-edges' or 'hull') at `threshold`; `skin` a distance >= 0, or negative\n"
    "for the tracker's own choice. The first frame given to tracker_frame is searched afresh.";

const char* const TRACKER_FRAME_DOC =
    "tracker_frame(tracker, vertices, vertex_starts, edges, edge_starts, origins, collections,\n"
    "              previous, watch=None, workers=1)\n"
    "    -> (pairs, distances, gaps, witnesses, began, ended, measured, candidates, work, timings)\n\n"
    "One frame: the arrays as close_pairs takes them (the same cells every frame) and the vertex\n"
    "rows of the frame before (None for the first). Returns close_pairs' columns, the pairs that\n"
    "began and ended since the frame before (int32 rows, sorted), how many pairs were measured and\n"
    "listed, the work done ('fresh', 'rebuilt', 'relisted', 'reused') and the seconds of each\n"
    "stage. On any error the tracker is as it was.";

const char* const TRACKER_STATE_DOC =
    "tracker_state(tracker) -> dict\n\n"
    "frames, rebuilds, relists (lists made again for the cells that escaped their skin), fresh\n"
    "(frames searched afresh), skin, motion, candidates, listed.";

PyObject* tracker_start(PyObject*, PyObject* args) {
    const char* rule_name = nullptr;
    double threshold = 0.0, skin = -1.0;
    int witnesses = 0, cell_count = 0, largest_cell = 1;
    if (!PyArg_ParseTuple(args, "sdpdii:tracker_start", &rule_name, &threshold, &witnesses, &skin, &cell_count,
                          &largest_cell)) {
        return nullptr;
    }
    const bool hull = std::strcmp(rule_name, "hull") == 0;
    if (!hull && std::strcmp(rule_name, "vertices-edges") != 0) {
        PyErr_Format(PyExc_ValueError, "rule must be 'vertices-edges' or 'hull', not '%s'", rule_name);
        return nullptr;
    }
    if (!(std::isfinite(threshold) && threshold >= 0.0) || std::isnan(skin) || std::isinf(skin) || cell_count < 0 ||
        largest_cell < 0) {
        PyErr_SetString(PyExc_ValueError, "threshold and skin must be finite, counts 0 or more");
        return nullptr;
    }
    void* memory = std::malloc(sizeof(HeldTracker));
    if (memory == nullptr) return PyErr_NoMemory();
    HeldTracker* tracker = new (memory) HeldTracker;
    const ProximityQuery query{hull ? ProximityRule::hull : ProximityRule::vertices_edges, threshold,
                               hull && witnesses != 0};
    start_tracker(tracker->state, query, skin, cell_count, largest_cell);
    PyObject* capsule = PyCapsule_New(tracker, CAPSULE_NAME, free_tracker);
    if (capsule == nullptr) {
        tracker->~HeldTracker();
        std::free(tracker);
    }
    return capsule;
}

PyObject* tracker_frame(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"tracker", "vertices", "vertex_starts", "edges", "edge_starts", "origins",
                                     "collections", "previous", "watch", "workers", nullptr};
    PyObject* capsule = nullptr;
    PyObject* arrays[6];
    PyObject *previous = nullptr, *watch = Py_None;
    int workers = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOO|Oi:tracker_frame", const_cast<char**>(keywords),
                                     &capsule, &arrays[0], &arrays[1], &arrays[2], &arrays[3], &arrays[4], &arrays[5],
                                     &previous, &watch, &workers)) {
        return nullptr;
    }
    HeldTracker* tracker = tracker_of(capsule);
    if (tracker == nullptr) return nullptr;
    if (!team_and_watch(workers, watch)) return nullptr;
    TrackerClaim claim(*tracker);
    if (!claim.claimed()) {
        PyErr_SetString(PyExc_RuntimeError, "the tracker is tracking a frame in another thread; one frame at a time");
        return nullptr;
    }
    TrackerState& state = tracker->state;
    const bool hull = state.query.rule == ProximityRule::hull;
    // The cells' edges are the same every frame and were checked with the first; a tracker's
    // measures skip any edge naming a vertex its cell lacks, as the search's do.
    SceneArguments scene;
    if (read_scene(arrays, hull, workers, scene, state.frames == 0) < 0) return nullptr;
    if (scene.cells.count != state.cell_count) {
        PyErr_Format(PyExc_ValueError, "the tracker follows %d cells, not %d", state.cell_count, scene.cells.count);
        return nullptr;
    }
    for (int32_t i = 0; i < scene.cells.count; ++i) {
        if (scene.cells.vertex_starts[i + 1] - scene.cells.vertex_starts[i] > state.largest_cell ||
            scene.cells.edge_starts[i + 1] - scene.cells.edge_starts[i] > state.largest_cell) {
            PyErr_Format(PyExc_ValueError, "cell %d has more vertices or edges than the tracker was started with", i);
            return nullptr;
        }
    }
    BufferGuard previous_rows;
    FrameInputs inputs{scene.cells, nullptr};
    if (!same_rows(previous, "previous", scene.vertices.view(), previous_rows, inputs.previous)) return nullptr;
    FrameReport& report = tracker->report;
    ProximityStatus status;
    {
        LockReleased lock;
        Watcher watcher{&lock, watch};
        const WorkWatch work_watch{watch_search, &watcher};
        status = track_frame(state, inputs, workers, &work_watch, report);
    }
    if (status != ProximityStatus::ok) return search_failure(status, report.result, scene.cells.count);
    PyObject* columns[4];
    if (!result_columns(report.result, hull, state.query.witnesses, workers, columns)) return nullptr;
    OwnedRef pairs(columns[0]), distances(columns[1]), gaps(columns[2]), witness_points(columns[3]);
    OwnedRef began(pair_bytes(report.began)), ended(pair_bytes(report.ended));
    OwnedRef timings(timings_of(report.result.seconds));
    if (!began || !ended || !timings) return nullptr;
    return Py_BuildValue("(OOOOOOLLsO)", pairs.get(), distances.get(), gaps.get(), witness_points.get(), began.get(),
                         ended.get(), static_cast<long long>(report.result.candidates),
                         static_cast<long long>(report.candidates), work_name(report.work), timings.get());
}

PyObject* tracker_state(PyObject*, PyObject* capsule) {
    HeldTracker* tracker = tracker_of(capsule);
    if (tracker == nullptr) return nullptr;
    const TrackerState& state = tracker->state;
    return Py_BuildValue("{sLsLsLsLsdsdsnsO}", "frames", static_cast<long long>(state.frames), "rebuilds",
                         static_cast<long long>(state.rebuilds), "relists", static_cast<long long>(state.relists),
                         "fresh", static_cast<long long>(state.fresh), "skin",
                         state.skin, "motion", state.motion, "candidates",
                         static_cast<Py_ssize_t>(state.listed ? state.candidates.size() : 0), "listed",
                         state.listed ? Py_True : Py_False);
}

}  // namespace cellprox
