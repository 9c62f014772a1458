#include "kernels/bb_intersections.h"

#include "kernels/box_grid.h"

namespace cellprox {

namespace {

inline BoxView box_of(const StridedView& bbox, int32_t cell) {
    return BoxView{element(bbox, cell), bbox.strides[1], bbox.strides[2]};
}

inline float bound(const BoxView& box, int corner, int axis) {
    return load<float>(box.data + corner * box.corner_stride + axis * box.axis_stride);
}

// The margin is applied in double precision and rounded once when stored, so a bound moves by
// the nearest float to (value -/+ 0.002), not by a float margin that is itself rounded.
// The nt deliverable works in single precision throughout, as its toolchain did.
#ifdef CELLPROX_SINGLE_PRECISION_MARGIN
inline float widen_lower(float value) { return value - static_cast<float>(BOX_MARGIN); }
inline float widen_upper(float value) { return value + static_cast<float>(BOX_MARGIN); }
#else
inline float widen_lower(float value) { return static_cast<float>(value - BOX_MARGIN); }
inline float widen_upper(float value) { return static_cast<float>(value + BOX_MARGIN); }
#endif

// Whether row `row` already names `cell` in any of its slots, written by this call or not.
inline bool row_names(const StridedView& links, int32_t row, int32_t cell) {
    for (int32_t slot = 0; slot < MAX_CELL_LINKS; ++slot) {
        if (load<int32_t>(element(links, row, slot)) == cell) return true;
    }
    return false;
}

struct BoxPass {
    const StridedView* bbox;
};

void box_pass_block(int32_t begin, int32_t end, void* context) {
    widen_boxes(*static_cast<BoxPass*>(context)->bbox, begin, end);
}

}  // namespace

bool check_bb_intersections(const BoxView& bb_1, const BoxView& bb_2) {
    for (int axis = 0; axis < 3; ++axis) {
        if (!(bound(bb_1, 1, axis) > bound(bb_2, 0, axis))) return false;
        if (!(bound(bb_2, 1, axis) > bound(bb_1, 0, axis))) return false;
    }
    return true;
}

void widen_boxes(const StridedView& bbox, int32_t begin, int32_t end) {
    for (int32_t cell = begin; cell < end; ++cell) {
        float lower[3] = {BOX_LOWER_SEED, BOX_LOWER_SEED, BOX_LOWER_SEED};
        float upper[3] = {BOX_UPPER_SEED, BOX_UPPER_SEED, BOX_UPPER_SEED};
        for (int corner = 0; corner < 8; ++corner) {
            for (int axis = 0; axis < 3; ++axis) {
                const float p = load<float>(element(bbox, cell, corner, axis));
                lower[axis] = minf2(lower[axis], p);
                upper[axis] = maxf2(upper[axis], p);
            }
        }
        for (int axis = 0; axis < 3; ++axis) {
            store<float>(element(bbox, cell, 0, axis), widen_lower(lower[axis]));
            store<float>(element(bbox, cell, 1, axis), widen_upper(upper[axis]));
        }
    }
}

namespace {

// Writes the rows, one candidate at a time, exactly as the direct algorithm decides: candidates
// of a row must come in ascending order, and must include every cell whose box overlaps.
class RowWriter {
public:
    explicit RowWriter(const BroadPhaseArrays& arrays) : arrays_(arrays) {}

    void start_row(int32_t i) {
        row_ = i;
        k_ = 0;
    }

    bool full() const { return k_ == MAX_CELL_LINKS; }

    // One step of the direct algorithm for candidate j of the current row.
    void offer(int32_t j, const BoxView& box_i, const BoxView& box_j) {
        if (j == row_) return;
        // Both tests only read, so the cheap one goes first.
        if (!check_bb_intersections(box_i, box_j)) return;
        // A lower row that names this one already holds the pair, or holds a stale entry the
        // caller left in a free slot; either way the pair is not recorded from this side.
        if (j < row_ && row_names(arrays_.links, j, row_)) return;

        store<int32_t>(element(arrays_.links, row_, k_), j);
        char* start = element(arrays_.link_starts, row_);
        if (load<int32_t>(start) == -1) store<int32_t>(start, n_links_);
        ++n_links_;
        char* count = element(arrays_.link_count, row_);
        store<uint8_t>(count, static_cast<uint8_t>(load<uint8_t>(count) + 1));
        ++k_;
    }

    int32_t n_links() const { return n_links_; }

private:
    const BroadPhaseArrays& arrays_;
    int32_t row_ = 0;
    int32_t k_ = 0;
    int32_t n_links_ = 0;
};

inline BoxView compact_box(const float* box) { return BoxView{reinterpret_cast<const char*>(box), 12, 4}; }

// Below this many cells the grid does not pay for itself.
constexpr int32_t GRID_MIN_CELLS = 48;

}  // namespace

int32_t link_overlapping_boxes_direct(const BroadPhaseArrays& arrays, int32_t cell_count) {
    RowWriter rows(arrays);
    for (int32_t i = 0; i < cell_count; ++i) {
        const BoxView box_i = box_of(arrays.bbox, i);
        rows.start_row(i);
        for (int32_t j = 0; j < cell_count && !rows.full(); ++j) {
            rows.offer(j, box_i, box_of(arrays.bbox, j));
        }
    }
    return rows.n_links();
}

// Each row visits only the cells whose boxes share a bucket with its own, in ascending order,
// and stops when full: the cost follows the number of boxes and of overlaps, and a dense cluster
// costs no more than the direct algorithm, whose rows also stop after 30 links.
int32_t link_overlapping_boxes(const BroadPhaseArrays& arrays, int32_t cell_count) {
    if (cell_count < GRID_MIN_CELLS) return link_overlapping_boxes_direct(arrays, cell_count);
    const BoxGrid grid(arrays.bbox, cell_count);
    if (!grid.ready()) return link_overlapping_boxes_direct(arrays, cell_count);

    RowWriter rows(arrays);
    for (int32_t i = 0; i < cell_count; ++i) {
        const BoxView box_i = compact_box(grid.box(i));
        rows.start_row(i);
        if (grid.outside_grid(i)) {
            for (int32_t j = 0; j < cell_count && !rows.full(); ++j) {
                rows.offer(j, box_i, compact_box(grid.box(j)));
            }
            continue;
        }
        grid.for_each_candidate(i, [&](int32_t j) {
            rows.offer(j, box_i, compact_box(grid.box(j)));
            return !rows.full();
        });
    }
    return rows.n_links();
}

int32_t get_bb_intersections(const BroadPhaseArrays& arrays, int32_t cell_count,
                             const LoopFrame& frame) {
    {
        InterpreterReleased unlocked(frame);
        BoxPass pass{&arrays.bbox};
        frame.parallel_for(cell_count, true, box_pass_block, &pass);
    }
    return link_overlapping_boxes(arrays, cell_count);
}

}  // namespace cellprox
