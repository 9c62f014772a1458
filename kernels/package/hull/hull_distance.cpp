// The hull distance: each pair placed for the search (hull_search.h), which runs on the lanes the
// workspace chose, and the closest points from the simplex it ends with.
#include "kernels/package/hull/hull_distance.h"

#include <algorithm>
#include <cmath>

#include "kernels/package/hull/hull_cloud.h"
#include "kernels/package/hull/gjk/hull_search.h"
#include "platform/cpu_features.h"

namespace cellprox {

namespace {

// A bound of the distance from the base to any point of the box: the sum over the axes of its
// farther side (no square root: a bound within a factor of sqrt 3 serves).
double farthest_from_base(const Box3d& box) {
    const double x = -box.low.x > box.high.x ? -box.low.x : box.high.x;
    const double y = -box.low.y > box.high.y ? -box.low.y : box.high.y;
    const double z = -box.low.z > box.high.z ? -box.low.z : box.high.z;
    return (x + y) + z;
}

// The pair as the search takes it: a placed once while it repeats (with its box), b for this
// pair, both relative to a's first vertex; the first direction as given, or from box centre to
// box centre, or (boxes with one centre) between the first vertices.
PlacedPair placed_pair(HullPoints a, HullPoints b, double limit, HullWorkspace& work, const double* toward_a,
                       bool weights) {
    const Vec3d base = {a.xyz[0], a.xyz[1], a.xyz[2]};
    int slot = 0;
    while (slot < 2 && (work.placed[slot].xyz != a.xyz || work.placed[slot].count != a.count)) ++slot;
    HullCloud from;
    if (slot < 2) {
        from = {work.axis(3 * slot), work.axis(3 * slot + 1), work.axis(3 * slot + 2), padded_count(a.count)};
    } else {
        slot = 1 - work.last_placed;
        from = place(a, base, work.axis(3 * slot), work.axis(3 * slot + 1), work.axis(3 * slot + 2));
        HullWorkspace::PlacedCell& cell = work.placed[slot];
        cell.box = cloud_box(from);
        cell.reach = farthest_from_base(cell.box);
        cell.indexed = false;
        cell.xyz = a.xyz;
        cell.count = a.count;
    }
    work.last_placed = slot;
    PlacedPair pair;
    pair.a = a;
    pair.b = b;
    pair.from = from;
    pair.slot = slot;
    pair.to = place(b, base, work.axis(6), work.axis(7), work.axis(8));
    pair.box_a = work.placed[slot].box;
    // Every point of A - B is a point of a less one of b, and no point of b lies farther from the
    // base than b's first vertex does by more than b's span.
    const Vec3d b0 = vertex(pair.to, 0);
    double b_reach = std::fabs(b0.x) + std::fabs(b0.y) + std::fabs(b0.z) + b.span;
    Vec3d given = toward_a != nullptr ? Vec3d{toward_a[0], toward_a[1], toward_a[2]} : Vec3d{0.0, 0.0, 0.0};
    if (toward_a == nullptr || !(b.span >= 0.0)) {
        const Box3d box_b = cloud_box(pair.to);
        if (toward_a == nullptr) given = centre(pair.box_a) - centre(box_b);
        b_reach = farthest_from_base(box_b);
    }
    const Vec3d d = dot(given, given) > 0.0 ? given : vertex(pair.from, 0) - b0;
    pair.first[0] = d.x;
    pair.first[1] = d.y;
    pair.first[2] = d.z;
    pair.limit = limit;
    pair.size = work.placed[slot].reach + b_reach;
    pair.weights = weights;
    return pair;
}

// The weighted corners on each hull, in the cells' own coordinates.
void witnesses(const SearchOutcome& found, const PlacedPair& pair, double on_a[3], double on_b[3]) {
    const double* axes_a[3] = {pair.from.x, pair.from.y, pair.from.z};
    const double* axes_b[3] = {pair.to.x, pair.to.y, pair.to.z};
    for (int k = 0; k < 3; ++k) {
        double pa = 0.0, pb = 0.0;
        for (int c = 0; c < found.count; ++c) {
            pa += found.weight[c] * axes_a[k][found.i[c]];
            pb += found.weight[c] * axes_b[k][found.j[c]];
        }
        // Touching hulls: one point for both, halfway between what the two sides give (they
        // differ by rounding, or by at most the contact length).
        if (found.distance == 0.0) pa = pb = 0.5 * (pa + pb);
        on_a[k] = static_cast<double>(pair.a.xyz[k]) + pa;
        on_b[k] = static_cast<double>(pair.a.xyz[k]) + pb;
    }
}

}  // namespace

HullWorkspace::HullWorkspace() : search_(search_narrow), wide_(false) { use_wide_lanes(true); }

bool HullWorkspace::use_wide_lanes(bool wide) {
    if (wide && !processor_has_avx2()) return false;
    search_ = wide ? search_wide : search_narrow;
    wide_ = wide;
    return true;
}

bool HullWorkspace::reserve(int32_t points) {
    const int64_t padded = static_cast<int64_t>(points) + HULL_CLOUD_BLOCK - 1;   // room to round up
    if (padded <= capacity_) return true;
    if (padded > INT32_MAX) return false;
    int bits = 4;
    while ((int64_t(1) << bits) < 8 * static_cast<int64_t>(points)) ++bits;
    if (!values_.resize(9 * static_cast<size_t>(padded)) || !slots_.resize(size_t(2) << bits)) {
        return false;
    }
    capacity_ = static_cast<int32_t>(padded);
    slot_bits_ = bits;
    placed[0] = placed[1] = PlacedCell{};
    return true;
}

double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work) {
    return hull_distance(a, b, limit, work, nullptr);
}

double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work, const double toward_a[3]) {
    return work.search()(placed_pair(a, b, limit, work, toward_a, false), work).distance;
}

double hull_distance_witnesses(HullPoints a, HullPoints b, double limit, HullWorkspace& work,
                               const double toward_a[3], double on_a[3], double on_b[3]) {
    const PlacedPair pair = placed_pair(a, b, limit, work, toward_a, true);
    const SearchOutcome found = work.search()(pair, work);
    witnesses(found, pair, on_a, on_b);
    return found.distance;
}

}  // namespace cellprox
