// The records copied to the GPU are wire formats: check them against byte
// images written independently, little-endian, at the documented offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "scene/records.h"

namespace vorn {
namespace {

class ByteImage {
public:
    explicit ByteImage(size_t n) : bytes_(n, 0) {}
    void put_i32(size_t at, int32_t v) { put(at, &v); }
    void put_f32(size_t at, float v) { put(at, &v); }
    const unsigned char* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

private:
    template <class T>
    void put(size_t at, const T* v) {
        ASSERT_LE(at + 4, bytes_.size());
        uint32_t u;
        std::memcpy(&u, v, 4);
        for (int i = 0; i < 4; ++i) bytes_[at + size_t(i)] = (u >> (8 * i)) & 0xFF;
    }
    std::vector<unsigned char> bytes_;
};

template <class T>
void expect_bytes(const T& record, const ByteImage& image) {
    ASSERT_EQ(sizeof(T), image.size());
    EXPECT_EQ(0, std::memcmp(&record, image.data(), sizeof(T)));
}

TEST(Records, MaterialDataWireImage) {
    MaterialData m{};
    m.type = MaterialType::Leaf;
    m.offset = 42;
    for (int i = 0; i < 19; ++i) m.params[i] = 0.5f * float(i + 1);
    ByteImage img(88);
    img.put_i32(0, 13);
    img.put_i32(4, 42);
    for (int i = 0; i < 19; ++i) img.put_f32(12 + 4 * size_t(i), 0.5f * float(i + 1));
    expect_bytes(m, img);
}

TEST(Records, EmitterDataWireImage) {
    EmitterData e{};
    e.type = EmitterType(7);
    e.direction = {0.25f, -0.5f, 0.75f};
    e.spectral_offset = 9;
    ByteImage img(80);
    img.put_i32(0, 7);
    img.put_f32(4, 0.25f);
    img.put_f32(8, -0.5f);
    img.put_f32(12, 0.75f);
    img.put_i32(28, 9);
    expect_bytes(e, img);
}

TEST(Records, SensorDataWireImage) {
    SensorData s{};
    s.type = 4;
    s.width = 640;
    s.height = 480;
    for (int i = 0; i < 16; ++i) s.cam_xform[i] = float(i) - 3.0f;
    s.fov = 1.0471976f;
    s.ortho_w = 12.5f;
    s.ortho_h = 7.25f;
    s.projection_type = 2;
    ByteImage img(136);
    img.put_i32(0, 4);
    img.put_i32(4, 640);
    img.put_i32(8, 480);
    for (int i = 0; i < 16; ++i) img.put_f32(12 + 4 * size_t(i), float(i) - 3.0f);
    img.put_f32(76, 1.0471976f);
    img.put_f32(92, 12.5f);
    img.put_f32(96, 7.25f);
    img.put_i32(128, 2);
    expect_bytes(s, img);
}

TEST(Records, ValueTypesPackWithoutPadding) {
    const float3 v[2] = {{1, 2, 3}, {4, 5, 6}};
    const float flat[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(0, std::memcmp(v, flat, sizeof flat));
    const int3 t[2] = {{0, 1, 2}, {3, 4, 5}};
    const int32_t tflat[6] = {0, 1, 2, 3, 4, 5};
    EXPECT_EQ(0, std::memcmp(t, tflat, sizeof tflat));
}

}  // namespace
}  // namespace vorn
