// The search in blocks: the box tree over every cell, then the cells in the tree's order (cells
// near in space near in time), a chunk of them at a time on the thread team, each chunk cut into
// sub-blocks that keep their own candidates and close pairs. Between chunks the watch may stop
// the work; the pairs are sorted at the end, so neither the team nor the chunking shows.
#include "kernels/package/search/close_pairs.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "kernels/package/hull/vertex_sharing.h"
#include "kernels/common/lanes/lanes.h"
#include "kernels/package/search/box_tree.h"
#include "kernels/package/search/pair_blocks.h"
#include "kernels/package/search/pair_sort.h"
#include "platform/clock.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// Sub-blocks per chunk: enough for a team to share, few enough to keep their buffers warm.
constexpr int32_t SUB_BLOCKS = 64;
// A chunk lasts about this long, so that a stop request is honoured within a moment.
constexpr double CHUNK_SECONDS = 0.05;

// Cells, pairs or values to a piece of the plain passes: a fixed size, so that the pieces do
// not depend on the team.
constexpr int32_t PASS_PIECE = 16384;

int32_t pieces_of(size_t count) { return static_cast<int32_t>((count + PASS_PIECE - 1) / PASS_PIECE); }

}  // namespace

VertexBox vertex_box(const SceneCells& cells, int32_t i) {
    VertexBox box;
    for (int axis = 0; axis < 3; ++axis) {
        box.lo[axis] = INFINITY;    // a cell without vertices is within reach of nothing
        box.hi[axis] = -INFINITY;
    }
    const int64_t first = cells.vertex_starts[i], last = cells.vertex_starts[i + 1];
    // A vertex's x, y, z and the next float in four lanes (the last vertex of all alone, so
    // as not to read past the array); a tie keeps the bound (std::min's and std::max's way).
    const int64_t lanes_end = std::min(last, cells.vertex_starts[cells.count] - 1);
    Float4 lo = broadcast<Float4>(INFINITY), hi = broadcast<Float4>(-INFINITY);
    for (int64_t v = first; v < lanes_end; ++v) {
        const Float4 p = Float4::load(cells.xyz + 3 * v);
        lo = minimum(p, lo);
        hi = maximum(p, hi);
    }
    float lanes[2][4];
    lo.store(lanes[0]);
    hi.store(lanes[1]);
    for (int axis = 0; axis < 3; ++axis) {
        box.lo[axis] = lanes[0][axis];
        box.hi[axis] = lanes[1][axis];
    }
    for (int64_t v = std::max(first, lanes_end); v < last; ++v) {
        for (int axis = 0; axis < 3; ++axis) {
            box.lo[axis] = std::min(box.lo[axis], cells.xyz[3 * v + axis]);
            box.hi[axis] = std::max(box.hi[axis], cells.xyz[3 * v + axis]);
        }
    }
    return box;
}

namespace {

// Each cell's vertex box, the most vertices of any cell, and for the hull rule (`slabs` not null)
// each cell's diagonal slabs, all in the caller's order.
bool cell_boxes(const SceneCells& cells, int32_t workers, PlainBuffer<VertexBox>& boxes, int32_t& largest,
                PlainBuffer<DiagonalSlabs>* slabs) {
    const int32_t pieces = pieces_of(static_cast<size_t>(cells.count));
    PlainBuffer<int64_t> most;
    if (!boxes.resize(static_cast<size_t>(cells.count)) || !most.resize(static_cast<size_t>(pieces))) return false;
    if (slabs != nullptr && !slabs->resize(static_cast<size_t>(cells.count))) return false;
    auto piece = [&](int32_t k) {
        const int32_t last = std::min(cells.count, (k + 1) * PASS_PIECE);
        int64_t vertices = 1;
        for (int32_t i = k * PASS_PIECE; i < last; ++i) {
            boxes[static_cast<size_t>(i)] = vertex_box(cells, i);
            const int64_t first = cells.vertex_starts[i], count = cells.vertex_starts[i + 1] - first;
            vertices = std::max(vertices, count);
            // While the cell's vertices are at hand.
            if (slabs != nullptr) {
                (*slabs)[static_cast<size_t>(i)] = diagonal_slabs(cells.xyz + 3 * first, static_cast<int32_t>(count));
            }
        }
        most[static_cast<size_t>(k)] = vertices;
    };
    for_each_piece(workers, pieces, piece);
    int64_t vertices = 1;
    for (size_t k = 0; k < most.size(); ++k) vertices = std::max(vertices, most[k]);
    largest = static_cast<int32_t>(vertices);
    return true;
}

// Per-cell values in the tree's order, where measuring reads them.
template <typename T>
bool in_tree_order(const PlainBuffer<T>& found, const BoxTree& tree, int32_t workers, PlainBuffer<T>& ordered) {
    if (!ordered.resize(found.size())) return false;
    auto piece = [&](int32_t k) {
        const size_t last = std::min(ordered.size(), size_t(k + 1) * PASS_PIECE);
        for (size_t p = size_t(k) * PASS_PIECE; p < last; ++p) ordered[p] = found[static_cast<size_t>(tree.order[p])];
    };
    for_each_piece(workers, pieces_of(ordered.size()), piece);
    return true;
}

// `buffer` at `size` values, growing as append would (doubling), the new ones uninitialised.
template <typename T>
bool grow_to(StreamBuffer<T>& buffer, size_t size) {
    if (size > buffer.size() && !buffer.reserve(std::max(size, 2 * buffer.size()))) return false;
    return buffer.resize(size);
}

// The chunk's sub-blocks, appended in order, each copied by a thread of the team (which also
// takes the page faults of the fresh memory it fills); false when one failed or memory runs out.
bool gather_blocks(SubBlock* blocks, int32_t count, int32_t workers, ProximityResult& result,
                   StreamBuffer<double>& details, double& search, double& measure) {
    size_t pair_places[SUB_BLOCKS + 1], detail_places[SUB_BLOCKS + 1];
    pair_places[0] = result.pairs.size();
    detail_places[0] = details.size();
    for (int32_t s = 0; s < count; ++s) {
        SubBlock& block = blocks[s];
        if (block.failed) {
            // What the chunk's blocks held when memory ran out, for the caller's message.
            for (int32_t t = s; t < count; ++t) {
                result.pairs_held += static_cast<int64_t>(blocks[t].pairs.size());
                result.candidates += blocks[t].candidates;
            }
            return false;
        }
        result.candidates += block.candidates;
        search += block.search_seconds;
        measure += block.measure_seconds;
        pair_places[s + 1] = pair_places[s] + block.pairs.size();
        detail_places[s + 1] = detail_places[s] + block.details.size();
    }
    if (!grow_to(result.pairs, pair_places[count]) || !grow_to(details, detail_places[count])) return false;
    auto copy = [&](int32_t s) {
        const SubBlock& block = blocks[s];
        ClosePair* to = result.pairs.data() + pair_places[s];
        const int64_t offset = static_cast<int64_t>(detail_places[s]);
        for (size_t k = 0; k < block.pairs.size(); ++k) {
            to[k] = block.pairs[k];
            if (to[k].detail >= 0) to[k].detail += offset;
        }
        if (!block.details.empty()) {
            std::memcpy(details.data() + detail_places[s], block.details.data(), block.details.size() * sizeof(double));
        }
    };
    for_each_piece(workers, count, copy);
    return true;
}

// Room, after the first chunk, for as many pairs (and details) a cell as it found, for every
// cell and a quarter more: the buffers then mostly grow once, where doubling would copy them
// into fresh memory again and again (memory the system must map and clear for each call). Only
// a guess: where the room cannot be had, they double as before.
void reserve_like_first_chunk(ProximityResult& result, StreamBuffer<double>& details, int32_t done, int32_t count) {
    if (done <= 0 || done >= count) return;
    const double share = 1.25 * static_cast<double>(count) / static_cast<double>(done);
    const double pairs = share * static_cast<double>(result.pairs.size()) + 64.0;
    const double values = share * static_cast<double>(details.size()) + 64.0;
    if (pairs < 1e15) result.pairs.reserve(static_cast<size_t>(pairs));
    if (values < 1e15) details.reserve(static_cast<size_t>(values));
}

}  // namespace

bool origin_distances(const SceneCells& cells, int32_t workers, ProximityResult& result) {
    const size_t m = result.pairs.size();
    PlainBuffer<size_t> too_far;    // per piece: its first pair too far apart, or m
    if (!too_far.resize(static_cast<size_t>(pieces_of(m)))) return false;
    auto piece = [&](int32_t p) {
        const size_t last = std::min(m, size_t(p + 1) * PASS_PIECE);
        too_far[size_t(p)] = m;
        for (size_t k = size_t(p) * PASS_PIECE; k < last; ++k) {
            const ClosePair& pair = result.pairs[k];
            const float* a = cells.origins + 3 * static_cast<size_t>(pair.first);
            const float* b = cells.origins + 3 * static_cast<size_t>(pair.second);
            double squared = 0.0;
            for (int axis = 0; axis < 3; ++axis) squared += (double(b[axis]) - a[axis]) * (double(b[axis]) - a[axis]);
            const double distance = std::sqrt(squared);
            if (!(distance <= double(FLT_MAX))) {
                too_far[size_t(p)] = k;
                return;
            }
            result.distances[k] = static_cast<float>(distance);
        }
    };
    for_each_piece(workers, pieces_of(m), piece);
    for (size_t p = 0; p < too_far.size(); ++p) {
        if (too_far[p] == m) continue;
        const ClosePair& pair = result.pairs[too_far[p]];
        result.overflow_first = pair.first;
        result.overflow_second = pair.second;
        const float* a = cells.origins + 3 * static_cast<size_t>(pair.first);
        const float* b = cells.origins + 3 * static_cast<size_t>(pair.second);
        double squared = 0.0;
        for (int axis = 0; axis < 3; ++axis) squared += (double(b[axis]) - a[axis]) * (double(b[axis]) - a[axis]);
        result.overflow_distance = std::sqrt(squared);
        return false;
    }
    return true;
}

namespace {

// The hull rule's gaps (and witnesses) in the sorted pairs' order.
bool gather_details(ProximityResult& result, const StreamBuffer<double>& details, const ProximityQuery& query,
                    int32_t workers) {
    if (query.rule != ProximityRule::hull) return true;
    const size_t m = result.pairs.size();
    const int64_t stride = query.witnesses ? 7 : 1;
    if (!result.gaps.resize(m) || !result.witnesses.resize(query.witnesses ? 6 * m : 0)) return false;
    auto piece = [&](int32_t p) {
        const size_t last = std::min(m, size_t(p + 1) * PASS_PIECE);
        for (size_t k = size_t(p) * PASS_PIECE; k < last; ++k) {
            const double* detail = details.data() + result.pairs[k].detail;
            result.gaps[k] = detail[0];
            for (int64_t w = 1; w < stride; ++w) result.witnesses[6 * k + static_cast<size_t>(w - 1)] = detail[w];
        }
    };
    for_each_piece(workers, pieces_of(m), piece);
    return true;
}

void clear(ProximityResult& result) {
    result.pairs.clear();
    result.distances.clear();
    result.gaps.clear();
    result.witnesses.clear();
    result.candidates = 0;
    result.pairs_held = 0;
}

// The chunks, each on the thread team, their sub-blocks' pairs (and details) gathered in order.
template <class Measurer>
ProximityStatus search_chunks(PairSearch<Measurer>& search, int32_t count, int32_t workers,
                              const WorkWatch* watch, ProximityResult& result, StreamBuffer<double>& details) {
    FixedArray<SubBlock> blocks;
    if (!blocks.allocate(SUB_BLOCKS)) return ProximityStatus::out_of_memory;
    search.blocks = blocks.data();

    double search_seconds = 0.0, measure_seconds = 0.0;
    const double start = clock_seconds();
    // The first chunk is small: how long a cell takes is not known until some have been done.
    int32_t chunk = 256;
    for (int32_t begin = 0; begin < count;) {
        search.begin = begin;
        search.end = begin + std::min(chunk, count - begin);
        const int32_t used = std::min(SUB_BLOCKS, (search.end - begin + 15) / 16);
        search.per_block = (search.end - begin + used - 1) / used;
        const double chunk_start = clock_seconds();
        run_pieces(workers, used, pair_blocks<Measurer>, &search);
        if (!gather_blocks(blocks.data(), used, workers, result, details, search_seconds, measure_seconds)) {
            return ProximityStatus::out_of_memory;
        }
        if (begin == 0) reserve_like_first_chunk(result, details, search.end, count);
        begin = search.end;
        if (!keep_going(watch, begin, count)) return ProximityStatus::stopped;
        const double took = seconds_since(chunk_start);
        const double scale = took > 0.0 ? std::min(4.0, std::max(0.25, CHUNK_SECONDS / took)) : 4.0;
        chunk = static_cast<int32_t>(std::min(1 << 20, std::max(64, static_cast<int>(chunk * scale))));
    }
    const double wall = seconds_since(start);
    const double busy = search_seconds + measure_seconds;
    result.seconds.candidates = busy > 0.0 ? wall * search_seconds / busy : 0.0;
    result.seconds.measure = wall - result.seconds.candidates;
    return ProximityStatus::ok;
}

// The search's settings common to both rules.
template <class Measurer>
PairSearch<Measurer> pair_search(const BoxTree& tree, const ProximityQuery& query, const PlainBuffer<CellView>& views,
                                 int32_t largest_cell, const Measurer& measurer) {
    PairSearch<Measurer> search;
    search.tree = &tree;
    search.reach = query.threshold;
    search.views = views.data();
    search.largest_cell = largest_cell;
    search.measurer = measurer;
    return search;
}

ProximityStatus search_close_pairs(const SceneCells& cells, const ProximityQuery& query, int32_t workers,
                                   const WorkWatch* watch, ProximityResult& result) {
    double start = clock_seconds();
    PlainBuffer<VertexBox> boxes;
    BoxTree tree;
    int32_t largest_cell = 1;
    PlainBuffer<CellView> views;
    const bool hull = query.rule == ProximityRule::hull;
    PlainBuffer<DiagonalSlabs> found, slabs;
    PlainBuffer<uint8_t> sharers, sharing;
    if (!cell_boxes(cells, workers, boxes, largest_cell, hull ? &found : nullptr) ||
        !build_box_tree(boxes.data(), cells.count, tree, workers) || !cell_views(cells, tree, workers, views) ||
        (hull && (!in_tree_order(found, tree, workers, slabs) ||
                  !cells_sharing_a_vertex(cells.xyz, cells.vertex_starts, cells.count, sharers, workers) ||
                  !in_tree_order(sharers, tree, workers, sharing)))) {
        return ProximityStatus::out_of_memory;
    }
    result.seconds.tree = seconds_since(start);

    StreamBuffer<double> details;
    ProximityStatus status;
    if (hull) {
        HullMeasurer rule;
        rule.slabs = slabs.data();
        rule.slab_reach = slab_reach(query.threshold);
        rule.sharing = sharing.data();
        rule.boxes = tree.boxes.data();
        rule.order = tree.order.data();
        rule.threshold = query.threshold;
        rule.witnesses = query.witnesses;
        PairSearch<HullMeasurer> search = pair_search(tree, query, views, largest_cell, rule);
        status = search_chunks(search, cells.count, workers, watch, result, details);
    } else {
        ExactMeasurer rule;
        rule.threshold = exact_threshold(query.threshold);
        rule.boxes = tree.boxes.data();
        PairSearch<ExactMeasurer> search = pair_search(tree, query, views, largest_cell, rule);
        status = search_chunks(search, cells.count, workers, watch, result, details);
    }
    if (status != ProximityStatus::ok) return status;

    start = clock_seconds();
    if (!sort_pairs(result.pairs, cells.count, workers) || !result.distances.resize(result.pairs.size()) ||
        !gather_details(result, details, query, workers)) {
        return ProximityStatus::out_of_memory;
    }
    const bool fits = origin_distances(cells, workers, result);
    result.seconds.collect = seconds_since(start);
    return fits ? ProximityStatus::ok : ProximityStatus::origin_overflow;
}

}  // namespace

ProximityStatus find_close_pairs(const SceneCells& cells, const ProximityQuery& query, int32_t workers,
                                 const WorkWatch* watch, ProximityResult& result) {
    clear(result);
    result.seconds = ProximityTimes{};
    const ProximityStatus status = search_close_pairs(cells, query, workers, watch, result);
    // The counts say how far the search came, for the caller's message; the memory goes back.
    const int64_t held = static_cast<int64_t>(result.pairs.size()) + result.pairs_held;
    const int64_t measured = result.candidates;
    if (status == ProximityStatus::stopped || status == ProximityStatus::out_of_memory) clear(result);
    if (status == ProximityStatus::out_of_memory) {
        result.pairs_held = held;
        result.candidates = measured;
    }
    return status;
}

void write_result_columns(const ProximityResult& result, const ResultColumns& columns, int32_t workers) {
    const size_t m = result.pairs.size();
    auto piece = [&](int32_t p) {
        const size_t first = size_t(p) * PASS_PIECE, last = std::min(m, first + PASS_PIECE);
        for (size_t k = first; k < last; ++k) {
            columns.pairs[2 * k] = result.pairs[k].first;
            columns.pairs[2 * k + 1] = result.pairs[k].second;
        }
        std::memcpy(columns.distances + first, result.distances.data() + first, (last - first) * sizeof(float));
        if (columns.gaps != nullptr) {
            std::memcpy(columns.gaps + first, result.gaps.data() + first, (last - first) * sizeof(double));
        }
        if (columns.witnesses != nullptr) {
            std::memcpy(columns.witnesses + 6 * first, result.witnesses.data() + 6 * first,
                        6 * (last - first) * sizeof(double));
        }
    };
    for_each_piece(workers, pieces_of(m), piece);
}

}  // namespace cellprox
