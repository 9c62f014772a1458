// Gilbert-Johnson-Keerthi distance on the Minkowski difference A - B of two vertex sets.
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
// never make it cycle; where sign tests of the face choice below disagree with each other, the
// nearer candidate wins, and a choice that does not lower the bound ends the search.
#include "kernels/hull/hull_distance.h"

#include <algorithm>
#include <cmath>

#include "kernels/hull/hull_cloud.h"
#include "kernels/hull/hull_simplex.h"
#include "platform/cpu_features.h"

namespace cellprox {

namespace {

// Relative accuracy of the result against the size of the two cells and their gap, and the
// length below which the origin counts as reached (touching hulls).
constexpr double ACCURACY = 1e-13;
constexpr double CONTACT = 1e-14;
// Steps never needed by polytopes of the sizes cells have; a guard, not a tuning knob.
constexpr int MAX_STEPS = 128;

// How a search ended: the distance (or the lower bound beyond the limit), and the simplex whose
// weighted corners give the two hulls' points.
struct Search {
    double distance;
    Corner corner[4];
    int count;
};

Search ended(double distance, const Corner* corner, int count) {
    Search result;
    result.distance = distance;
    result.count = count;
    std::copy(corner, corner + count, result.corner);
    return result;
}

Search search(HullPoints a, HullPoints b, double limit, HullWorkspace& work, const double* toward_a) {
    const Vec3d base = {a.xyz[0], a.xyz[1], a.xyz[2]};
    HullCloud from = {work.axis(0), work.axis(1), work.axis(2), padded_count(a.count)};
    if (work.placed != a.xyz || work.placed_count != a.count) {
        from = place(a, base, work.axis(0), work.axis(1), work.axis(2));
        const CloudBox box = cloud_box(from);
        const double bounds[6] = {box.low.x, box.low.y, box.low.z, box.high.x, box.high.y, box.high.z};
        std::copy(bounds, bounds + 6, work.placed_bounds);
        work.placed_indexed = false;
        work.placed = a.xyz;
        work.placed_count = a.count;
    }
    const HullCloud to = place(b, base, work.axis(3), work.axis(4), work.axis(5));
    const double* bounds = work.placed_bounds;
    const CloudBox box_a = {{bounds[0], bounds[1], bounds[2]}, {bounds[3], bounds[4], bounds[5]}};
    const FarthestVertices farthest = work.farthest();
    const double limit2 = limit * limit;

    // The first step searches along the given direction (or from box centre to box centre), which
    // is no point of A - B: it can prove the hulls apart, and gives the simplex its first point.
    Corner corner[4];   // the first `count` hold the simplex (not cleared: that costs a step's time)
    {
        const Vec3d given = toward_a != nullptr ? Vec3d{toward_a[0], toward_a[1], toward_a[2]}
                                              : centre(box_a) - centre(cloud_box(to));
        const Vec3d d = dot(given, given) > 0.0 ? given : vertex(from, 0) - vertex(to, 0);
        const SupportPair found = farthest(from, to, d.x, d.y, d.z);
        const int32_t i = found.a, j = found.b;
        corner[0] = {vertex(from, i) - vertex(to, j), i, j};
        const double reach = dot(d, corner[0].w);
        if (reach > 0.0 && reach * reach > limit2 * dot(d, d)) {
            return ended(reach / std::sqrt(dot(d, d)), corner, 1);
        }
    }
    Vec3d v = corner[0].w;
    int count = 1;
    double length2 = dot(v, v);
    double size2 = length2;

    for (int step = 0; step < MAX_STEPS; ++step) {
        if (length2 <= CONTACT * CONTACT * size2) return ended(0.0, corner, count);
        const SupportPair found = farthest(from, to, v.x, v.y, v.z);
        const int32_t i = found.a, j = found.b;
        const Corner next = {vertex(from, i) - vertex(to, j), i, j};
        const double next2 = dot(next.w, next.w);
        if (next2 > size2) size2 = next2;
        const double reach = dot(v, next.w);   // v.w: |v| times the lower bound
        if (reach > 0.0 && reach * reach > limit2 * length2) return ended(reach / std::sqrt(length2), &next, 1);
        // Not proven apart at once, and no gap proven (a positive lower bound rules out a shared vertex).
        if (step == 0 && !(reach > 0.0) && a.may_share && b.may_share) {
            if (!work.placed_indexed) {
                index_vertices(a, work);
                work.placed_indexed = true;
            }
            const SharedVertex shared = shared_vertex(a, b, to, box_a, work);
            if (shared.i >= 0) {
                const Corner at = {vertex(from, shared.i) - vertex(to, shared.j), shared.i, shared.j};
                return ended(0.0, &at, 1);
            }
        }
        // Converged when |v| exceeds the lower bound by ACCURACY * size at most.
        const double excess = length2 - reach;   // |v| times that excess
        if (excess * excess <= ACCURACY * ACCURACY * size2 * length2) break;
        bool known = false;
        for (int k = 0; k < 3; ++k) known |= (k < count) & same(corner[k].w, next.w);
        if (known) break;

        corner[count] = next;
        const Closest closest = nearest_on_simplex(corner, count + 1);
        if (!(closest.length2 < length2)) break;   // no progress: the last bound stands
        count = keep_used(corner, count + 1, closest.used);
        v = closest.point;
        length2 = closest.length2;
        if (count == 4) return ended(0.0, corner, count);
    }
    if (length2 <= CONTACT * CONTACT * size2) return ended(0.0, corner, count);
    return ended(std::sqrt(length2), corner, count);
}

// The weighted corners on each hull, in the cells' own coordinates.
void witnesses(const Search& found, HullWorkspace& work, const float* base, double on_a[3], double on_b[3]) {
    double weight[4];
    nearest_weights(found.corner, found.count, weight);
    const double* axes_a[3] = {work.axis(0), work.axis(1), work.axis(2)};
    const double* axes_b[3] = {work.axis(3), work.axis(4), work.axis(5)};
    for (int k = 0; k < 3; ++k) {
        double pa = 0.0, pb = 0.0;
        for (int c = 0; c < found.count; ++c) {
            pa += weight[c] * axes_a[k][found.corner[c].i];
            pb += weight[c] * axes_b[k][found.corner[c].j];
        }
        // Touching hulls: one point for both, halfway between what the two sides give (they
        // differ by rounding, or by at most the contact length).
        if (found.distance == 0.0) pa = pb = 0.5 * (pa + pb);
        on_a[k] = static_cast<double>(base[k]) + pa;
        on_b[k] = static_cast<double>(base[k]) + pb;
    }
}

}  // namespace

HullWorkspace::HullWorkspace()
    : farthest_(processor_has_avx2() ? farthest_vertices_wide : farthest_vertices_narrow) {}

bool HullWorkspace::use_wide_lanes(bool wide) {
    if (wide && !processor_has_avx2()) return false;
    farthest_ = wide ? farthest_vertices_wide : farthest_vertices_narrow;
    return true;
}

bool HullWorkspace::reserve(int32_t points) {
    const int64_t padded = static_cast<int64_t>(points) + kHullCloudBlock - 1;   // room to round up
    if (padded <= capacity_) return true;
    if (padded > INT32_MAX) return false;
    int bits = 4;
    while ((int64_t(1) << bits) < 8 * static_cast<int64_t>(points)) ++bits;
    if (!values_.resize(6 * static_cast<size_t>(padded)) || !slots_.resize(size_t(1) << bits)) {
        return false;
    }
    capacity_ = static_cast<int32_t>(padded);
    slot_bits_ = bits;
    placed = nullptr;
    return true;
}

double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work) {
    return search(a, b, limit, work, nullptr).distance;
}

double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work, const double toward_a[3]) {
    return search(a, b, limit, work, toward_a).distance;
}

double hull_distance_witnesses(HullPoints a, HullPoints b, double limit, HullWorkspace& work,
                               const double toward_a[3], double on_a[3], double on_b[3]) {
    const Search found = search(a, b, limit, work, toward_a);
    witnesses(found, work, a.xyz, on_a, on_b);
    return found.distance;
}

}  // namespace cellprox
