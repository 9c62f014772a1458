#include "bb_intersections.h"

namespace cellprox_baseline {

namespace {

inline BoxView box_of(const StridedView& bbox, int32_t cell) {
    return BoxView{element(bbox, cell), bbox.strides[1], bbox.strides[2]};
}

// Whether row `row` already names `cell` in any of its slots, written by this call or not.
inline bool row_names(const StridedView& links, int32_t row, int32_t cell) {
    for (int32_t slot = 0; slot < MAX_CELL_LINKS; ++slot) {
        if (load<int32_t>(element(links, row, slot)) == cell) return true;
    }
    return false;
}

}  // namespace

int32_t link_overlapping_boxes(const BroadPhaseArrays& arrays, int32_t cell_count) {
    const StridedView& links = arrays.links;
    int32_t n_links = 0;
    for (int32_t i = 0; i < cell_count; ++i) {
        const BoxView box_i = box_of(arrays.bbox, i);
        int32_t k = 0;
        for (int32_t j = 0; j < cell_count; ++j) {
            if (j == i) continue;
            if (k == MAX_CELL_LINKS) break;
            // A lower row that names i already holds this pair, or holds a stale entry the caller
            // left in a free slot; either way the pair is not recorded from this side.
            if (j < i && row_names(links, j, i)) continue;
            if (!check_bb_intersections(box_i, box_of(arrays.bbox, j))) continue;

            store<int32_t>(element(links, i, k), j);
            char* start = element(arrays.link_starts, i);
            if (load<int32_t>(start) == -1) store<int32_t>(start, n_links);
            ++n_links;
            char* count = element(arrays.link_count, i);
            store<uint8_t>(count, static_cast<uint8_t>(load<uint8_t>(count) + 1));
            ++k;
        }
    }
    return n_links;
}

int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count) {
    if (cell_count <= 0) return 0;
    widen_boxes(arrays.bbox, 0, cell_count);
    return cellprox_baseline::link_overlapping_boxes(arrays, cell_count);
}

}  // namespace cellprox_baseline
