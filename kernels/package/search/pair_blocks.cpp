// Sub-blocks of the search: a leaf's worth of cells at a time through the tree, then each
// candidate measured while the next ones' arrays are asked for.
#include "kernels/package/search/pair_blocks.h"

#include <algorithm>
#include <cmath>

#include "kernels/common/lanes/lanes.h"
#include "platform/clock.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

bool cell_views(const SceneCells& cells, const BoxTree& tree, int32_t workers, PlainBuffer<CellView>& views) {
    constexpr size_t PIECE = 16384;
    if (!views.resize(static_cast<size_t>(cells.count))) return false;
    auto piece = [&](int32_t k) {
        const size_t last = std::min(views.size(), (size_t(k) + 1) * PIECE);
        for (size_t p = size_t(k) * PIECE; p < last; ++p) {
            const int32_t i = tree.order[p];
            const int64_t v = cells.vertex_starts[i], e = cells.edge_starts[i];
            views[p] = {cells.xyz + 3 * v, cells.edges + 2 * e, static_cast<int32_t>(cells.vertex_starts[i + 1] - v),
                        static_cast<int32_t>(cells.edge_starts[i + 1] - e), cells.collections[i]};
        }
    };
    for_each_piece(workers, static_cast<int32_t>((views.size() + PIECE - 1) / PIECE), piece);
    return true;
}

namespace {

// Candidates between asking for a cell's arrays and measuring it.
constexpr size_t PREFETCH_AHEAD = 3;

// The candidates of positions [first, last): found[starts[k] ..] for position first + k. The
// positions are searched a leaf's worth at a time (one walk of the tree for all of them).
template <class Measurer>
bool search_block(const PairSearch<Measurer>& search, int32_t first, int32_t last, PlainBuffer<int32_t>& stack,
                  PlainBuffer<int32_t>* group, PlainBuffer<int32_t>& found, PlainBuffer<size_t>& starts) {
    found.clear();
    if (!starts.resize(static_cast<size_t>(last - first) + 1)) return false;
    for (int32_t p = first; p < last; p += LEAF_SIZE) {
        const int32_t end = std::min(last, p + LEAF_SIZE);
        for (int32_t k = 0; k < end - p; ++k) group[k].clear();
        if (!boxes_after_group(*search.tree, p, end, search.reach, stack, group)) return false;
        for (int32_t k = 0; k < end - p; ++k) {
            starts[static_cast<size_t>(p + k - first)] = found.size();
            if (!found.append(group[k].data(), group[k].size())) return false;
        }
    }
    starts[static_cast<size_t>(last - first)] = found.size();
    return true;
}

// The cells of a candidate come from anywhere in the caller's arrays: ask for the vertices (and
// edges) of one a few candidates ahead while the current one is measured.
inline void prefetch_cell(const CellView& cell, bool edges) {
    const char* first = reinterpret_cast<const char*>(cell.vertices);
    const char* last = reinterpret_cast<const char*>(cell.vertices + 3 * cell.v_count);
    for (const char* line = first; line < last; line += 64) prefetch_line(line);
    if (!edges) return;
    first = reinterpret_cast<const char*>(cell.edges);
    last = reinterpret_cast<const char*>(cell.edges + 2 * cell.e_count);
    for (const char* line = first; line < last; line += 64) prefetch_line(line);
}

// What the block loop asks of each rule's measurer: whether measuring a candidate reads its
// edges too (to ask for them ahead), what starts with a new first cell, and the verdict on a
// candidate, its details (where the rule has any) kept in `details` at `detail`.
inline bool reads_edges(const ExactMeasurer&, const CellView& a, const CellView& b) {
    return b.collection != a.collection;
}
inline bool reads_edges(const HullMeasurer&, const CellView&, const CellView&) { return false; }

inline void start_cell(ExactMeasurer& rule) { start_cell(*rule.space); }
inline void start_cell(const HullMeasurer&) {}

inline Closeness measure(ExactMeasurer& rule, int32_t p, int32_t q, const CellView& a, const CellView& b,
                         StreamBuffer<double>&, int64_t&) {
    return exact_cells_close(a, rule.boxes[static_cast<size_t>(p)], b, rule.boxes[static_cast<size_t>(q)],
                             rule.threshold, *rule.space);
}

inline Closeness measure(const HullMeasurer& rule, int32_t p, int32_t q, const CellView& a, const CellView& b,
                         StreamBuffer<double>& details, int64_t& detail) {
    if (!measure_hulls(rule, p, q, {a.vertices, a.v_count}, {b.vertices, b.v_count}, details, detail)) {
        return Closeness::out_of_memory;
    }
    return detail < 0 ? Closeness::apart : Closeness::close;
}

// Measures each candidate of positions [first, last) and keeps the close ones.
template <class Measurer>
bool measure_block(const PairSearch<Measurer>& search, int32_t first, int32_t last, const PlainBuffer<int32_t>& found,
                   const PlainBuffer<size_t>& starts, Measurer& measurer, SubBlock& out) {
    const BoxTree& tree = *search.tree;
    const CellView* views = search.views;
    for (int32_t p = first; p < last; ++p) {
        const int32_t a = tree.order[static_cast<size_t>(p)];
        start_cell(measurer);
        const CellView& cell_a = views[p];
        if (p + 1 < last) prefetch_cell(views[p + 1], false);
        for (size_t k = starts[static_cast<size_t>(p - first)]; k < starts[static_cast<size_t>(p - first) + 1]; ++k) {
            const int32_t q = found[k];
            const int32_t b = tree.order[static_cast<size_t>(q)];
            const CellView& cell_b = views[q];
            if (k + PREFETCH_AHEAD < found.size()) {
                const CellView& ahead = views[found[k + PREFETCH_AHEAD]];
                prefetch_cell(ahead, reads_edges(measurer, cell_a, ahead));
            }
            int64_t detail = -1;
            const Closeness verdict = measure(measurer, p, q, cell_a, cell_b, out.details, detail);
            if (verdict == Closeness::out_of_memory) return false;
            if (verdict == Closeness::apart) continue;
            if (!out.pairs.push_back({std::min(a, b), std::max(a, b), detail})) return false;
        }
    }
    return true;
}

}  // namespace

template <class Measurer>
void pair_blocks(int32_t begin, int32_t end, void* context) {
    const PairSearch<Measurer>& search = *static_cast<const PairSearch<Measurer>*>(context);
    PlainBuffer<int32_t> stack, found, group[LEAF_SIZE];
    PlainBuffer<size_t> starts;
    typename Measurer::Workspace workspace;
    Measurer measurer = search.measurer;
    const bool room = stack.reserve(128) && measurer.attach(workspace, search.largest_cell);
    for (int32_t s = begin; s < end; ++s) {
        SubBlock& out = search.blocks[s];
        out.pairs.clear();
        out.details.clear();
        out.failed = !room;
        out.candidates = 0;
        out.search_seconds = out.measure_seconds = 0.0;
        const int32_t first = search.begin + s * search.per_block;
        const int32_t last = std::min(search.end, first + search.per_block);
        if (out.failed || first >= last) continue;
        const double start = clock_seconds();
        out.failed = !search_block(search, first, last, stack, group, found, starts);
        out.candidates = static_cast<int64_t>(found.size());
        const double searched = clock_seconds();
        // Filled on this thread's stack and handed back after: the sub-blocks lie side by side,
        // and other threads filling their neighbours in place would share cache lines with it.
        SubBlock mine;
        mine.pairs.swap(out.pairs);
        mine.details.swap(out.details);
        out.failed = out.failed || !measure_block(search, first, last, found, starts, measurer, mine);
        out.pairs.swap(mine.pairs);
        out.details.swap(mine.details);
        out.search_seconds = searched > start ? searched - start : 0.0;
        out.measure_seconds = seconds_since(searched);
    }
}

template void pair_blocks<ExactMeasurer>(int32_t begin, int32_t end, void* context);
template void pair_blocks<HullMeasurer>(int32_t begin, int32_t end, void* context);

}  // namespace cellprox
