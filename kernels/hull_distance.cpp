// Gilbert-Johnson-Keerthi distance on the Minkowski difference A - B of two vertex sets.
//
// The hull of A - B is the set of all differences of points of the two hulls, so the distance
// between the hulls is the distance from the origin to that one hull. The search keeps a simplex
// of at most four points of A - B and the point v of the simplex closest to the origin; each step
// asks for the point w of A - B farthest along -v and replaces the simplex with the smallest face
// of (simplex + w) that holds the new closest point. |v| is an upper bound of the distance and
// v.w / |v| a lower bound; the search ends when they meet.
//
// The project compiles with fast math: reassociated sums may differ from the written order by a
// rounding error. The loop therefore keeps the smallest bound seen and stops as soon as a step
// fails to lower it, so rounding can only end the search a rounding error early, never make it
// cycle; where sign tests of the face choice below disagree with each other, the nearer
// candidate wins, and a choice that does not lower the bound ends the search.
#include "kernels/hull_distance.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

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

inline int32_t padded_count(int32_t count) { return (count + 3) & ~3; }

// One cell's vertices relative to a common base point, one axis per array. The base and the
// vertices are floats, so each difference is exact in double for any two coordinates within 2^29
// of each other in magnitude: far from the origin nothing of the cell's shape is lost.
struct Cloud {
    const double* x;
    const double* y;
    const double* z;
    int32_t count;
};

// Rounded up to a multiple of four by repeating the last vertex, which leaves the hull as it is.
Cloud place(HullPoints cell, Vec base, double* x, double* y, double* z) {
    for (int32_t i = 0; i < cell.count; ++i) {
        const float* p = cell.xyz + 3 * static_cast<int64_t>(i);
        x[i] = static_cast<double>(p[0]) - base.x;
        y[i] = static_cast<double>(p[1]) - base.y;
        z[i] = static_cast<double>(p[2]) - base.z;
    }
    const int32_t padded = padded_count(cell.count);
    for (int32_t i = cell.count; i < padded; ++i) {
        x[i] = x[cell.count - 1];
        y[i] = y[cell.count - 1];
        z[i] = z[cell.count - 1];
    }
    return {x, y, z, padded};
}

// Two lanes of reaches along a direction, with the best reach of each lane and the number of the
// vertex that has it.
struct Lanes {
    __m128d best;
    __m128d best_at;
};

inline void advance(Lanes& lanes, const double* x, const double* y, const double* z, __m128d dx,
                    __m128d dy, __m128d dz, __m128d at) {
    const __m128d r = _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_loadu_pd(x), dx), _mm_mul_pd(_mm_loadu_pd(y), dy)),
                                 _mm_mul_pd(_mm_loadu_pd(z), dz));
    const __m128d farther = _mm_cmpgt_pd(r, lanes.best);
    lanes.best = _mm_or_pd(_mm_and_pd(farther, r), _mm_andnot_pd(farther, lanes.best));
    lanes.best_at = _mm_or_pd(_mm_and_pd(farther, at), _mm_andnot_pd(farther, lanes.best_at));
}

// The vertex of `cloud` farthest along `d` (the first of equals), four vertices at a time in two
// independent pairs of lanes, so that one comparison need not wait for the previous.
Vec support(Cloud cloud, Vec d) {
    const __m128d dx = _mm_set1_pd(d.x);
    const __m128d dy = _mm_set1_pd(d.y);
    const __m128d dz = _mm_set1_pd(d.z);
    const __m128d four = _mm_set1_pd(4.0);
    __m128d at = _mm_set_pd(1.0, 0.0);
    __m128d at_next = _mm_set_pd(3.0, 2.0);
    Lanes even = {_mm_set1_pd(-HUGE_VAL), at};
    Lanes odd = {_mm_set1_pd(-HUGE_VAL), at_next};
    for (int32_t i = 0; i < cloud.count; i += 4) {
        advance(even, cloud.x + i, cloud.y + i, cloud.z + i, dx, dy, dz, at);
        advance(odd, cloud.x + i + 2, cloud.y + i + 2, cloud.z + i + 2, dx, dy, dz, at_next);
        at = _mm_add_pd(at, four);
        at_next = _mm_add_pd(at_next, four);
    }
    double reach[4];
    double number[4];
    _mm_storeu_pd(reach, even.best);
    _mm_storeu_pd(reach + 2, odd.best);
    _mm_storeu_pd(number, even.best_at);
    _mm_storeu_pd(number + 2, odd.best_at);
    int lane = 0;
    for (int k = 1; k < 4; ++k) {
        if (reach[k] > reach[lane] || (reach[k] == reach[lane] && number[k] < number[lane])) lane = k;
    }
    const int32_t found = static_cast<int32_t>(number[lane]);
    return {cloud.x[found], cloud.y[found], cloud.z[found]};
}

// A point of the simplex closest to the origin, its squared length, and the simplex points
// (bit k: point k) whose hull holds it in its relative interior.
struct Closest {
    Vec point;
    double length2;
    unsigned used;
};

inline void keep_nearer(Closest& best, const Closest& candidate) {
    if (candidate.length2 < best.length2) best = candidate;
}

Closest on_point(const Vec* w, int i) { return {w[i], dot(w[i], w[i]), 1u << i}; }

Closest on_segment(const Vec* w, int i, int j) {
    const Vec ab = w[j] - w[i];
    const double length2 = dot(ab, ab);
    const double t = length2 > 0.0 ? -dot(w[i], ab) / length2 : 0.0;
    if (!(t > 0.0)) return on_point(w, i);
    if (!(t < 1.0)) return on_point(w, j);
    const Vec p = w[i] + t * ab;
    return {p, dot(p, p), (1u << i) | (1u << j)};
}

// The triangle's nearest point; k is the newest point.
Closest on_triangle(const Vec* w, int i, int j, int k) {
    const Vec ab = w[j] - w[i];
    const Vec ac = w[k] - w[i];
    const Vec n = cross(ab, ac);
    const double n2 = dot(n, n);    // also the determinant of the 2x2 normal equations below
    if (n2 > 0.0) {
        // The origin's projection a + s ab + t ac onto the plane; when it lies inside (s, t > 0,
        // s + t < 1) nothing of the triangle is nearer. Straight along the normal it is more
        // accurate than through s and t.
        const double a_ab = -dot(w[i], ab);
        const double a_ac = -dot(w[i], ac);
        const double ab_ac = dot(ab, ac);
        const double s = (a_ab * dot(ac, ac) - a_ac * ab_ac) / n2;
        const double t = (dot(ab, ab) * a_ac - ab_ac * a_ab) / n2;
        if (s > 0.0 && t > 0.0 && s + t < 1.0) {
            const Vec p = (dot(n, w[i]) / n2) * n;
            return {p, dot(p, p), (1u << i) | (1u << j) | (1u << k)};
        }
    }
    // Outside, or collinear points: the nearest point lies on an edge; not on edge i-j, which
    // was in the simplex before k came (see nearest_on_simplex).
    Closest best = on_segment(w, i, k);
    keep_nearer(best, on_segment(w, j, k));
    return best;
}

Closest on_tetrahedron(const Vec* w) {
    // The origin is inside when each of the four tetrahedra made by replacing one corner with the
    // origin has the orientation of the whole (the four volumes add up to the whole's).
    const double whole = dot(w[1] - w[0], cross(w[2] - w[0], w[3] - w[0]));
    const double without0 = dot(w[1], cross(w[2], w[3]));
    const double without1 = -dot(w[0], cross(w[2] - w[0], w[3] - w[0]));
    const double without2 = -dot(w[0], cross(w[3] - w[0], w[1] - w[0]));
    const double without3 = -dot(w[0], cross(w[1] - w[0], w[2] - w[0]));
    const bool inside =
        (whole > 0.0 && without0 >= 0.0 && without1 >= 0.0 && without2 >= 0.0 && without3 >= 0.0) ||
        (whole < 0.0 && without0 <= 0.0 && without1 <= 0.0 && without2 <= 0.0 && without3 <= 0.0);
    if (inside) return {{0.0, 0.0, 0.0}, 0.0, 15u};
    // Outside, or flat: the nearest point lies on a face (four coplanar points are covered by
    // the triangles of three of them) that holds the newest point, 3.
    Closest best = on_triangle(w, 0, 1, 3);
    keep_nearer(best, on_triangle(w, 0, 2, 3));
    keep_nearer(best, on_triangle(w, 1, 2, 3));
    return best;
}

// The nearest point of the simplex w[0 .. count-1] whose last point is the newest. Only faces that
// hold the newest point are searched: the others belonged to the previous simplex, whose nearest
// point was the current bound, and a face that cannot lower the bound ends the search anyway.
Closest nearest_on_simplex(const Vec* w, int count) {
    switch (count) {
        case 1: return on_point(w, 0);
        case 2: return on_segment(w, 0, 1);
        case 3: return on_triangle(w, 0, 1, 2);
        default: return on_tetrahedron(w);
    }
}

// Keeps the points flagged in `used`, in order; returns how many remain.
int keep_used(Vec* w, int count, unsigned used) {
    int kept = 0;
    for (int k = 0; k < count; ++k) {
        if (used & (1u << k)) w[kept++] = w[k];
    }
    return kept;
}

// Vertices that two cells share exactly put their hulls at distance 0 without a search. Cells
// cut from one piece (a fracture, cuts by planes) share the vertices of their common faces, and
// for them the search would otherwise take its most steps: the origin lies on the boundary of
// the Minkowski difference. The first cell's vertices go into a hash table by value (so that
// -0 and 0 match), once for all the pairs that share the cell.
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

bool share_a_vertex(HullPoints a, HullPoints b, HullWorkspace& work) {
    const int bits = work.slot_bits();
    const uint32_t mask = (1u << bits) - 1;
    const int32_t* slots = work.slots();
    for (int32_t j = 0; j < b.count; ++j) {
        const float* q = b.xyz + 3 * j;
        for (uint32_t slot = slot_of(q, bits); slots[slot] != 0; slot = (slot + 1) & mask) {
            const float* p = a.xyz + 3 * (slots[slot] - 1);
            if (p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) return true;
        }
    }
    return false;
}

// Relative accuracy of the result against the size of the two cells and their gap, and the
// length below which the origin counts as reached (touching hulls).
constexpr double ACCURACY = 1e-13;
constexpr double CONTACT = 1e-14;
// Steps never needed by polytopes of the sizes cells have; a guard, not a tuning knob.
constexpr int MAX_STEPS = 128;

}  // namespace

bool HullWorkspace::reserve(int32_t points) {
    const int32_t padded = points + 3;   // room to round up to four
    if (padded <= capacity_) return true;
    int bits = 4;
    while ((int64_t(1) << bits) < 2 * static_cast<int64_t>(points)) ++bits;
    if (!values_.resize(6 * static_cast<size_t>(padded)) || !slots_.resize(size_t(1) << bits)) {
        return false;
    }
    capacity_ = padded;
    slot_bits_ = bits;
    placed = nullptr;
    return true;
}

double hull_distance(HullPoints a, HullPoints b, double limit, HullWorkspace& work) {
    const Vec base = {a.xyz[0], a.xyz[1], a.xyz[2]};
    Cloud from = {work.axis(0), work.axis(1), work.axis(2), padded_count(a.count)};
    if (work.placed != a.xyz || work.placed_count != a.count) {
        from = place(a, base, work.axis(0), work.axis(1), work.axis(2));
        index_vertices(a, work);
        work.placed = a.xyz;
        work.placed_count = a.count;
    }
    const Cloud to = place(b, base, work.axis(3), work.axis(4), work.axis(5));
    Vec v = Vec{from.x[0], from.y[0], from.z[0]} - Vec{to.x[0], to.y[0], to.z[0]};
    Vec w[4] = {v};
    int count = 1;
    double length2 = dot(v, v);
    double size2 = length2;
    const double limit2 = limit * limit;

    for (int step = 0; step < MAX_STEPS; ++step) {
        if (length2 <= CONTACT * CONTACT * size2) return 0.0;
        const Vec p = support(from, {-v.x, -v.y, -v.z});
        const Vec q = support(to, v);
        const Vec next = p - q;
        const double next2 = dot(next, next);
        if (next2 > size2) size2 = next2;
        const double reach = dot(v, next);   // v.w: |v| times the lower bound
        if (reach > 0.0 && reach * reach > limit2 * length2) return reach / std::sqrt(length2);
        if (step == 0 && share_a_vertex(a, b, work)) return 0.0;   // not proven apart at once
        // Converged when |v| exceeds the lower bound by ACCURACY * size at most.
        const double excess = length2 - reach;   // |v| times that excess
        if (excess * excess <= ACCURACY * ACCURACY * size2 * length2) break;
        bool known = false;
        for (int k = 0; k < count; ++k) known = known || same(w[k], next);
        if (known) break;

        w[count++] = next;
        const Closest closest = nearest_on_simplex(w, count);
        if (!(closest.length2 < length2)) break;   // no progress: the last bound stands
        count = keep_used(w, count, closest.used);
        v = closest.point;
        length2 = closest.length2;
        if (count == 4) return 0.0;
    }
    if (length2 <= CONTACT * CONTACT * size2) return 0.0;
    return std::sqrt(length2);
}

}  // namespace cellprox
