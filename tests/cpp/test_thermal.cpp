// Planck band radiance against the physical constants, and the choice of
// emission temperature.
#include <gtest/gtest.h>

#include <cmath>

#include "core/thermal.h"

namespace vorn {
namespace {

constexpr double kH = 6.62607015e-34;  // J s
constexpr double kC = 299792458.0;     // m / s
constexpr double kK = 1.380649e-23;    // J / K

TEST(Planck, MatchesPhysicalConstants) {
    for (double nm : {400.0, 1000.0, 3900.0, 10500.0, 15000.0}) {
        for (double t : {220.0, 320.5, 1000.0, 5800.0}) {
            // 2 h c^2 / lambda^5 / (exp(h c / (lambda k T)) - 1), per nm.
            double l = nm * 1e-9;
            double want = 2 * kH * kC * kC / std::pow(l, 5) /
                          std::expm1(kH * kC / (l * kK * t)) * 1e-9;
            if (want < 1e-30) continue;  // underflows float; covered below
            EXPECT_NEAR(planck_band_radiance(float(nm), t), want, 1e-6 * want)
                << "lambda " << nm << " nm, T " << t << " K";
        }
    }
    // x = hc / (lambda k T) > 500 is cut off; T = 0 gives x = inf.
    EXPECT_EQ(planck_band_radiance(400.0f, 50.0), 0.0f);  // x ~ 719
    EXPECT_EQ(planck_band_radiance(10000.0f, 0.0), 0.0f);
}

TEST(SurfaceTemperature, SunlitShadedPairThenUniform) {
    struct Case {
        float p2, p3, p4;
        bool pair;
        float lit, shade;  // expected when not shaded / shaded
    } cases[] = {
        {290, 310, 295, true, 310, 295},  // the pair wins over the uniform value
        {0, 310, 295, true, 310, 295},   {290, 310, 0, false, 290, 290},
        {290, 0, 295, false, 290, 290},  {0, 0, 0, false, 0, 0},
        {-5, 310, -1, false, 0, 0},
    };
    for (const Case& c : cases) {
        const MaterialData m{MaterialType::Lambertian, 0, 0, {0, 0, c.p2, c.p3, c.p4}};
        SCOPED_TRACE(testing::Message() << c.p2 << " " << c.p3 << " " << c.p4);
        EXPECT_EQ(has_sunlit_shaded_temperatures(m), c.pair);
        EXPECT_EQ(surface_temperature(m, false), c.lit);
        EXPECT_EQ(surface_temperature(m, true), c.shade);
    }
}

}  // namespace
}  // namespace vorn
