#include "embree/sun_shadows.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "scene/checks.h"

namespace vorn::embree {

namespace {

/// Margins of the barycentric and distance tests relative to the size of
/// their terms: 64 and 16 float roundings (each sum rounds a few times, as
/// does Embree's, scaled further by the condition of an instance's
/// transform). The distance margin must stay well below tnear, or a ray
/// would find the very triangle it leaves undecided.
constexpr float kUvMargin = 1.0f / (1 << 18);
constexpr float kTMargin = 1.0f / (1 << 20);
/// Slack of the heights along the sun that end a cell's list early.
constexpr float kHeightSlack = 1e-4f;
/// Cells per triangle: a query then meets a few triangles of its cell.
constexpr double kCellsPerTriangle = 2.0;
constexpr int64_t kMaxCells = int64_t(1) << 26;

float norm1(float3 v) { return std::fabs(v.x) + std::fabs(v.y) + std::fabs(v.z); }

/// How much an instance's transform can magnify rounding: the condition
/// number of its 3x3 part in the 1-norm, at least 1.
float condition(const float* x) {
    const NormalTransform inv = normal_transform(x);  // the inverse, transposed
    float a = 0.0f, b = 0.0f;
    for (int c = 0; c < 3; ++c) {
        a = std::max(a, std::fabs(x[c]) + std::fabs(x[4 + c]) + std::fabs(x[8 + c]));
        b = std::max(b, std::fabs(inv.m[3 * c]) + std::fabs(inv.m[3 * c + 1]) +
                            std::fabs(inv.m[3 * c + 2]));
    }
    const float k = a * b;
    return k >= 1.0f ? k : 1.0f;  // NaN or a singular part: 1 (such a scene is refused at build)
}

/// A placed triangle seen along the sun.
struct Placed {
    float3 v0, e1, e2;
    float condition;  ///< of its instance's transform
    float lo[2], hi[2];  ///< outline across the sun, widened by the margin
    float uv[3][2];      ///< the corners across the sun
    float widen;         ///< the margin of the outline
    float top;           ///< highest corner along the sun
};

}  // namespace

SunShadowGrid::SunShadowGrid(const EmbreeSceneManager& scene, const WorldPrimitives& world,
                             float3 sun, SunGridLimits limits)
    : scene_(&scene), s_(sun) {
    const float3 up = std::fabs(sun.z) < 0.9f ? make_f3(0, 0, 1) : make_f3(1, 0, 0);
    a_ = normalize(cross(up, sun));
    b_ = cross(sun, a_);

    std::vector<Placed> tris;
    float lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
    for (size_t i = 0; i < scene.instances.size(); ++i) {
        const Instance& inst = scene.instances[i];
        const Mesh& mesh = scene.meshes[size_t(inst.mesh_id)];
        const float cond = condition(inst.xform);
        for (size_t t = 0; t < mesh.indices.size(); ++t) {
            const int3 idx = mesh.indices[t];
            // Repeated corners: Embree never hits such a triangle.
            auto same = [&](int a, int b) {
                const float3 p = mesh.vertices[size_t(a)], q = mesh.vertices[size_t(b)];
                return p.x == q.x && p.y == q.y && p.z == q.z;
            };
            if (same(idx.x, idx.y) || same(idx.y, idx.z) || same(idx.z, idx.x)) continue;
            const size_t w = size_t(world.instance_offsets[i]) + t;
            const float3 v[3] = {world.v0[w], world.v1[w], world.v2[w]};
            Placed p;
            p.v0 = v[0];
            p.e1 = v[0] - v[1];
            p.e2 = v[2] - v[0];
            p.condition = cond;
            p.top = -INFINITY;
            float reach = 1.0f;
            for (int c = 0; c < 2; ++c) p.lo[c] = INFINITY, p.hi[c] = -INFINITY;
            for (int k = 0; k < 3; ++k) {
                const float3& q = v[k];
                const float uv[2] = {dot(a_, q), dot(b_, q)};
                for (int c = 0; c < 2; ++c) {
                    p.uv[k][c] = uv[c];
                    p.lo[c] = std::min(p.lo[c], uv[c]);
                    p.hi[c] = std::max(p.hi[c], uv[c]);
                }
                p.top = std::max(p.top, dot(sun, q));
                reach = std::max(reach, norm1(q));
            }
            if (!std::isfinite(p.top)) continue;
            reach_ = std::max(reach_, reach);
            // Wide enough that a ray Embree could find on the triangle, by
            // its rounding or ours, lies inside.
            const float widen = kHeightSlack * reach;
            p.widen = widen;
            for (int c = 0; c < 2; ++c) {
                p.lo[c] -= widen;
                p.hi[c] += widen;
                lo[c] = std::min(lo[c], p.lo[c]);
                hi[c] = std::max(hi[c], p.hi[c]);
            }
            tris.push_back(p);
        }
    }
    if (tris.empty()) return;

    const double wu = double(hi[0]) - lo[0], wv = double(hi[1]) - lo[1];
    double cell = std::sqrt(wu * wv / (kCellsPerTriangle * double(tris.size())));
    cell = std::max({cell, 1e-6 * std::max(wu, wv), 1e-30});
    while ((std::floor(wu / cell) + 1) * (std::floor(wv / cell) + 1) > double(kMaxCells)) cell *= 2;
    u0_ = lo[0];
    v0_ = lo[1];
    inv_cell_ = float(1.0 / cell);
    nu_ = int32_t(wu / cell) + 1;
    nv_ = int32_t(wv / cell) + 1;
    auto cell_of = [&](float x, float origin, int32_t n) {
        return std::clamp(int32_t((x - origin) * inv_cell_), int32_t(0), n - 1);
    };

    // Whether the triangle's outline comes within its margin of cell (i, j):
    // the cells of its box that one of its edges separates from it are
    // left out (in a cell twice the margin wider, for the rounding of the
    // cell a query computes).
    auto overlaps = [&](const Placed& p, int32_t i, int32_t j) {
        const double grow = 2.0 * p.widen;
        const double x0 = u0_ + i * cell - grow, x1 = u0_ + (i + 1) * cell + grow;
        const double y0 = v0_ + j * cell - grow, y1 = v0_ + (j + 1) * cell + grow;
        for (int k = 0; k < 3; ++k) {
            const float* a = p.uv[k];
            const float* b = p.uv[(k + 1) % 3];
            const float* c = p.uv[(k + 2) % 3];
            const double ex = double(b[0]) - a[0], ey = double(b[1]) - a[1];
            auto side = [&](double x, double y) { return ex * (y - a[1]) - ey * (x - a[0]); };
            const double inner = side(c[0], c[1]);
            if (inner == 0.0) continue;  // seen edge-on: no side to separate
            const double w = inner > 0.0 ? 1.0 : -1.0;
            const double nearest = std::max({w * side(x0, y0), w * side(x1, y0),
                                             w * side(x0, y1), w * side(x1, y1)});
            if (nearest < 0.0) return false;
        }
        return true;
    };

    // Two passes: count each cell's triangles, then fill them in.
    const size_t n_cells = size_t(nu_) * size_t(nv_);
    std::vector<uint32_t> start(n_cells + 1, 0);
    size_t total = 0;
    for (const Placed& p : tris) {
        const int32_t i0 = cell_of(p.lo[0], u0_, nu_), i1 = cell_of(p.hi[0], u0_, nu_);
        const int32_t j0 = cell_of(p.lo[1], v0_, nv_), j1 = cell_of(p.hi[1], v0_, nv_);
        for (int32_t j = j0; j <= j1; ++j)
            for (int32_t i = i0; i <= i1; ++i)
                if (overlaps(p, i, j)) {
                    ++start[size_t(j) * nu_ + i + 1];
                    ++total;
                }
    }
    const double bytes = double(total) * sizeof(Entry) + double(start.size()) * sizeof(uint32_t) +
                         double(tris.size()) * sizeof(Triangle);
    if (total > uint32_t(-1) || bytes > double(limits.max_bytes) ||
        double(total) > limits.max_per_cell * double(n_cells))
        return;
    for (size_t c = 0; c < n_cells; ++c) start[c + 1] += start[c];
    entries_.resize(total);
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    triangles_.resize(tris.size());
    for (size_t index = 0; index < tris.size(); ++index) {
        const Placed& p = tris[index];
        const float3 ng = cross(p.e2, p.e1);
        const float den = dot(ng, sun);
        const float sg = den < 0.0f ? -1.0f : 1.0f;
        Triangle& e = triangles_[index];
        const float3 x1 = sg * cross(sun, p.e1), x2 = sg * cross(sun, p.e2), n = sg * ng;
        e.x1[0] = x1.x, e.x1[1] = x1.y, e.x1[2] = x1.z, e.k1 = dot(p.v0, x1);
        e.x2[0] = x2.x, e.x2[1] = x2.y, e.x2[2] = x2.z, e.k2 = dot(p.v0, x2);
        e.n[0] = n.x, e.n[1] = n.y, e.n[2] = n.z, e.kn = dot(p.v0, n);
        e.ad = std::fabs(den);
        e.uv_margin = kUvMargin * p.condition * std::max(norm1(x1), norm1(x2));
        e.t_margin = kTMargin * p.condition * norm1(n);
        e.unused = 0.0f;
        // Over a cell the plane's height along the sun is highest at a corner;
        // a plane nearly along the sun is bounded by its top corner only.
        const bool steep = !(e.ad > 1e-3f * norm1(ng));
        const double h0 = double(dot(ng, p.v0)) / den, hu = -double(dot(ng, a_)) / den,
                     hv = -double(dot(ng, b_)) / den;
        const int32_t i0 = cell_of(p.lo[0], u0_, nu_), i1 = cell_of(p.hi[0], u0_, nu_);
        const int32_t j0 = cell_of(p.lo[1], v0_, nv_), j1 = cell_of(p.hi[1], v0_, nv_);
        for (int32_t j = j0; j <= j1; ++j)
            for (int32_t i = i0; i <= i1; ++i) {
                if (!overlaps(p, i, j)) continue;
                double top = p.top;
                if (!steep) {
                    double corner = -INFINITY;
                    for (int k = 0; k < 4; ++k) {
                        const double u = u0_ + (i + (k & 1)) * cell, v = v0_ + (j + (k >> 1)) * cell;
                        corner = std::max(corner, h0 + hu * u + hv * v);
                    }
                    top = std::min(top, corner);
                }
                const float bound = float(top) + kHeightSlack * (1.0f + std::fabs(float(top)));
                entries_[fill[size_t(j) * nu_ + i]++] = Entry{bound, uint32_t(index)};
            }
    }
    // Highest first: a query stops at the first triangle below its origin.
    for (size_t c = 0; c < n_cells; ++c)
        std::sort(entries_.begin() + start[c], entries_.begin() + start[c + 1],
                  [](const Entry& x, const Entry& y) { return x.bound > y.bound; });
    cells_ = std::move(start);
}

size_t SunShadowGrid::bytes() const {
    return entries_.size() * sizeof(Entry) + cells_.size() * sizeof(uint32_t) +
           triangles_.size() * sizeof(Triangle);
}

bool SunShadowGrid::occluded(const float3& o, float tfar) const {
    // What the scene would refuse or skip, it answers (and counts) itself.
    if (!built() || !(tfar >= kTnear) || !ray_in_range(o, s_))
        return scene_->trace_shadow(o, s_, tfar);
    const float fu = (dot(a_, o) - u0_) * inv_cell_, fv = (dot(b_, o) - v0_) * inv_cell_;
    if (!(fu >= 0.0f && fu < float(nu_) && fv >= 0.0f && fv < float(nv_))) return false;
    const size_t c = size_t(int32_t(fv)) * size_t(nu_) + size_t(int32_t(fu));
    const float h = dot(s_, o);
    const float lowest = h - kHeightSlack * (1.0f + std::fabs(h));
    const float reach = reach_ + norm1(o);
    bool unsure = false;
    // The triangles above the origin, fetched together rather than one
    // cache miss after another.
    uint32_t end = cells_[c];
    for (const uint32_t last = cells_[c + 1]; end < last && entries_[end].bound >= lowest; ++end)
        __builtin_prefetch(&triangles_[entries_[end].triangle]);
    for (uint32_t k = cells_[c]; k < end; ++k) {
        const Triangle& e = triangles_[entries_[k].triangle];
        const float m = e.uv_margin * reach, mt = e.t_margin * reach;
        const float v = e.k1 - (e.x1[0] * o.x + e.x1[1] * o.y + e.x1[2] * o.z);
        const float u = e.k2 - (e.x2[0] * o.x + e.x2[1] * o.y + e.x2[2] * o.z);
        const float t = e.kn - (e.n[0] * o.x + e.n[1] * o.y + e.n[2] * o.z);
        const float t_lo = e.ad * kTnear, t_hi = e.ad * tfar;
        // Bitwise rather than short-circuit: one branch per triangle.
        const bool hit = (u > m) & (v > m) & (u + v < e.ad - 2.0f * m) & (t > t_lo + mt) &
                         (t < t_hi - mt);
        if (hit) return true;
        const bool missed = (u < -m) | (v < -m) | (u + v > e.ad + 2.0f * m) |
                            (t < t_lo - mt) | (t > t_hi + mt);
        unsure |= !missed;  // near an edge or an end of the ray: Embree decides
    }
    return unsure && scene_->trace_shadow(o, s_, tfar);
}

std::unique_ptr<SunShadowGrid> sun_grid_for(const EmbreeSceneManager& scene, float3 sun,
                                            double shadow_rays, const WorldPrimitives* world) {
    using Choice = EmbreeSceneManager::SunShadows;
    // Until the top scene is committed again, only Embree knows what it traces.
    if (scene.sun_shadows == Choice::Embree || scene.transforms_pending()) return nullptr;
    SunGridLimits limits;
    if (scene.sun_shadows == Choice::Grid) {
        limits.max_bytes = size_t(1) << 30;
        limits.max_per_cell = INFINITY;
    } else if (shadow_rays < 16.0 * double(scene.total_triangles())) {
        return nullptr;  // building costs about one query per placed triangle and cell
    }
    // Every triangle takes a record of its own: a scene too large for those
    // alone is left to Embree before anything is gathered.
    if (double(scene.total_triangles()) * sizeof(SunShadowGrid::Triangle) >
        double(limits.max_bytes))
        return nullptr;
    std::unique_ptr<SunShadowGrid> grid;
    try {
        WorldPrimitives own;
        if (!world) fill_world_primitives(scene.meshes, scene.instances, own);
        grid = std::make_unique<SunShadowGrid>(scene, world ? *world : own, sun, limits);
    } catch (const std::bad_alloc&) {
        return nullptr;  // Embree answers as well, only more slowly
    }
    if (!grid->built()) grid.reset();
    return grid;
}

}  // namespace vorn::embree
