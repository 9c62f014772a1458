// cellprox._proximity's tracker: a search kept from frame to frame (kernels/package/frames), held
// in a capsule that the package's Tracker owns.
#pragma once

#include "platform/python.h"

namespace cellprox {

// tracker_start(rule, threshold, witnesses, skin, cell_count, largest_cell) -> capsule
PyObject* tracker_start(PyObject* module, PyObject* args);

// tracker_frame(tracker, vertices, vertex_starts, edges, edge_starts, origins, collections,
//               previous, watch=None, workers=1)
//     -> (pairs, distances, gaps, witnesses, began, ended, measured, candidates, work, timings)
PyObject* tracker_frame(PyObject* module, PyObject* args, PyObject* kwargs);

// tracker_state(tracker) -> dict of what the tracker holds
PyObject* tracker_state(PyObject* module, PyObject* tracker);

extern const char* const TRACKER_START_DOC;
extern const char* const TRACKER_FRAME_DOC;
extern const char* const TRACKER_STATE_DOC;

}  // namespace cellprox
