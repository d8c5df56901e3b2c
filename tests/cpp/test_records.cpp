// The records copied to the GPU are wire formats: check them against byte
// images written independently, little-endian, at the documented offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "scene/records.h"

namespace vorn {
namespace {

struct ByteImage {
    std::vector<unsigned char> bytes;
    explicit ByteImage(size_t n) : bytes(n, 0) {}
    template <class T>  // consecutive 4-byte ints or floats from offset `at`
    void put(size_t at, std::initializer_list<T> values) {
        static_assert(sizeof(T) == 4, "fields are 4 bytes");
        for (T v : values) {
            uint32_t u;
            std::memcpy(&u, &v, 4);
            for (size_t i = 0; i < 4; ++i) bytes.at(at++) = (u >> (8 * i)) & 0xFF;
        }
    }
};

template <class T>
void expect_bytes(const T& record, const ByteImage& image) {
    ASSERT_EQ(sizeof(T), image.bytes.size());
    EXPECT_EQ(0, std::memcmp(&record, image.bytes.data(), sizeof(T)));
}

TEST(Records, MaterialDataWireImage) {
    MaterialData m{};
    m.type = MaterialType::Leaf;
    m.offset = 42;
    ByteImage img(88);
    img.put(0, {13, 42});
    for (int i = 0; i < 19; ++i) {
        m.params[i] = 0.5f * float(i + 1);
        img.put(12 + 4 * size_t(i), {0.5f * float(i + 1)});
    }
    expect_bytes(m, img);
}

TEST(Records, EmitterDataWireImage) {
    EmitterData e{};
    e.type = EmitterType(7);
    e.direction = {0.25f, -0.5f, 0.75f};
    e.spectral_offset = 9;
    ByteImage img(80);
    img.put(0, {7});
    img.put(4, {0.25f, -0.5f, 0.75f});
    img.put(28, {9});
    expect_bytes(e, img);
}

TEST(Records, SensorDataWireImage) {
    SensorData s{};
    s.type = 4;
    s.width = 640;
    s.height = 480;
    s.fov = 1.0471976f;
    s.ortho_w = 12.5f;
    s.ortho_h = 7.25f;
    s.projection_type = 2;
    ByteImage img(136);
    img.put(0, {4, 640, 480});
    for (int i = 0; i < 16; ++i) {
        s.cam_xform[i] = float(i) - 3.0f;
        img.put(12 + 4 * size_t(i), {float(i) - 3.0f});
    }
    img.put(76, {1.0471976f});
    img.put(92, {12.5f, 7.25f});
    img.put(128, {2});
    expect_bytes(s, img);
}

}  // namespace
}  // namespace vorn
