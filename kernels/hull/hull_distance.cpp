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
// The project compiles with fast math: reassociated sums may differ from the written order by a
// rounding error. The loop therefore keeps the smallest bound seen and stops as soon as a step
// fails to lower it, so rounding can only end the search a rounding error early, never make it
// cycle; where sign tests of the face choice below disagree with each other, the nearer
// candidate wins, and a choice that does not lower the bound ends the search.
#include "kernels/hull/hull_distance.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/lanes/double_lanes.h"
#include "platform/cpu_features.h"

namespace cellprox {

namespace {

struct Vec {
    double x, y, z;
};

inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec operator*(double s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
inline double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline bool same(Vec a, Vec b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

inline int32_t padded_count(int32_t count) { return (count + kHullCloudBlock - 1) & ~(kHullCloudBlock - 1); }

inline Vec vertex(const HullCloud& cloud, int32_t i) { return {cloud.x[i], cloud.y[i], cloud.z[i]}; }

// One cell's vertices relative to a common base point, one axis per array. The base and the
// vertices are floats, so each difference is exact in double for any two coordinates within 2^29
// of each other in magnitude: far from the origin nothing of the cell's shape is lost. Four
// vertices at a time while twelve floats remain to be read; rounded up to the cloud block by
// repeating the last vertex.
HullCloud place(HullPoints cell, Vec base, double* x, double* y, double* z) {
    const Double2 bx = broadcast(base.x, Double2{}), by = broadcast(base.y, Double2{}),
                  bz = broadcast(base.z, Double2{});
    int32_t i = 0;
    for (; i + 4 <= cell.count; i += 4) {
        Float4 px, py, pz;
        load_points(cell.xyz + 3 * static_cast<int64_t>(i), px, py, pz);
        store(x + i, widen_low(px) - bx);
        store(x + i + 2, widen_high(px) - bx);
        store(y + i, widen_low(py) - by);
        store(y + i + 2, widen_high(py) - by);
        store(z + i, widen_low(pz) - bz);
        store(z + i + 2, widen_high(pz) - bz);
    }
    for (; i < cell.count; ++i) {
        const float* p = cell.xyz + 3 * static_cast<int64_t>(i);
        x[i] = static_cast<double>(p[0]) - base.x;
        y[i] = static_cast<double>(p[1]) - base.y;
        z[i] = static_cast<double>(p[2]) - base.z;
    }
    const int32_t padded = padded_count(cell.count);
    for (i = cell.count; i < padded; ++i) {
        x[i] = x[cell.count - 1];
        y[i] = y[cell.count - 1];
        z[i] = z[cell.count - 1];
    }
    return {x, y, z, padded};
}

// The box of a cloud, in its own coordinates.
struct Box {
    Vec low, high;
};

inline Vec centre(const Box& box) { return 0.5 * (box.low + box.high); }

Box cloud_box(const HullCloud& cloud) {
    const double* axes[3] = {cloud.x, cloud.y, cloud.z};
    double low[3], high[3];
    for (int k = 0; k < 3; ++k) {
        Double2 lanes_low = load(axes[k], Double2{}), lanes_high = lanes_low;
        for (int32_t i = 2; i < cloud.count; i += 2) {
            lanes_low = min(lanes_low, load(axes[k] + i, Double2{}));
            lanes_high = max(lanes_high, load(axes[k] + i, Double2{}));
        }
        low[k] = first_lane(min(lanes_low, swap_neighbours(lanes_low)));
        high[k] = first_lane(max(lanes_high, swap_neighbours(lanes_high)));
    }
    return {{low[0], low[1], low[2]}, {high[0], high[1], high[2]}};
}

// A point of the simplex: a vertex of A - B, and the numbers of the vertices of A and B whose
// difference it is.
struct Corner {
    Vec w;
    int32_t i;
    int32_t j;
};

// A point of the simplex closest to the origin, its squared length, and the simplex points (bit k:
// point k) whose hull holds it in its relative interior.
struct Closest {
    Vec point;
    double length2;
    unsigned used;
};

inline void keep_nearer(Closest& best, const Closest& candidate) {
    if (candidate.length2 < best.length2) best = candidate;
}

Closest on_point(const Corner* c, int i) { return {c[i].w, dot(c[i].w, c[i].w), 1u << i}; }

Closest on_segment(const Corner* c, int i, int j) {
    const Vec ab = c[j].w - c[i].w;
    const double length2 = dot(ab, ab);
    const double t = length2 > 0.0 ? -dot(c[i].w, ab) / length2 : 0.0;
    if (!(t > 0.0)) return on_point(c, i);
    if (!(t < 1.0)) return on_point(c, j);
    const Vec p = c[i].w + t * ab;
    return {p, dot(p, p), (1u << i) | (1u << j)};
}

// Where the origin's projection a + s ab + t ac onto the plane of triangle (a, b, c) lies; n is
// ab x ac, and |n|^2 also the determinant of the 2x2 normal equations.
struct PlaneWeights {
    double s, t;
};

inline PlaneWeights plane_weights(Vec a, Vec ab, Vec ac, double n2) {
    const double a_ab = -dot(a, ab);
    const double a_ac = -dot(a, ac);
    const double ab_ac = dot(ab, ac);
    return {(a_ab * dot(ac, ac) - a_ac * ab_ac) / n2, (dot(ab, ab) * a_ac - ab_ac * a_ab) / n2};
}

// The triangle's nearest point; k is the newest point.
Closest on_triangle(const Corner* c, int i, int j, int k) {
    const Vec ab = c[j].w - c[i].w;
    const Vec ac = c[k].w - c[i].w;
    const Vec n = cross(ab, ac);
    const double n2 = dot(n, n);
    bool beyond_ik = true, beyond_jk = true;
    if (n2 > 0.0) {
        // When the projection lies inside (s, t > 0, s + t < 1) nothing of the triangle is nearer.
        // Straight along the normal it is more accurate than through s and t.
        const PlaneWeights at = plane_weights(c[i].w, ab, ac, n2);
        if (at.s > 0.0 && at.t > 0.0 && at.s + at.t < 1.0) {
            const Vec p = (dot(n, c[i].w) / n2) * n;
            return {p, dot(p, p), (1u << i) | (1u << j) | (1u << k)};
        }
        // Outside: the nearest point lies on an edge the projection is beyond (weight of the
        // opposite corner not positive). Where rounding leaves neither, both are measured.
        beyond_ik = !(at.s > 0.0);
        beyond_jk = !(at.s + at.t < 1.0);
        if (!beyond_ik && !beyond_jk) beyond_ik = beyond_jk = true;
    }
    // Not on edge i-j, which was in the simplex before k came (see nearest_on_simplex).
    if (!beyond_jk) return on_segment(c, i, k);
    if (!beyond_ik) return on_segment(c, j, k);
    Closest best = on_segment(c, i, k);
    keep_nearer(best, on_segment(c, j, k));
    return best;
}

// The volumes of the tetrahedron and of the four made by replacing one corner with the origin
// (they add up to the whole's): the origin's weights on the corners are their shares.
struct Volumes {
    double whole;
    double without[4];
};

Volumes volumes(const Corner* c) {
    const Vec w0 = c[0].w, w1 = c[1].w, w2 = c[2].w, w3 = c[3].w;
    return {dot(w1 - w0, cross(w2 - w0, w3 - w0)),
            {dot(w1, cross(w2, w3)), -dot(w0, cross(w2 - w0, w3 - w0)), -dot(w0, cross(w3 - w0, w1 - w0)),
             -dot(w0, cross(w1 - w0, w2 - w0))}};
}

Closest on_tetrahedron(const Corner* c) {
    // The origin is inside when each of the four smaller tetrahedra has the orientation of the
    // whole.
    const Volumes v = volumes(c);
    const bool inside = (v.whole > 0.0 && v.without[0] >= 0.0 && v.without[1] >= 0.0 && v.without[2] >= 0.0 &&
                         v.without[3] >= 0.0) ||
                        (v.whole < 0.0 && v.without[0] <= 0.0 && v.without[1] <= 0.0 && v.without[2] <= 0.0 &&
                         v.without[3] <= 0.0);
    if (inside) return {{0.0, 0.0, 0.0}, 0.0, 15u};
    // Outside, or flat: the nearest point lies on a face that holds the newest point, 3, and that
    // the origin is beyond (the smaller tetrahedron without the opposite corner is not oriented
    // as the whole). Four coplanar points are covered by the triangles of three of them; where
    // rounding leaves no face beyond, all three are measured.
    static const int faces[3][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}};   // opposite corner 0, 1, 2
    bool beyond[3];
    bool any = false;
    for (int k = 0; k < 3; ++k) {
        beyond[k] = !(v.whole > 0.0 ? v.without[k] > 0.0 : v.without[k] < 0.0);
        any = any || beyond[k];
    }
    Closest best = {{0.0, 0.0, 0.0}, HUGE_VAL, 0u};
    for (int k = 0; k < 3; ++k) {
        if (beyond[k] || !any) keep_nearer(best, on_triangle(c, faces[k][0], faces[k][1], faces[k][2]));
    }
    return best;
}

// The nearest point of the simplex c[0 .. count-1] whose last point is the newest. Only faces that
// hold the newest point are searched: the others belonged to the previous simplex, whose nearest
// point was the current bound, and a face that cannot lower the bound ends the search anyway.
Closest nearest_on_simplex(const Corner* c, int count) {
    switch (count) {
        case 1: return on_point(c, 0);
        case 2: return on_segment(c, 0, 1);
        case 3: return on_triangle(c, 0, 1, 2);
        default: return on_tetrahedron(c);
    }
}

// Keeps the points flagged in `used`, in order; returns how many remain.
int keep_used(Corner* c, int count, unsigned used) {
    int kept = 0;
    for (int k = 0; k < count; ++k) {   // without branches: which points go is anybody's guess
        c[kept] = c[k];
        kept += static_cast<int>((used >> k) & 1u);
    }
    return kept;
}

// The weights on the corners of a final simplex that give its nearest point (which lies in its
// relative interior), found again only when the two hulls' points are asked for.
void nearest_weights(const Corner* c, int count, double weight[4]) {
    weight[0] = 1.0;
    if (count == 2) {
        const Vec ab = c[1].w - c[0].w;
        const double length2 = dot(ab, ab);
        const double t = length2 > 0.0 ? std::min(1.0, std::max(0.0, -dot(c[0].w, ab) / length2)) : 0.0;
        weight[0] = 1.0 - t;
        weight[1] = t;
    } else if (count == 3) {
        const Vec ab = c[1].w - c[0].w;
        const Vec ac = c[2].w - c[0].w;
        const Vec n = cross(ab, ac);
        const PlaneWeights at = plane_weights(c[0].w, ab, ac, dot(n, n));
        weight[0] = 1.0 - at.s - at.t;
        weight[1] = at.s;
        weight[2] = at.t;
    } else if (count == 4) {
        const Volumes v = volumes(c);
        for (int k = 0; k < 4; ++k) weight[k] = v.without[k] / v.whole;
    }
}

// Vertices that two cells share exactly put their hulls at distance 0 without a search. Cells
// cut from one piece (a fracture, cuts by planes) share the vertices of their common faces, and
// for them the search would otherwise take its most steps: the origin lies on the boundary of
// the Minkowski difference. The first cell's vertices go into a hash table by value (so that
// -0 and 0 match), once for all the pairs that share the cell. The table has eight slots a
// vertex, so that a vertex of the second cell mostly finds its slot empty at once: most pairs
// share nothing, and that answer should cost one load a vertex.
inline uint32_t value_bits(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7fffffffu) == 0 ? 0u : bits;
}

inline uint32_t slot_of(const float* p, int bits) {
    const uint32_t mixed = value_bits(p[0]) * 0x9e3779b1u ^ value_bits(p[1]) * 0x85ebca77u ^
                           value_bits(p[2]) * 0xc2b2ae3du;
    return (mixed ^ (mixed >> 15)) >> (32 - bits);
}

void index_vertices(HullPoints a, HullWorkspace& work) {
    const int bits = work.slot_bits();
    const uint32_t mask = (1u << bits) - 1;
    int32_t* slots = work.slots();
    std::fill(slots, slots + (size_t(1) << bits), 0);
    for (int32_t i = 0; i < a.count; ++i) {
        uint32_t slot = slot_of(a.xyz + 3 * i, bits);
        while (slots[slot] != 0) slot = (slot + 1) & mask;
        slots[slot] = i + 1;
    }
}

// A vertex of b that a has too, as (number in a, number in b), or {-1, -1}. Only b's vertices
// inside a's box (`to` holds b's, `box_a` a's box, both relative to the same base) can be a's, so
// only those are looked up: mostly a few, where a pair that shares nothing would look up all.
struct SharedVertex {
    int32_t i;
    int32_t j;
};

SharedVertex shared_vertex(HullPoints a, HullPoints b, const HullCloud& to, const Box& box_a, HullWorkspace& work) {
    const int bits = work.slot_bits();
    const uint32_t mask = (1u << bits) - 1;
    const int32_t* slots = work.slots();
    const Double2 low[3] = {broadcast(box_a.low.x, Double2{}), broadcast(box_a.low.y, Double2{}),
                            broadcast(box_a.low.z, Double2{})};
    const Double2 high[3] = {broadcast(box_a.high.x, Double2{}), broadcast(box_a.high.y, Double2{}),
                             broadcast(box_a.high.z, Double2{})};
    const double* axes[3] = {to.x, to.y, to.z};
    for (int32_t pair = 0; pair < b.count; pair += 2) {
        const Double2 x = load(axes[0] + pair, Double2{});
        Mask2 outside = greater(low[0], x) | greater(x, high[0]);
        for (int k = 1; k < 3; ++k) {
            const Double2 value = load(axes[k] + pair, Double2{});
            outside = outside | greater(low[k], value) | greater(value, high[k]);
        }
        const int inside = ~lanes_set(outside) & 3;
        for (int lane = 0; lane < 2; ++lane) {
            const int32_t j = pair + lane;
            if (!((inside >> lane) & 1) || j >= b.count) continue;
            const float* q = b.xyz + 3 * j;
            for (uint32_t slot = slot_of(q, bits); slots[slot] != 0; slot = (slot + 1) & mask) {
                const float* p = a.xyz + 3 * (slots[slot] - 1);
                if (p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) return {slots[slot] - 1, j};
            }
        }
    }
    return {-1, -1};
}

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
    const Vec base = {a.xyz[0], a.xyz[1], a.xyz[2]};
    HullCloud from = {work.axis(0), work.axis(1), work.axis(2), padded_count(a.count)};
    if (work.placed != a.xyz || work.placed_count != a.count) {
        from = place(a, base, work.axis(0), work.axis(1), work.axis(2));
        const Box box = cloud_box(from);
        const double bounds[6] = {box.low.x, box.low.y, box.low.z, box.high.x, box.high.y, box.high.z};
        std::copy(bounds, bounds + 6, work.placed_bounds);
        index_vertices(a, work);
        work.placed = a.xyz;
        work.placed_count = a.count;
    }
    const HullCloud to = place(b, base, work.axis(3), work.axis(4), work.axis(5));
    const double* bounds = work.placed_bounds;
    const Box box_a = {{bounds[0], bounds[1], bounds[2]}, {bounds[3], bounds[4], bounds[5]}};
    const FarthestVertices farthest = work.farthest();
    const double limit2 = limit * limit;

    // The first step searches along the given direction (or from box centre to box centre), which
    // is no point of A - B: it can prove the hulls apart, and gives the simplex its first point.
    Corner corner[4] = {};
    {
        const Vec given = toward_a != nullptr ? Vec{toward_a[0], toward_a[1], toward_a[2]}
                                              : centre(box_a) - centre(cloud_box(to));
        const Vec d = dot(given, given) > 0.0 ? given : vertex(from, 0) - vertex(to, 0);
        const SupportPair found = farthest(from, to, d.x, d.y, d.z);
        const int32_t i = found.a, j = found.b;
        corner[0] = {vertex(from, i) - vertex(to, j), i, j};
        const double reach = dot(d, corner[0].w);
        if (reach > 0.0 && reach * reach > limit2 * dot(d, d)) {
            return ended(reach / std::sqrt(dot(d, d)), corner, 1);
        }
    }
    Vec v = corner[0].w;
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
        if (step == 0) {   // not proven apart at once
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
