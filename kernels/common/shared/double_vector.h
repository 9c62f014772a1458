// The double-precision vocabulary of the kernels: a point or direction of three doubles, a box
// of two such corners, and the arithmetic the hull rule is written in. (Float points keep the
// named helpers of vector_math.h; lanes of either precision are in kernels/common/lanes/.)
//
// The functions have internal linkage: the hull rule's search is also built for AVX2, and a
// shared inline function emitted there could be the copy the linker hands to code for every
// processor. Each translation unit keeps its own.
#pragma once

namespace cellprox {

struct Vec3d {
    double x, y, z;
};

// Lower corner, upper corner.
struct Box3d {
    Vec3d low, high;
};

static inline Vec3d operator-(Vec3d a, Vec3d b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
static inline Vec3d operator+(Vec3d a, Vec3d b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
static inline Vec3d operator*(double s, Vec3d a) { return {s * a.x, s * a.y, s * a.z}; }
static inline double dot(Vec3d a, Vec3d b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
static inline Vec3d cross(Vec3d a, Vec3d b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
static inline bool same(Vec3d a, Vec3d b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
static inline Vec3d centre(const Box3d& box) { return 0.5 * (box.low + box.high); }

}  // namespace cellprox
