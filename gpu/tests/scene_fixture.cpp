#include "gpu/tests/scene_fixture.h"

#include <cmath>

namespace vorn::test {

namespace {

Mesh square() {
    Mesh m;
    m.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    m.indices = {{0, 1, 2}, {0, 2, 3}};
    return m;
}

Mesh tetrahedron() {
    Mesh m;
    m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    m.indices = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
    return m;
}

Mesh octahedron() {
    Mesh m;
    m.vertices = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    m.indices = {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4},
                 {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}};
    return m;
}

Instance instance(int mesh, const float axis_angle[4], const float scale[3],
                  const float t[3]) {
    Instance inst;
    inst.mesh_id = mesh;
    make_xform(inst.xform, axis_angle, scale, t);
    return inst;
}

// Small deterministic generator: the reference must not depend on the
// standard library's distributions.
struct Lcg {
    uint64_t s;
    double next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return double(s >> 11) * (1.0 / 9007199254740992.0);
    }
};

void world_vertex(const float* m, const float3& v, double out[3]) {
    for (int r = 0; r < 3; ++r) {
        out[r] = double(m[4 * r]) * v.x + double(m[4 * r + 1]) * v.y +
                 double(m[4 * r + 2]) * v.z + double(m[4 * r + 3]);
    }
}

double det3(const float* m) {
    return double(m[0]) * (double(m[5]) * m[10] - double(m[6]) * m[9]) -
           double(m[1]) * (double(m[4]) * m[10] - double(m[6]) * m[8]) +
           double(m[2]) * (double(m[4]) * m[9] - double(m[5]) * m[8]);
}

}  // namespace

void make_xform(float out[12], const float aa[4], const float scale[3],
                const float t[3]) {
    // Rotation (Rodrigues) times diagonal scale, then translation.
    double n =
        std::sqrt(double(aa[0]) * aa[0] + double(aa[1]) * aa[1] + double(aa[2]) * aa[2]);
    const double x = aa[0] / n, y = aa[1] / n, z = aa[2] / n;
    const double c = std::cos(aa[3]), s = std::sin(aa[3]), k = 1 - c;
    const double r[9] = {c + x * x * k,     x * y * k - z * s, x * z * k + y * s,
                         y * x * k + z * s, c + y * y * k,     y * z * k - x * s,
                         z * x * k - y * s, z * y * k + x * s, c + z * z * k};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            out[4 * row + col] = float(r[3 * row + col] * scale[col]);
        out[4 * row + 3] = t[row];
    }
}

TestScene make_test_scene() {
    TestScene s;
    s.meshes = {square(), tetrahedron(), octahedron()};
    const float none[4] = {0, 0, 1, 0};
    const float about_z[4] = {0, 0, 1, 0.5236f};
    const float about_x[4] = {1, 0, 0, 0.7f};
    const float tilted[4] = {1, 1, 0, 0.4f};
    const float upright[4] = {1, 0, 0, 1.5708f};
    const float s_ground[3] = {4, 4, 4}, t_ground[3] = {-2, -2, 0};
    const float s_tet[3] = {0.6f, 0.6f, 0.6f}, t_tet[3] = {0.5f, 0.3f, 1.0f};
    const float s_skew[3] = {0.5f, 1.2f, 0.8f}, t_skew[3] = {-1.0f, 0.4f, 1.5f};
    const float s_mirror[3] = {-0.7f, 0.7f, 0.7f}, t_mirror[3] = {1.2f, -1.0f, 1.2f};
    const float s_wall[3] = {2, 2, 2}, t_wall[3] = {-2.0f, 1.9f, 0.0f};
    s.instances = {
        instance(0, none, s_ground, t_ground), instance(1, about_z, s_tet, t_tet),
        instance(1, about_x, s_skew, t_skew), instance(2, tilted, s_mirror, t_mirror),
        instance(0, upright, s_wall, t_wall)};
    return s;
}

std::vector<probe::ProbeRay> make_rays(size_t n, uint32_t seed) {
    Lcg g{seed * 2654435761ull + 1};
    std::vector<probe::ProbeRay> rays(n);
    for (size_t i = 0; i < n; ++i) {
        probe::ProbeRay& r = rays[i];
        r.origin = {float(-3 + 6 * g.next()), float(-3 + 6 * g.next()),
                    float(2.5 + 1.5 * g.next())};
        const float3 target = {float(-2.2 + 4.4 * g.next()), float(-2.2 + 4.4 * g.next()),
                               float(2.0 * g.next())};
        r.direction = target - r.origin;
        if (i % 17 == 0) r.direction.z = -r.direction.z;    // upwards: a miss
        if (i % 5 == 0) r.direction = r.direction * 0.25f;  // t in units of |direction|
        r.ray_type = g.next() < 0.5 ? 0u : 1u;
    }
    return rays;
}

RefHit reference_trace(const TestScene& s, const probe::ProbeRay& ray, double tmin) {
    RefHit best;
    const double o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const double d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    double second = INFINITY;
    for (size_t k = 0; k < s.instances.size(); ++k) {
        const Instance& inst = s.instances[k];
        const Mesh& mesh = s.meshes[size_t(inst.mesh_id)];
        for (size_t p = 0; p < mesh.indices.size(); ++p) {
            const int3 tri = mesh.indices[p];
            double v0[3], v1[3], v2[3];
            world_vertex(inst.xform, mesh.vertices[size_t(tri.x)], v0);
            world_vertex(inst.xform, mesh.vertices[size_t(tri.y)], v1);
            world_vertex(inst.xform, mesh.vertices[size_t(tri.z)], v2);
            const double e1[3] = {v1[0] - v0[0], v1[1] - v0[1], v1[2] - v0[2]};
            const double e2[3] = {v2[0] - v0[0], v2[1] - v0[1], v2[2] - v0[2]};
            const double pv[3] = {d[1] * e2[2] - d[2] * e2[1],
                                  d[2] * e2[0] - d[0] * e2[2],
                                  d[0] * e2[1] - d[1] * e2[0]};
            const double det = e1[0] * pv[0] + e1[1] * pv[1] + e1[2] * pv[2];
            if (det == 0) continue;
            const double tv[3] = {o[0] - v0[0], o[1] - v0[1], o[2] - v0[2]};
            const double u = (tv[0] * pv[0] + tv[1] * pv[1] + tv[2] * pv[2]) / det;
            const double qv[3] = {tv[1] * e1[2] - tv[2] * e1[1],
                                  tv[2] * e1[0] - tv[0] * e1[2],
                                  tv[0] * e1[1] - tv[1] * e1[0]};
            const double v = (d[0] * qv[0] + d[1] * qv[1] + d[2] * qv[2]) / det;
            const double t = (e2[0] * qv[0] + e2[1] * qv[1] + e2[2] * qv[2]) / det;
            if (u < 0 || v < 0 || u + v > 1 || t <= tmin) continue;
            if (t < best.t || !best.hit) {
                if (best.hit) second = best.t;
                // World winding: cross(e1, e2) against d; a mirroring
                // instance reverses it relative to object space.
                const double ng[3] = {e1[1] * e2[2] - e1[2] * e2[1],
                                      e1[2] * e2[0] - e1[0] * e2[2],
                                      e1[0] * e2[1] - e1[1] * e2[0]};
                const double facing = d[0] * ng[0] + d[1] * ng[1] + d[2] * ng[2];
                best = RefHit{true,
                              t,
                              int(k),
                              int(p),
                              u,
                              v,
                              (facing < 0) != (det3(inst.xform) < 0)};
            } else {
                second = std::min(second, t);
            }
        }
    }
    best.ambiguous = best.hit && second - best.t <= 1e-6 * best.t;
    return best;
}

}  // namespace vorn::test
