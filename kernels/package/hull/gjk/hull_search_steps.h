// The hull distance's search written once: Gilbert-Johnson-Keerthi distance on the Minkowski
// difference A - B of two vertex sets, its support steps on a double lane type D.
//
// Included by hull_search_narrow.cpp and hull_search_wide.cpp, after their headers and inside an
// unnamed namespace: everything here has internal linkage, so that the copy built for AVX2 can
// never stand in for the other's (a shared inline function could), and the one template the
// builds share, farthest_vertex_in, is instantiated on a lane type of each build's own.
//
// The hull of A - B is the set of all differences of points of the two hulls, so the distance
// between the hulls is the distance from the origin to that one hull. The search keeps a simplex
// of at most four points of A - B and the point v of the simplex closest to the origin; each step
// asks for the point w of A - B farthest along -v and replaces the simplex with the smallest face
// of (simplex + w) that holds the new closest point. |v| is an upper bound of the distance and
// v.w / |v| a lower bound; the search ends when they meet. Each simplex point remembers the two
// vertices it is the difference of, and the closest point its weights on them, so the points of
// the two hulls that realise the distance come with it.
//
// Rounding can make the steps' tests disagree with each other (a compiler may also evaluate sums
// in another order than written). The loop therefore keeps the smallest bound seen and stops as
// soon as a step fails to lower it, so rounding can only end the search a rounding error early,
// never make it cycle; where sign tests of the simplex's face choice disagree with each other, the
// nearer candidate wins, and a choice that does not lower the bound ends the search.

#include "kernels/package/hull/gjk/hull_simplex_steps.h"

// How the search ended, with the simplex's weights when asked.
inline SearchOutcome ended(double distance, const Corner* corner, int count, bool weights) {
    SearchOutcome outcome;
    outcome.distance = distance;
    outcome.count = count;
    for (int k = 0; k < count; ++k) {
        outcome.i[k] = corner[k].i;
        outcome.j[k] = corner[k].j;
    }
    if (weights) nearest_weights(corner, count, outcome.weight);
    return outcome;
}

template <class D>
inline SupportPair farthest_pair(const HullCloud& a, const HullCloud& b, Vec3d d) {
    return {farthest_vertex_in<D>(a, -d.x, -d.y, -d.z), farthest_vertex_in<D>(b, d.x, d.y, d.z)};
}

template <class D>
SearchOutcome search_pair(const PlacedPair& pair, HullWorkspace& work) {
    const HullCloud& from = pair.from;
    const HullCloud& to = pair.to;
    // A bound proves the gap greater than the limit when it passes this.
    const double margin = HullTolerances::PROOF_MARGIN * pair.size;
    const double proof = (pair.limit + HullTolerances::LIMIT_SHARE * pair.limit) + margin;
    const double proof2 = proof * proof;

    // The first step searches along the given direction, which is no point of A - B: it can prove
    // the hulls apart, and gives the simplex its first point.
    Corner corner[4];   // the first `count` hold the simplex (not cleared: that costs a step's time)
    {
        const Vec3d d = {pair.first[0], pair.first[1], pair.first[2]};
        const SupportPair found = farthest_pair<D>(from, to, d);
        const int32_t i = found.a, j = found.b;
        corner[0] = {vertex(from, i) - vertex(to, j), i, j};
        const double reach = dot(d, corner[0].w);
        if (reach > 0.0 && reach * reach > proof2 * dot(d, d)) {
            return ended(reach / std::sqrt(dot(d, d)), corner, 1, pair.weights);
        }
    }
    Vec3d v = corner[0].w;
    int count = 1;
    double length2 = dot(v, v);
    double size2 = length2;

    for (int step = 0; step < HullTolerances::MAX_STEPS; ++step) {
        if (length2 <= HullTolerances::CONTACT * HullTolerances::CONTACT * size2) return ended(0.0, corner, count, pair.weights);
        const SupportPair found = farthest_pair<D>(from, to, v);
        const int32_t i = found.a, j = found.b;
        const Corner next = {vertex(from, i) - vertex(to, j), i, j};
        const double next2 = dot(next.w, next.w);
        if (next2 > size2) size2 = next2;
        const double reach = dot(v, next.w);   // v.w: |v| times the lower bound
        if (reach > 0.0 && reach * reach > proof2 * length2) {
            return ended(reach / std::sqrt(length2), &next, 1, pair.weights);
        }
        // Not proven apart at once, and no gap proven beyond rounding (which a shared vertex
        // rules out).
        if (step == 0 && !(reach > 0.0 && reach * reach > margin * margin * length2) && pair.a.may_share &&
            pair.b.may_share) {
            if (!work.placed[pair.slot].indexed) {
                index_vertices(pair.a, work, pair.slot);
                work.placed[pair.slot].indexed = true;
            }
            const SharedVertex shared = shared_vertex(pair.a, pair.b, to, pair.box_a, work, pair.slot);
            if (shared.i >= 0) {
                const Corner at = {vertex(from, shared.i) - vertex(to, shared.j), shared.i, shared.j};
                return ended(0.0, &at, 1, pair.weights);
            }
        }
        // Converged when |v| exceeds the lower bound by ACCURACY * size at most.
        const double excess = length2 - reach;   // |v| times that excess
        if (excess * excess <= HullTolerances::ACCURACY * HullTolerances::ACCURACY * size2 * length2) break;
        bool known = false;
        for (int k = 0; k < 3; ++k) known |= (k < count) & same(corner[k].w, next.w);
        if (known) break;

        corner[count] = next;
        const Closest closest = nearest_on_simplex(corner, count + 1);
        if (!(closest.length2 < length2)) break;   // no progress: the last bound stands
        count = keep_used(corner, count + 1, closest.used);
        v = closest.point;
        length2 = closest.length2;
        if (count == 4) return ended(0.0, corner, count, pair.weights);
    }
    if (length2 <= HullTolerances::CONTACT * HullTolerances::CONTACT * size2) return ended(0.0, corner, count, pair.weights);
    return ended(std::sqrt(length2), corner, count, pair.weights);
}
