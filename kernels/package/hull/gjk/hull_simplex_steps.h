// The simplex of the hull distance's search (hull_search_steps.h): the nearest point of a
// simplex of up to four points of A - B (on a point, a segment, a triangle or a tetrahedron,
// choosing faces by sign tests whose disagreements the search tolerates), and the weights that
// give it from the corners.
//
// Included by hull_search_steps.h only, inside its unnamed namespace. The points' arithmetic is
// double_vector.h's, whose functions every translation unit keeps a copy of its own: the AVX2
// build's can never stand in for the other's.

// A point of the simplex: a vertex of A - B, and the numbers of the vertices of A and B whose
// difference it is.
struct Corner {
    Vec3d w;
    int32_t i;
    int32_t j;
};

// A point of a simplex closest to the origin, its squared length, and the simplex points (bit k:
// point k) whose hull holds it in its relative interior.
struct Closest {
    Vec3d point;
    double length2;
    unsigned used;
};

// std::min(1.0, std::max(0.0, x)), written out: the standard library's are shared inline functions.
inline double clamp_unit(double x) {
    const double above_zero = 0.0 < x ? x : 0.0;
    return above_zero < 1.0 ? above_zero : 1.0;
}

inline void keep_nearer(Closest& best, const Closest& candidate) {
    if (candidate.length2 < best.length2) best = candidate;
}

Closest on_point(const Corner* c, int i) { return {c[i].w, dot(c[i].w, c[i].w), 1u << i}; }

[[gnu::always_inline]] inline Closest on_segment(const Corner* c, int i, int j) {
    const Vec3d ab = c[j].w - c[i].w;
    const double length2 = dot(ab, ab);
    const double t = length2 > 0.0 ? -dot(c[i].w, ab) / length2 : 0.0;
    if (!(t > 0.0)) return on_point(c, i);
    if (!(t < 1.0)) return on_point(c, j);
    const Vec3d p = c[i].w + t * ab;
    return {p, dot(p, p), (1u << i) | (1u << j)};
}

// Where the origin's projection a + s ab + t ac onto the plane of triangle (a, b, c) lies; n is
// ab x ac, and |n|^2 also the determinant of the 2x2 normal equations. The search only asks on
// which side of the triangle's edges the projection lies, which the numerators of s and t tell
// against |n|^2 (> 0) as well, without waiting for two divisions.
struct PlaneWeights {
    double s, t;
};

inline PlaneWeights plane_numerators(Vec3d a, Vec3d ab, Vec3d ac) {
    const double a_ab = -dot(a, ab);
    const double a_ac = -dot(a, ac);
    const double ab_ac = dot(ab, ac);
    return {a_ab * dot(ac, ac) - a_ac * ab_ac, dot(ab, ab) * a_ac - ab_ac * a_ab};
}

inline PlaneWeights plane_weights(Vec3d a, Vec3d ab, Vec3d ac, double n2) {
    const PlaneWeights times_n2 = plane_numerators(a, ab, ac);
    return {times_n2.s / n2, times_n2.t / n2};
}

// The triangle's nearest point; k is the newest point.
[[gnu::always_inline]] inline Closest on_triangle(const Corner* c, int i, int j, int k) {
    const Vec3d ab = c[j].w - c[i].w;
    const Vec3d ac = c[k].w - c[i].w;
    const Vec3d n = cross(ab, ac);
    const double n2 = dot(n, n);
    bool beyond_ik = true, beyond_jk = true;
    if (n2 > 0.0) {
        // When the projection lies inside (s, t > 0, s + t < 1) nothing of the triangle is nearer.
        // Straight along the normal it is more accurate than through s and t.
        const PlaneWeights at = plane_numerators(c[i].w, ab, ac);   // s and t times n2
        if (at.s > 0.0 && at.t > 0.0 && at.s + at.t < n2) {
            const Vec3d p = (dot(n, c[i].w) / n2) * n;
            return {p, dot(p, p), (1u << i) | (1u << j) | (1u << k)};
        }
        // Outside: the nearest point lies on an edge the projection is beyond (weight of the
        // opposite corner not positive). Where rounding leaves neither, both are measured.
        beyond_ik = !(at.s > 0.0);
        beyond_jk = !(at.s + at.t < n2);
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

[[gnu::always_inline]] inline Volumes volumes(const Corner* c) {
    const Vec3d w0 = c[0].w, w1 = c[1].w, w2 = c[2].w, w3 = c[3].w;
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
        const Vec3d ab = c[1].w - c[0].w;
        const double length2 = dot(ab, ab);
        const double t = length2 > 0.0 ? clamp_unit(-dot(c[0].w, ab) / length2) : 0.0;
        weight[0] = 1.0 - t;
        weight[1] = t;
    } else if (count == 3) {
        const Vec3d ab = c[1].w - c[0].w;
        const Vec3d ac = c[2].w - c[0].w;
        const Vec3d n = cross(ab, ac);
        const PlaneWeights at = plane_weights(c[0].w, ab, ac, dot(n, n));
        weight[0] = 1.0 - at.s - at.t;
        weight[1] = at.s;
        weight[2] = at.t;
    } else if (count == 4) {
        const Volumes v = volumes(c);
        for (int k = 0; k < 4; ++k) weight[k] = v.without[k] / v.whole;
    }
}
