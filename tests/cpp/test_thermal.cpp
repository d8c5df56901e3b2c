// Planck band radiance against the physical constants, a radiometric law, and
// the choice of emission temperature.
#include <gtest/gtest.h>

#include <cmath>

#include "core/thermal.h"

namespace vorn {
namespace {

constexpr double kH = 6.62607015e-34;  // J s
constexpr double kC = 299792458.0;     // m / s
constexpr double kK = 1.380649e-23;    // J / K
constexpr double kPi = 3.14159265358979323846;

// 2 h c^2 / lambda^5 / (exp(h c / (lambda k T)) - 1), per nm.
double planck_reference(double nm, double t) {
    double l = nm * 1e-9;
    return 2 * kH * kC * kC / std::pow(l, 5) / std::expm1(kH * kC / (l * kK * t)) * 1e-9;
}

TEST(Planck, MatchesPhysicalConstants) {
    EXPECT_NEAR(kPlanckC1, 2 * kH * kC * kC, 1e-12 * kPlanckC1);
    EXPECT_NEAR(kPlanckC2, kH * kC / kK, 1e-12 * kPlanckC2);
    for (double nm : {400.0, 550.0, 1000.0, 3900.0, 8000.0, 10500.0, 15000.0}) {
        for (double t : {220.0, 300.0, 320.5, 1000.0, 5800.0}) {
            double want = planck_reference(nm, t);
            if (want < 1e-30) continue;  // underflows float; covered below
            EXPECT_NEAR(planck_band_radiance(float(nm), t), want, 1e-6 * want)
                << "lambda " << nm << " nm, T " << t << " K";
        }
    }
}

TEST(Planck, ColdOrShortWaveIsZero) {
    // x = hc / (lambda k T) > 500 is cut off; T = 0 gives x = inf.
    EXPECT_EQ(planck_band_radiance(400.0f, 50.0), 0.0f);  // x ~ 719
    EXPECT_EQ(planck_band_radiance(10000.0f, 1.0), 0.0f);
    EXPECT_EQ(planck_band_radiance(10000.0f, 0.0), 0.0f);
}

TEST(Planck, IntegratesToStefanBoltzmann) {
    // pi * integral of B over wavelength = sigma T^4, with B per nm.
    const double sigma = 5.670374419e-8;
    for (double t : {250.0, 300.0}) {
        double sum = 0.0;
        const double lo = std::log(200.0), hi = std::log(1e6);
        const int n = 20000;
        for (int i = 0; i < n; ++i) {
            double nm = std::exp(lo + (hi - lo) * (i + 0.5) / n);
            sum += planck_band_radiance(float(nm), t) * nm;  // d(nm) = nm d(ln nm)
        }
        double exitance = kPi * sum * (hi - lo) / n;
        EXPECT_NEAR(exitance, sigma * std::pow(t, 4), 2e-4 * sigma * std::pow(t, 4))
            << "T " << t;
    }
}

TEST(SurfaceTemperature, SunlitShadedPairThenUniform) {
    struct Case {
        float p2, p3, p4;
        bool pair;
        float lit, shade;  // expected when not shaded / shaded
    } cases[] = {
        {290, 310, 295, true, 310, 295},  // pair wins over the uniform value
        {0, 310, 295, true, 310, 295},
        {290, 310, 0, false, 290, 290},  // incomplete pair: uniform
        {290, 0, 295, false, 290, 290},
        {0, 0, 0, false, 0, 0},  // no emission
        {-5, 310, -1, false, 0, 0},
    };
    for (const Case& c : cases) {
        MaterialData m{};
        m.params[2] = c.p2;
        m.params[3] = c.p3;
        m.params[4] = c.p4;
        EXPECT_EQ(has_sunlit_shaded_temperatures(m), c.pair)
            << c.p2 << " " << c.p3 << " " << c.p4;
        EXPECT_EQ(surface_temperature(m, false), c.lit)
            << c.p2 << " " << c.p3 << " " << c.p4;
        EXPECT_EQ(surface_temperature(m, true), c.shade)
            << c.p2 << " " << c.p3 << " " << c.p4;
    }
}

}  // namespace
}  // namespace vorn
