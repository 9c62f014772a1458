// The double-precision vector vocabulary of the kernels: a point or direction of three doubles
// and the arithmetic the hull rule's search is written in. (Float points keep the named helpers
// of vector_math.h; lanes of either precision are in kernels/lanes/.)
#pragma once

namespace cellprox {

struct Vec3d {
    double x, y, z;
};

inline Vec3d operator-(Vec3d a, Vec3d b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3d operator+(Vec3d a, Vec3d b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3d operator*(double s, Vec3d a) { return {s * a.x, s * a.y, s * a.z}; }
inline double dot(Vec3d a, Vec3d b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3d cross(Vec3d a, Vec3d b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline bool same(Vec3d a, Vec3d b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

}  // namespace cellprox
