// A frame: the motion pass, the choice between a fresh search, a new list and the list at hand,
// the verdicts, the close pairs collected in the list's order (sorted already), and what began
// and ended against the frame before. Everything new goes to the state only once the frame has
// succeeded.
#include "kernels/package/frames/pair_tracker.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/clock.h"
#include "platform/loops/thread_team.h"

namespace cellprox {

namespace {

// Rounding room of every bound, relative to the largest coordinate, threshold and skin: the
// rules' double arithmetic errs by a few units of 2^-53 of those, far inside it.
constexpr double SLACK_SHARE = 0x1p-30;
// A frame where more than one cell in this many leapt beyond any skin is searched afresh.
constexpr int64_t LEAPING_SHARE = 4;
// The cells that escaped are listed anew alone while those renewed since the whole list was made
// are at most one cell in this many, and looking each escaping cell up against them (one by
// one) costs at most this many box tests a cell; beyond, the whole list is made again.
constexpr int64_t RENEWED_SHARE = 8;
constexpr int64_t RELIST_TESTS = 8;
// How fast the remembered motion fades when the cells slow down, a frame at a time.
constexpr double MOTION_MEMORY = 0.9;
// Cells sampled for the typical size.
constexpr int32_t EXTENT_SAMPLE = 1024;
constexpr size_t COLLECT_PIECE = 16384;

double slack_of(double scale, double threshold, double skin) { return SLACK_SHARE * ((scale + threshold) + skin); }

// The longest side of the boxes of an even sample of cells, the median.
double typical_extent(const PlainBuffer<VertexBox>& boxes) {
    const size_t n = boxes.size();
    if (n == 0) return 0.0;
    const size_t step = std::max<size_t>(1, n / EXTENT_SAMPLE);
    double sides[EXTENT_SAMPLE + 1];
    size_t count = 0;
    for (size_t i = 0; i < n && count <= EXTENT_SAMPLE; i += step) {
        const VertexBox& box = boxes[i];
        double side = 0.0;
        for (int axis = 0; axis < 3; ++axis) side = std::max(side, double(box.hi[axis]) - double(box.lo[axis]));
        if (box.lo[0] <= box.hi[0]) sides[count++] = side;    // a cell without vertices has none
    }
    if (count == 0) return 0.0;
    std::nth_element(sides, sides + count / 2, sides + count);
    return sides[count / 2];
}

// The largest skin the tracker chooses: beyond the threshold or a typical cell's size, a list
// would hold more of the scene than it saves.
double largest_skin(double threshold, double extent) { return std::max(threshold, extent); }

double chosen_skin(const TrackerState& state, double extent, double motion) {
    if (state.given_skin >= 0.0) return state.given_skin;
    const double threshold = state.query.threshold;
    return std::min(largest_skin(threshold, extent), std::max(threshold / 16.0, SKIN_FRAMES * motion));
}

// The proofs of the pairs on both lists, carried from `old` to `list` (both sorted).
void carry_proofs(const PairProofs& old_proofs, const StreamBuffer<TrackedPair>& old, const StreamBuffer<TrackedPair>& list,
                  size_t stride, PairProofs& proofs) {
    size_t o = 0;
    for (size_t k = 0; k < list.size(); ++k) {
        proofs.proof[k] = PairProof::none;
        while (o < old.size() && old[o] < list[k]) ++o;
        if (o == old.size() || !(old[o] == list[k])) continue;
        const PairProof proof = old_proofs.proof[o];
        proofs.proof[k] = proof;
        proofs.bound[k] = old_proofs.bound[o];
        if (stride == 0) {
            proofs.elements[2 * k] = old_proofs.elements[2 * o];
            proofs.elements[2 * k + 1] = old_proofs.elements[2 * o + 1];
        } else std::copy_n(old_proofs.detail.data() + stride * o, stride, proofs.detail.data() + stride * k);
    }
}

void swap_trees(BoxTree& a, BoxTree& b) {
    a.nodes.swap(b.nodes);
    a.order.swap(b.order);
    a.boxes.swap(b.boxes);
}

// The close pairs of the list in its order, their gaps and witnesses, and their origin distances.
ProximityStatus collect_close(const SceneCells& cells, const ProximityQuery& query, const StreamBuffer<TrackedPair>& list,
                              const Verdicts& verdicts, int32_t workers, ProximityResult& result) {
    const size_t count = list.size();
    const int32_t pieces = static_cast<int32_t>((count + COLLECT_PIECE - 1) / COLLECT_PIECE);
    PlainBuffer<size_t> places;
    if (!places.resize(static_cast<size_t>(pieces) + 1)) return ProximityStatus::out_of_memory;
    auto tally = [&](int32_t p) {
        size_t close = 0;
        const size_t last = std::min(count, (size_t(p) + 1) * COLLECT_PIECE);
        for (size_t k = size_t(p) * COLLECT_PIECE; k < last; ++k) close += verdicts.close[k];
        places[size_t(p) + 1] = close;
    };
    for_each_piece(workers, pieces, tally);
    places[0] = 0;
    for (int32_t p = 0; p < pieces; ++p) places[size_t(p) + 1] += places[size_t(p)];
    const size_t m = places[size_t(pieces)];
    const bool hull = query.rule == ProximityRule::hull;
    const size_t stride = detail_stride(query);
    if (!result.pairs.resize(m) || !result.distances.resize(m) || !result.gaps.resize(hull ? m : 0) ||
        !result.witnesses.resize(query.witnesses ? 6 * m : 0)) {
        return ProximityStatus::out_of_memory;
    }
    auto fill = [&](int32_t p) {
        size_t at = places[size_t(p)];
        const size_t last = std::min(count, (size_t(p) + 1) * COLLECT_PIECE);
        for (size_t k = size_t(p) * COLLECT_PIECE; k < last; ++k) {
            if (!verdicts.close[k]) continue;
            result.pairs[at] = {list[k].first, list[k].second, static_cast<int64_t>(k)};
            if (hull) {
                const double* detail = verdicts.proofs.detail.data() + stride * k;
                result.gaps[at] = detail[0];
                if (query.witnesses) std::copy_n(detail + 1, 6, result.witnesses.data() + 6 * at);
            }
            ++at;
        }
    };
    for_each_piece(workers, pieces, fill);
    return origin_distances(cells, workers, result) ? ProximityStatus::ok : ProximityStatus::origin_overflow;
}

bool close_list(const ProximityResult& result, StreamBuffer<TrackedPair>& close) {
    if (!close.resize(result.pairs.size())) return false;
    for (size_t k = 0; k < result.pairs.size(); ++k) close[k] = {result.pairs[k].first, result.pairs[k].second};
    return true;
}

void clear_report(FrameReport& report) {
    ProximityResult& result = report.result;
    result.pairs.clear();
    result.distances.clear();
    result.gaps.clear();
    result.witnesses.clear();
    result.candidates = result.pairs_held = 0;
    result.seconds = ProximityTimes{};
    report.began.clear();
    report.ended.clear();
    report.candidates = 0;
}

}  // namespace

void start_tracker(TrackerState& state, const ProximityQuery& query, double given_skin, int32_t cell_count,
                   int32_t largest_cell) {
    state.query = query;
    state.given_skin = given_skin;
    state.cell_count = cell_count;
    state.largest_cell = std::max<int32_t>(1, largest_cell);
    state.motion = state.scale = state.skin = state.extent = 0.0;
    state.listed = false;
    state.candidates.clear();
    state.close.clear();
    state.frames = state.rebuilds = state.relists = state.fresh = 0;
    state.costs = FrameCosts{};
}

bool pair_changes(const TrackedPair* before, size_t before_count, const TrackedPair* now, size_t now_count,
                  StreamBuffer<TrackedPair>& began, StreamBuffer<TrackedPair>& ended) {
    began.clear();
    ended.clear();
    size_t b = 0, n = 0;
    while (b < before_count || n < now_count) {
        if (n == now_count || (b < before_count && before[b] < now[n])) {
            if (!ended.push_back(before[b++])) return false;
        } else if (b == before_count || now[n] < before[b]) {
            if (!began.push_back(now[n++])) return false;
        } else {
            ++b;
            ++n;
        }
    }
    return true;
}

ProximityStatus track_frame(TrackerState& state, const FrameInputs& in, int32_t workers, const WorkWatch* watch,
                            FrameReport& report) {
    clear_report(report);
    const SceneCells& cells = in.cells;
    const size_t n = static_cast<size_t>(cells.count);
    const ProximityQuery& query = state.query;
    const size_t stride = detail_stride(query);
    const double threshold = query.threshold;
    const bool first = state.frames == 0 || in.previous == nullptr;
    const bool listed = !first && state.listed;
    const double frame_start = clock_seconds();
    double start = frame_start;

    FrameMotion& motion = state.motion_room;
    const MotionInputs motion_inputs{&cells,
                                     first ? nullptr : in.previous,
                                     first ? nullptr : state.boxes.data(),
                                     listed ? state.reference.data() : nullptr,
                                     query.rule == ProximityRule::hull,
                                     0.5 * largest_skin(threshold, state.extent)};
    if (!measure_motion(motion_inputs, workers, motion)) return ProximityStatus::out_of_memory;
    const double motion_seconds = seconds_since(frame_start);
    double extent = first ? typical_extent(motion.boxes) : state.extent;
    const double scale = std::max(state.scale, motion.scale);

    // What this frame takes: the cells that escaped their skin, if any, decide.
    FrameWork work = FrameWork::reused;
    StreamBuffer<int32_t>& escaped = state.cells_room;
    escaped.clear();
    const bool pause = !first && starts_pause(state.costs, state.frames, state.cell_count);
    if (first || int64_t(motion.leapt) * LEAPING_SHARE > int64_t(cells.count) || paused(state.costs, state.frames, state.cell_count)) {
        work = FrameWork::fresh;
    } else if (!listed) {
        work = FrameWork::rebuilt;
    } else if (motion.shift[0] + motion.shift[1] > state.skin - slack_of(scale, threshold, state.skin)) {
        const double half = 0.5 * (state.skin - slack_of(scale, threshold, state.skin));
        if (!state.escaping_room.resize(n)) return ProximityStatus::out_of_memory;
        std::fill(state.escaping_room.data(), state.escaping_room.data() + n, uint8_t(0));
        for (size_t i = 0; i < n; ++i) {
            if (!(motion.shift_of[i] > half)) continue;
            if (!escaped.push_back(static_cast<int32_t>(i))) return ProximityStatus::out_of_memory;
            state.escaping_room[i] = 1;
        }
        const int64_t renewed = static_cast<int64_t>(state.renewed_cells.size() + escaped.size());
        const bool few = renewed * RENEWED_SHARE <= int64_t(n) &&
                         static_cast<int64_t>(escaped.size()) * renewed <= RELIST_TESTS * int64_t(n);
        work = few ? FrameWork::relisted : FrameWork::rebuilt;
    }
    const double seen = work == FrameWork::fresh ? state.motion : std::max(motion.step, MOTION_MEMORY * state.motion);
    report.work = work;
    ProximityResult& result = report.result;

    StreamBuffer<TrackedPair> fresh_close;
    StreamBuffer<int32_t> renewed_cells;
    BoxTree tree;
    double skin = state.skin;
    ProximityStatus status = ProximityStatus::ok;
    if (work == FrameWork::fresh) {
        status = find_close_pairs(cells, query, workers, watch, result);
        if (status != ProximityStatus::ok) return status;
        if (!close_list(result, fresh_close)) return ProximityStatus::out_of_memory;
        result.seconds.tree += motion_seconds;
    } else {
        const bool relisting = work == FrameWork::rebuilt || work == FrameWork::relisted;
        StreamBuffer<TrackedPair>& list = relisting ? state.list_room : state.candidates;
        // A new list's proofs are carried into the room the verdicts are written to, and judged
        // there in place (each pair's read before it is written); the state's stay as they were.
        PairProofs& carried = state.verdict_room.proofs;
        const PairProofs* kept = &state.proofs;
        const int64_t total = (work == FrameWork::rebuilt ? int64_t(cells.count) : 0) + int64_t(state.candidates.size());
        result.seconds.tree = seconds_since(start);
        start = clock_seconds();
        if (work == FrameWork::rebuilt) {
            extent = typical_extent(motion.boxes);
            skin = chosen_skin(state, extent, seen);
            if (!build_box_tree(motion.boxes.data(), cells.count, tree, workers)) return ProximityStatus::out_of_memory;
            status = list_candidates(tree, cells.count, threshold + skin, workers, watch, 0, total, list);
            if (status != ProximityStatus::ok) return status;
        } else if (work == FrameWork::relisted) {
            // The escaping cells' boxes are their new references.
            if (!state.reference_room.resize(n) || !state.renewed_room.resize(n) ||
                !renewed_cells.append(state.renewed_cells.data(), state.renewed_cells.size()) ||
                !renewed_cells.append(escaped.data(), escaped.size())) {
                return ProximityStatus::out_of_memory;
            }
            std::copy(state.reference.data(), state.reference.data() + n, state.reference_room.data());
            std::copy(state.renewed.data(), state.renewed.data() + n, state.renewed_room.data());
            for (size_t e = 0; e < escaped.size(); ++e) {
                const size_t i = static_cast<size_t>(escaped[e]);
                state.reference_room[i] = motion.boxes[i];
                state.renewed_room[i] = 1;
            }
            const Relisting relisting_of{&state.tree, state.reference_room.data(), state.renewed_room.data(),
                                         renewed_cells.data(), renewed_cells.size(), state.escaping_room.data(),
                                         escaped.data(), escaped.size(), threshold + skin};
            status = relist_pairs(relisting_of, state.candidates, list);
            if (status != ProximityStatus::ok) return status;
        }
        if (relisting) {
            if (!carried.resize(list.size(), query)) return ProximityStatus::out_of_memory;
            if (listed) {
                carry_proofs(state.proofs, state.candidates, list, stride, carried);
            } else {
                std::fill(carried.proof.data(), carried.proof.data() + list.size(), PairProof::none);
            }
            kept = &carried;
            result.seconds.candidates = seconds_since(start);
        }
        start = clock_seconds();
        Verdicts& verdicts = state.verdict_room;
        const VerdictInputs verdict_inputs{&cells, &motion, motion.drift.data(), list.data(), list.size(), kept, query,
                                           skin, slack_of(scale, threshold, skin), state.largest_cell};
        status = judge_pairs(verdict_inputs, workers, watch, total - int64_t(list.size()), total, verdicts);
        if (status != ProximityStatus::ok) return status;
        result.seconds.measure = seconds_since(start);
        start = clock_seconds();
        result.candidates = verdicts.measured;
        report.candidates = static_cast<int64_t>(list.size());
        status = collect_close(cells, query, list, verdicts, workers, result);
        if (status != ProximityStatus::ok) return status;
        if (!close_list(result, fresh_close)) return ProximityStatus::out_of_memory;
        result.seconds.collect = seconds_since(start);
    }
    if (!pair_changes(state.close.data(), state.close.size(), fresh_close.data(), fresh_close.size(), report.began,
                      report.ended)) {
        return ProximityStatus::out_of_memory;
    }
    if (work == FrameWork::rebuilt && (!state.reference.reserve(n) || !state.renewed.reserve(n))) {
        return ProximityStatus::out_of_memory;
    }

    // The frame stands: the state takes what it made.
    if (work == FrameWork::rebuilt) {
        swap_trees(state.tree, tree);
        state.reference.resize(n);
        std::copy(motion.boxes.data(), motion.boxes.data() + motion.boxes.size(), state.reference.data());
        state.renewed.resize(n);
        std::fill(state.renewed.data(), state.renewed.data() + n, uint8_t(0));
        state.renewed_cells.clear();
        state.candidates.swap(state.list_room);
        state.skin = skin;
        state.listed = true;
        ++state.rebuilds;
    } else if (work == FrameWork::relisted) {
        state.reference.swap(state.reference_room);
        state.renewed.swap(state.renewed_room);
        state.renewed_cells.swap(renewed_cells);
        state.candidates.swap(state.list_room);
        ++state.relists;
    }
    if (work == FrameWork::fresh) {
        state.listed = false;
        state.candidates.clear();
        state.scale = motion.scale;
        ++state.fresh;
    } else {
        state.proofs.swap(state.verdict_room.proofs);
        state.scale = scale;
    }
    keep_cost(state.costs, state.frames, state.cell_count, work, seconds_since(frame_start), pause);
    state.extent = extent;
    state.motion = seen;
    state.boxes.swap(motion.boxes);
    state.close.swap(fresh_close);
    ++state.frames;
    return ProximityStatus::ok;
}

}  // namespace cellprox
