// Per-sub-ray LiDAR math: pulse frame, sub-ray directions, binning, energies.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/beam.h"

namespace vorn {
namespace {

std::vector<float3> unit_directions() {
    std::vector<float3> dirs = {{1, 0, 0},  {-1, 0, 0}, {0, 1, 0},
                                {0, -1, 0}, {0, 0, 1},  {0, 0, -1}};
    const int n = 64;  // Fibonacci sphere
    for (int i = 0; i < n; ++i) {
        const double z = 1.0 - (i + 0.5) * 2.0 / n, r = std::sqrt(1.0 - z * z);
        const double phi = i * 2.399963229728653;
        dirs.push_back({float(r * std::cos(phi)), float(r * std::sin(phi)), float(z)});
    }
    return dirs;
}

TEST(PulseFrame, IsRightHandedAndOrthonormal) {
    for (const float3 d : unit_directions()) {
        const PulseFrame f = pulse_frame(d);
        EXPECT_NEAR(length(f.u), 1.0f, 1e-6f) << d.x << " " << d.y << " " << d.z;
        EXPECT_NEAR(length(f.v), 1.0f, 1e-6f) << d.x << " " << d.y << " " << d.z;
        EXPECT_NEAR(dot(f.u, d), 0.0f, 1e-6f) << d.x << " " << d.y << " " << d.z;
        EXPECT_NEAR(dot(f.v, d), 0.0f, 1e-6f) << d.x << " " << d.y << " " << d.z;
        EXPECT_NEAR(dot(f.u, f.v), 0.0f, 1e-6f) << d.x << " " << d.y << " " << d.z;
        // (u, d, v) is right-handed: u x d = v.
        const float3 c = cross(f.u, d);
        EXPECT_NEAR(dot(c, f.v), 1.0f, 1e-6f) << d.x << " " << d.y << " " << d.z;
    }
}

TEST(SubRayDirection, TiltsByTheScaledOffsets) {
    for (const float3 d : unit_directions()) {
        const PulseFrame f = pulse_frame(d);
        for (float t : {0.0f, 5e-4f, 0.1f, 1.0f}) {
            for (float x : {-1.0f, -0.4f, 0.0f, 0.8f}) {
                for (float y : {-1.0f, 0.0f, 0.6f}) {
                    const float3 s = sub_ray_direction(f, x, y, t);
                    const double rho = t * std::sqrt(double(x) * x + double(y) * y);
                    EXPECT_NEAR(length(s), 1.0f, 1e-6f);
                    // The angle off the pulse axis is atan(tan(alpha) * |offset|).
                    EXPECT_NEAR(dot(s, d), 1.0 / std::sqrt(1.0 + rho * rho), 1e-6);
                    EXPECT_NEAR(dot(s, f.v) / dot(s, d), x * t, 1e-5);
                    EXPECT_NEAR(dot(s, f.u) / dot(s, d), y * t, 1e-5);
                }
            }
        }
    }
}

LidarShot shot() { return LidarShot{2.0f, 0.1f, 0.15f, 0.0f, 100.0f, 667}; }

TEST(LidarRangeBin, MapsTheWindowOntoBins) {
    const LidarShot s = shot();
    EXPECT_EQ(lidar_range_bin(s, 0.0f), 0);
    EXPECT_EQ(lidar_range_bin(s, 0.14f), 0);
    EXPECT_EQ(lidar_range_bin(s, 0.16f), 1);
    EXPECT_EQ(lidar_range_bin(s, 50.0f), 333);
    EXPECT_EQ(lidar_range_bin(s, 100.0f), 666);  // max_range lands in the last bin
    for (float r : {100.2f, -0.2f, 1e30f, -1e30f, std::nanf("")})
        EXPECT_EQ(lidar_range_bin(s, r), -1) << r;
}

TEST(SubRayReturn, LambertianPlaneEnergyFollowsCosineOverRangeSquared) {
    const LidarShot s = shot();
    const float3 o = {0, 0, 0}, dir = {0, 0, -1};
    for (float r : {1.0f, 10.0f, 99.9f}) {
        for (double theta : {0.0, 0.3, 1.2}) {
            const float3 n = {float(std::sin(theta)), 0.0f, float(std::cos(theta))};
            const SubRayReturn h = sub_ray_return(s, o, dir, {0, 0, -r}, n, 0.25f);
            ASSERT_TRUE(h.valid) << r << " " << theta;
            EXPECT_EQ(h.bin, int(r / 0.15f));
            const double e = std::cos(theta) * 0.25 * 2.0 * 0.1 / (M_PI * double(r) * r);
            EXPECT_NEAR(h.energy, e, 2e-6 * e) << r << " " << theta;
        }
    }
    // Back faces count the same as front faces (|cos|).
    EXPECT_TRUE(sub_ray_return(s, o, dir, {0, 0, -5}, {0, 0, -1}, 1.0f).valid);
}

TEST(SubRayReturn, RejectsGrazingAndOutOfWindowHits) {
    const LidarShot s = shot();
    const float3 o = {0, 0, 0}, dir = {0, 0, -1}, up = {0, 0, 1};
    EXPECT_FALSE(sub_ray_return(s, o, dir, {0, 0, -5}, {1, 0, 0}, 1.0f).valid);
    EXPECT_FALSE(sub_ray_return(s, o, dir, {0, 0, -100.01f}, up, 1.0f).valid);
    EXPECT_TRUE(sub_ray_return(s, o, dir, {0, 0, -100.0f}, up, 1.0f).valid);
    LidarShot near = s;
    near.min_range = 3.0f;
    near.num_bins = 646;
    EXPECT_FALSE(sub_ray_return(near, o, dir, {0, 0, -2.9f}, up, 1.0f).valid);
    EXPECT_EQ(sub_ray_return(near, o, dir, {0, 0, -3.0f}, up, 1.0f).bin, 0);
}

TEST(LidarReflectance, PicksTheFaceAndBandOfTheMaterial) {
    std::vector<float> spec(20);
    for (size_t i = 0; i < spec.size(); ++i) spec[i] = 0.01f * float(i + 1);
    const int nb = 3;
    struct Case {
        MaterialType type;
        bool back;
        int w;
        float want;
    };
    const MaterialType other = MaterialType(7);
    for (const Case& c :
         {Case{MaterialType::Leaf, false, 1, spec[2 + 1]},
          Case{MaterialType::Leaf, true, 1, spec[2 + nb + 1]},
          Case{MaterialType::Leaf, true, 0, spec[2 + nb]},
          Case{MaterialType::Lambertian, true, 2, spec[2 + 2]},
          Case{MaterialType::Rpv, false, 0, spec[2]}, Case{other, false, 0, 0.0f}}) {
        MaterialData m{};
        m.type = c.type;
        m.offset = 2;
        EXPECT_EQ(lidar_reflectance(m, c.back, spec.data(), nb, c.w), c.want)
            << int(c.type) << " back " << c.back << " w " << c.w;
    }
}

TEST(DirectReturnIntensity, IsCosineWeightedLambertianReturn) {
    const LidarShot s = shot();
    for (double theta : {0.0, 0.7, 1.5707}) {
        const float3 n = {0.0f, float(std::sin(theta)), float(std::cos(theta))};
        const double want = std::cos(theta) * 0.4 * 2.0 * 0.1 / (M_PI * 20.0 * 20.0);
        EXPECT_NEAR(direct_return_intensity(s, {0, 0, -1}, n, 0.4f, 20.0f), want,
                    2e-6 * want + 1e-12);
    }
}

}  // namespace
}  // namespace vorn
