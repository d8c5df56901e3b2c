#include "python/generators.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace vorn {

MeshArrays make_ground_plane(float half_w, float half_h) {
    MeshArrays m;
    m.positions = {{-half_w, -half_h, 0.0f}, {half_w, -half_h, 0.0f}, {half_w, half_h, 0.0f},
                   {-half_w, half_h, 0.0f}};
    m.normals.assign(4, float3{0.0f, 0.0f, 1.0f});
    m.triangles = {{0, 1, 2}, {0, 2, 3}};
    return m;
}

MeshArrays make_cylinder(float radius, float height, int segments) {
    MeshArrays m;
    const int n = segments;
    if (n < 0) return m;
    if (n == 0) throw std::runtime_error("make_cylinder: segments must be at least 1, got 0");
    if (n > kMaxCylinderSegments)
        throw std::runtime_error("make_cylinder: segments must be at most " +
                                 std::to_string(kMaxCylinderSegments) + ", got " + std::to_string(n));
    m.positions.reserve(size_t(2) * (size_t(n) + 1));
    m.normals.reserve(size_t(2) * (size_t(n) + 1));
    for (int i = 0; i <= n; ++i) {
        const float theta = (float(i) * 6.2831855f) / float(n);
        float s, c;
        f_sincos(theta, &s, &c);
        m.positions.push_back({radius * c, radius * s, 0.0f});
        m.normals.push_back({c, s, 0.0f});
        m.positions.push_back({radius * c, radius * s, height});
        m.normals.push_back({c, s, 0.0f});
    }
    m.triangles.reserve(size_t(2) * size_t(n));
    for (int i = 0; i < n; ++i) {
        const int k = 2 * i;
        m.triangles.push_back({k, k + 2, k + 1});
        m.triangles.push_back({k + 1, k + 2, k + 3});
    }
    return m;
}

namespace {

float3 unit_midpoint(float3 p, float3 q) {
    const float3 m = 0.5f * (p + q);
    const float l = std::sqrt(m.x * m.x + m.y * m.y + m.z * m.z);
    return {m.x / l, m.y / l, m.z / l};
}

}  // namespace

void make_sphere(float radius, float3 center, int subdivisions, MeshArrays& out) {
    if (subdivisions > kMaxSphereSubdivisions)
        throw std::runtime_error("make_sphere: subdivisions must be at most " +
                                 std::to_string(kMaxSphereSubdivisions) + ", got " +
                                 std::to_string(subdivisions));
    const float phi = 1.618034f;
    const float L = std::sqrt(3.6180341f);
    std::vector<float3> v = {
        {-1, phi, 0}, {1, phi, 0}, {-1, -phi, 0}, {1, -phi, 0}, {0, -1, phi}, {0, 1, phi},
        {0, -1, -phi}, {0, 1, -phi}, {phi, 0, -1}, {phi, 0, 1}, {-phi, 0, -1}, {-phi, 0, 1}};
    for (float3& p : v) p = {p.x / L, p.y / L, p.z / L};
    std::vector<int3> faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                               {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                               {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                               {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
    for (int pass = 0; pass < subdivisions; ++pass) {
        std::vector<int3> next;
        next.reserve(faces.size() * 4);
        v.reserve(v.size() + faces.size() * 3);
        for (const int3 f : faces) {
            const int ab = int(v.size());
            v.push_back(unit_midpoint(v[size_t(f.x)], v[size_t(f.y)]));
            const int bc = int(v.size());
            v.push_back(unit_midpoint(v[size_t(f.y)], v[size_t(f.z)]));
            const int ca = int(v.size());
            v.push_back(unit_midpoint(v[size_t(f.z)], v[size_t(f.x)]));
            next.push_back({f.x, ab, ca});
            next.push_back({f.y, bc, ab});
            next.push_back({f.z, ca, bc});
            next.push_back({ab, bc, ca});
        }
        faces.swap(next);
    }
    const int base = int(out.positions.size());
    for (const float3& p : v) {
        out.positions.push_back({p.x * radius + center.x, p.y * radius + center.y,
                                 p.z * radius + center.z});
        out.normals.push_back(p);
    }
    for (const int3 f : faces) out.triangles.push_back({f.x + base, f.y + base, f.z + base});
}

}  // namespace vorn
