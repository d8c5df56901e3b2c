// The checks an engine runs before it reads the scene with nb bands: every
// material, emitter, sky and wavelength range must lie inside what the scene
// holds, and a failing check names the reader and the range.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

std::string check(const EmbreeSceneManager& s, int nb) {
    return error_of([&] { s.validate_for_engine(nb, "engine"); });
}

std::string range_error(const std::string& what, long begin, long end, size_t size) {
    return "engine: " + what + " reads spectral values [" + std::to_string(begin) + ", " +
           std::to_string(end) + ") but the spectral array holds " + std::to_string(size);
}

/// A one-triangle scene whose mesh uses material `mat`, built unless told not to.
void make_scene(EmbreeSceneManager& s, int mat = 0, bool build = true) {
    add_unit_triangle(s, mat);
    s.add_instance(0, 0, 0, 0, 1);
    if (build) s.build();
}

TEST(EngineChecks, SceneBuiltAndMeshMaterialsExist) {
    EmbreeSceneManager s;
    make_scene(s, 0, false);
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({0.5f});
    EXPECT_EQ(check(s, 1), "engine: scene not built. Call build() first.");
    s.build();
    EXPECT_EQ(check(s, 1), "");
    for (int mat : {1, -1}) {
        EmbreeSceneManager t;
        make_scene(t, mat);
        t.add_material(MaterialType::Lambertian, 0);
        t.upload_spectral_params({0.5f});
        EXPECT_EQ(check(t, 1), "engine: mesh 0 uses material " + std::to_string(mat) +
                                   " but the scene has 1 materials");
    }
}

// A material reads quantities × nb values from its offset: an array exactly that
// long passes, one value shorter fails and names the range.
TEST(EngineChecks, MaterialRangeExactLengthPassesOneShortFails) {
    const struct {
        MaterialType type;
        int quantities, nb, offset;
    } cases[] = {{MaterialType::Lambertian, 1, 3, 0},
                 {MaterialType::Rpv, 4, 3, 2},
                 {MaterialType::Leaf, 3, 7, 2}};
    for (const auto& c : cases) {
        const size_t need = size_t(c.offset + c.quantities * c.nb);
        for (size_t size : {need, need - 1}) {
            EmbreeSceneManager s;
            make_scene(s);
            s.add_material(c.type, c.offset);
            s.upload_spectral_params(std::vector<float>(size, 0.5f));
            EXPECT_EQ(
                check(s, c.nb),
                size == need ? "" : range_error("material 0", c.offset, long(need), size))
                << "type " << int(c.type);
        }
    }
    EmbreeSceneManager s;
    make_scene(s);
    s.add_material(MaterialType::Leaf, -1);
    s.upload_spectral_params(std::vector<float>(20, 0.5f));
    EXPECT_EQ(check(s, 2), range_error("material 0", -1, 5, 20));
}

TEST(EngineChecks, ThermalModeReadsOneSlotOfEveryMaterialAndOneWavelengthPerBand) {
    EmbreeSceneManager s;
    make_scene(s);
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType(5), 3);  // black: reads nothing unless it emits
    s.upload_spectral_params(std::vector<float>(3, 0.5f));
    EXPECT_EQ(check(s, 3), "");
    s.set_thermal_mode(true, {8000, 9000, 10000});
    EXPECT_EQ(check(s, 3), range_error("material 1", 3, 6, 3));
    // Engines that emit nothing (forward tracer, LiDAR) do not read the slot.
    EXPECT_EQ(error_of([&] { s.validate_for_engine(3, "engine", false); }), "");
    s.upload_spectral_params(std::vector<float>(6, 0.5f));
    EXPECT_EQ(check(s, 3), "");
    s.set_thermal_mode(true, {8000, 9000});
    EXPECT_EQ(check(s, 3),
              "engine: thermal mode needs one wavelength per band (3), got 2");
    EXPECT_EQ(error_of([&] { s.validate_for_engine(3, "engine", false); }), "");
    EXPECT_EQ(check(s, 2), "");
}

TEST(EngineChecks, EmitterAndSkyRangesHoldOneValuePerBand) {
    const int nb = 3;
    EmbreeSceneManager s;
    make_scene(s);
    s.add_material(MaterialType::Lambertian, 0);
    s.set_emitter(EmitterType::Sun, {0, 0, 1}, nb);
    s.upload_spectral_params(std::vector<float>(2 * nb - 1, 1.0f));
    EXPECT_EQ(check(s, nb), range_error("the emitter", nb, 2 * nb, 2 * nb - 1));
    const size_t n = 11 * nb;
    s.upload_spectral_params(std::vector<float>(n, 1.0f));
    EXPECT_EQ(check(s, nb), "");
    s.set_sky(int(n) - nb);  // the last nb values: fits
    EXPECT_EQ(check(s, nb), "");
    s.set_sky(int(n) - nb + 1);
    EXPECT_EQ(check(s, nb),
              range_error("the uniform sky", long(n) - nb + 1, long(n) + 1, n));
    // A parametric sky replaces the uniform one, whose range is then not read.
    s.set_hw_sky(nb, {0, 0, 1});
    EXPECT_EQ(check(s, nb), "");
    s.set_hw_sky(nb + 1, {0, 0, 1});
    EXPECT_EQ(check(s, nb), range_error("the parametric sky", nb + 1, 11 * nb + 1, n));
}

}  // namespace
}  // namespace vorn::test
