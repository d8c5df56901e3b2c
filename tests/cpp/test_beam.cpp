// Per-sub-ray LiDAR math: pulse frame, sub-ray directions, binning, energies.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/beam.h"

namespace vorn {
namespace {

TEST(SubRayDirection, TiltsByTheScaledOffsetsInARightHandedFrame) {
    std::vector<float3> dirs = {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (int i = 0; i < 24; ++i) {  // Fibonacci sphere
        const double z = 1.0 - (i + 0.5) / 12.0, r = std::sqrt(1.0 - z * z);
        const double phi = i * 2.399963229728653;
        dirs.push_back({float(r * std::cos(phi)), float(r * std::sin(phi)), float(z)});
    }
    for (const float3 d : dirs) {
        const PulseFrame f = pulse_frame(d);
        SCOPED_TRACE(testing::Message() << d.x << " " << d.y << " " << d.z);
        EXPECT_NEAR(length(f.u), 1.0f, 1e-6f);
        EXPECT_NEAR(length(f.v), 1.0f, 1e-6f);
        EXPECT_NEAR(dot(f.u, d), 0.0f, 1e-6f);
        EXPECT_NEAR(dot(cross(f.u, d), f.v), 1.0f, 1e-6f);  // v = u x d, unit
        for (float t : {5e-4f, 0.1f, 1.0f}) {
            for (float x : {-1.0f, 0.0f, 0.8f}) {
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
    EXPECT_EQ(lidar_range_bin(s, 0.14f), 0);
    EXPECT_EQ(lidar_range_bin(s, 0.16f), 1);
    EXPECT_EQ(lidar_range_bin(s, 100.0f), 666);  // max_range lands in the last bin
    for (float r : {100.2f, -0.2f, 1e30f, -1e30f, std::nanf("")})
        EXPECT_EQ(lidar_range_bin(s, r), -1) << r;
}

TEST(SubRayReturn, LambertianEnergyFollowsAbsCosineOverRangeSquaredInTheWindow) {
    const LidarShot s = shot();
    const float3 o = {0, 0, 0}, dir = {0, 0, -1}, up = {0, 0, 1};
    for (float r : {1.0f, 10.0f, 99.9f}) {
        for (double theta : {0.0, 1.2, M_PI - 0.3}) {  // the last one a back face
            const float3 n = {float(std::sin(theta)), 0.0f, float(std::cos(theta))};
            const SubRayReturn h = sub_ray_return(s, o, dir, {0, 0, -r}, n, 0.25f);
            ASSERT_TRUE(h.valid) << r << " " << theta;
            EXPECT_EQ(h.bin, int(r / 0.15f));
            const double e =
                std::abs(std::cos(theta)) * 0.25 * 2.0 * 0.1 / (M_PI * r * r);
            EXPECT_NEAR(h.energy, e, 2e-6 * e) << r << " " << theta;
        }
    }
    EXPECT_FALSE(
        sub_ray_return(s, o, dir, {0, 0, -5}, {1, 0, 0}, 1.0f).valid);  // grazing
    EXPECT_FALSE(sub_ray_return(s, o, dir, {0, 0, -100.01f}, up, 1.0f).valid);
    LidarShot near = s;
    near.min_range = 3.0f;
    near.num_bins = 646;
    EXPECT_FALSE(sub_ray_return(near, o, dir, {0, 0, -2.9f}, up, 1.0f).valid);
    EXPECT_EQ(sub_ray_return(near, o, dir, {0, 0, -3.0f}, up, 1.0f).bin, 0);
}

}  // namespace
}  // namespace vorn
