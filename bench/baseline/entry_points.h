// The baseline library's C interface, loaded by the Python benchmark through ctypes.
//
// The baseline is the direct algorithm: the quadratic pair pass with its 30-slot scans (this
// directory's own), and the project's plain narrow phase (compute_link_distances_direct: the
// scalar pair loops that stop at the first close pair), both in plain loops on the calling
// thread. It is built with the same compiler settings as the module. No Python header is used:
// arrays come as raw pointers with byte strides.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define CELLPROX_BASELINE_API __declspec(dllexport)
#else
#define CELLPROX_BASELINE_API __attribute__((visibility("default")))
#endif

extern "C" {

// The broad phase on caller arrays: bbox [cell][corner][axis] float32 (strides in bytes),
// links [cell][slot] int32, link_starts [cell] int32, link_count [cell] uint8. The tables must be
// prepared as for the module (-1, -1, 0). Returns n_links.
CELLPROX_BASELINE_API int32_t cellprox_baseline_get_bb_intersections(
    float* bbox, const int64_t* bbox_strides, int32_t* links, const int64_t* links_strides,
    int32_t* link_starts, int64_t link_starts_stride, uint8_t* link_count,
    int64_t link_count_stride, int32_t cell_count);

// The box pass alone: corners 0 and 1 of each cell become its widened bounds.
CELLPROX_BASELINE_API void cellprox_baseline_widen_boxes(float* bbox, const int64_t* bbox_strides,
                                                         int32_t cell_count);

// The narrow phase: link_distances[0 .. n_links-1] gets -1.0 or the origin distance of each link.
// `cells` is the address of cell_count 64-byte cell records.
CELLPROX_BASELINE_API void cellprox_baseline_generate_neighbors(const void* cells,
                                                                int32_t cell_count,
                                                                int32_t n_links, float threshold,
                                                                float* link_distances);

// How firmly each link's decision holds: with the pair loops of the narrow phase, category[s] of
// link slot s becomes 0 when some pair of the two cells is closer than `lower`, 1 when none is
// but some pair is closer than `upper` (the decision at a threshold between the two could turn
// on rounding), 2 when no pair is closer than `upper`. Slots of invalid links keep their value.
// Returns the number of links in category 1.
CELLPROX_BASELINE_API int32_t cellprox_baseline_classify_links(const void* cells,
                                                               int32_t cell_count,
                                                               int32_t n_links, float lower,
                                                               float upper, int8_t* category);

// One segment distance, the neighbour's edge p0-p1 first (for checks of the numpy peer).
CELLPROX_BASELINE_API float cellprox_baseline_segment_distance(const float* p0, const float* p1,
                                                               const float* q0, const float* q1);

}  // extern "C"
