// The launch-parameter record every device program reads as its constant
// variable "params": 904 bytes, a common part, then one block per simulation
// (forward photons, LiDAR, energy balance). The simulator zero-fills a host
// copy, writes what its launch uses and uploads all of it, so fields a launch
// does not write read 0. The device programs include this header, which pins
// the layout they and the host share.
//
// Four formerly reserved words carry what the programs of this project need
// besides: the forward photon numbering stride (batch_stride), the first
// pulse of a LiDAR launch beyond the launch limit (first_pulse), and the
// energy balance's double sums (eb_sums), lowest scene height (eb_min_height)
// and instance count (num_instances). An energy-balance launch also uses
// sample_index as the first sample of its rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/scene_records.h"

namespace vorn {

/// Forward photon launch (bytes 496-623).
struct ForwardBlock {
    double* fpar;                 ///< grid tally, ((iz * ny + iy) * nx + ix) * nb + b
    uint32_t grid_nx;             ///< grid columns along x
    uint32_t grid_ny;             ///< grid columns along y
    uint32_t grid_nz;             ///< layers
    float grid_dx;                ///< column width in x, metres
    float grid_dy;                ///< column width in y, metres
    uint32_t batch_stride;        ///< photons of a full batch: photon k * this + i
    const float* layers;          ///< nz + 1 layer heights, increasing
    double photon_e;              ///< area per photon, m^2
    float prob_sun;               ///< probability of a sun photon when a sky is set
    uint32_t reserved0;           ///< 0
    double* leaf;                 ///< per-triangle tally (T * nb), 0 when off
    const int32_t* leaf_offsets;  ///< first triangle of each instance, instances + 1
    int32_t num_triangles;        ///< T; 0 when per-leaf tallies are off
    bool per_leaf;                ///< per-triangle tallies on
    uint8_t reserved1[3];         ///< 0
    double* terrain;              ///< terrain tally (nb), 0 when off
    int32_t terrain_instance_id;  ///< instance tallied as terrain, negative for none
    int32_t batch_photons;        ///< photons in this batch
    const float* brf_dirs;        ///< num_brf_dirs unit (x, y, z) triples, 0 when off
    double* brf;                  ///< BRF tally (num_brf_dirs * nb), 0 when off
    double* albedo;               ///< upward escape tally (nb), 0 when off
    int32_t num_brf_dirs;         ///< BRF directions
    float grid_top;               ///< the last layer height
};

/// LiDAR launch (bytes 624-799).
struct LidarBlock {
    const float* pulse_ori;       ///< 3 floats per pulse
    const float* pulse_dir;       ///< 3 floats per pulse
    int32_t num_pulses;
    uint32_t first_pulse;         ///< pulse of launch row 0 (surveys beyond one launch)
    const float* beam_xy;         ///< 2 floats per beam sample
    const float* beam_w;          ///< 1 weight per beam sample
    int32_t num_beam_samples;     ///< K in waveform mode, 1 in direct mode
    float beam_half_angle_rad;
    float pulse_energy;
    float sensor_area;
    float range_resolution;       ///< metres per waveform bin
    float min_range;              ///< metres
    float max_range;              ///< metres
    int32_t num_bins;
    int32_t num_wavelengths;
    int32_t lidar_active;         ///< 1 for a LiDAR launch
    float* waveform;              ///< raw waveform, (pulse * num_bins + bin) * nw + w
    uint8_t reserved1[56];        ///< 0
    bool direct_mode;             ///< one record per hit pulse instead of waveforms
    uint8_t reserved2[7];         ///< 0
    float* direct_pts;            ///< 5 floats per record: x, y, z, intensity, pulse
    uint32_t* direct_cnt;         ///< records written
    int32_t max_direct_points;    ///< capacity of direct_pts in records
    uint32_t reserved3;           ///< 0
};

/// Energy-balance launches, single band and multiband (bytes 800-903).
struct EnergyBalanceBlock {
    int32_t band_type;
    int32_t n_samples;              ///< rays per primitive
    float sun_irradiance;           ///< single band, W m^-2 normal to the sun
    float sky_diffuse_radiance;     ///< single band, W m^-2 sr^-1
    float sky_lw_radiance;          ///< W m^-2 sr^-1
    float3 sun_dir;                 ///< towards the sun
    float* top;                     ///< per primitive, top face
    float* bot;                     ///< per primitive, bottom face; 0 when one-sided
    const float* sw_albedos;        ///< per primitive, 0 when absent
    int32_t n_bands;                ///< multiband only
    int32_t num_instances;          ///< instances of the scene (entries of its
                                    ///< instance_offsets minus one)
    const float* sun_irr;           ///< n_bands values (multiband)
    const float* sky_diff;          ///< n_bands values (multiband)
    float* top_mb;                  ///< band-major [b * n_prims + p]
    float* bot_mb;                  ///< band-major; 0 when one-sided
    const float* sw_albedos_mb;     ///< band-major; 0 when absent
};

struct LaunchParams {
    float* film;                    ///< image, (y * width + x) * bands + b
    uint32_t launch_width;
    uint32_t launch_height;
    SceneData scene;                ///< SceneManager::get_scene_data() at launch
    void* hits;                     ///< per-ray work buffer, 64 bytes per ray
    void* rngs;                     ///< per-ray random state, 16 bytes per ray
    uint32_t num_rays;              ///< launch indices the per-ray buffers cover
    uint32_t num_bands;             ///< band count of the launch's tallies and spectral reads
    double* eb_sums;                ///< energy balance: per face and band double sums,
                                    ///< then per-primitive sample counters; else 0
    float* tp;                      ///< per-ray, per-band scratch
    float* rad;                     ///< per-ray, per-band scratch
    int32_t max_depth;              ///< scattering events per path at most
    int32_t rr_depth;               ///< Russian roulette from this depth on
    int32_t spp;                    ///< sample launches of this run
    uint32_t sample_index;          ///< this launch's place in the run (batch number;
                                    ///< energy balance: first sample of the rows)
    uint64_t reserved1;             ///< 0
    uint32_t launch_index;          ///< launch counter
    float eb_min_height;            ///< energy balance: lowest world z of the scene; else 0
    ForwardBlock forward;
    LidarBlock lidar;
    EnergyBalanceBlock eb;
};

// clang-format off
static_assert(sizeof(ForwardBlock) == 128, "forward block is 128 bytes");
static_assert(sizeof(LidarBlock) == 176, "LiDAR block is 176 bytes");
static_assert(sizeof(EnergyBalanceBlock) == 104, "energy-balance block is 104 bytes");
static_assert(sizeof(LaunchParams) == 904, "LaunchParams is 904 bytes");

static_assert(offsetof(LaunchParams, film) == 0, "film");
static_assert(offsetof(LaunchParams, launch_width) == 8, "launch_width");
static_assert(offsetof(LaunchParams, launch_height) == 12, "launch_height");
static_assert(offsetof(LaunchParams, scene) == 16, "scene");
static_assert(offsetof(LaunchParams, hits) == 416, "hits");
static_assert(offsetof(LaunchParams, rngs) == 424, "rngs");
static_assert(offsetof(LaunchParams, num_rays) == 432, "num_rays");
static_assert(offsetof(LaunchParams, num_bands) == 436, "num_bands");
static_assert(offsetof(LaunchParams, eb_sums) == 440, "eb_sums");
static_assert(offsetof(LaunchParams, eb_min_height) == 492, "eb_min_height");
static_assert(offsetof(LaunchParams, tp) == 448, "tp");
static_assert(offsetof(LaunchParams, rad) == 456, "rad");
static_assert(offsetof(LaunchParams, max_depth) == 464, "max_depth");
static_assert(offsetof(LaunchParams, rr_depth) == 468, "rr_depth");
static_assert(offsetof(LaunchParams, spp) == 472, "spp");
static_assert(offsetof(LaunchParams, sample_index) == 476, "sample_index");
static_assert(offsetof(LaunchParams, reserved1) == 480, "reserved1");
static_assert(offsetof(LaunchParams, launch_index) == 488, "launch_index");
static_assert(offsetof(LaunchParams, forward) == 496, "forward block");
static_assert(offsetof(LaunchParams, lidar) == 624, "LiDAR block");
static_assert(offsetof(LaunchParams, eb) == 800, "energy-balance block");

static_assert(offsetof(ForwardBlock, fpar) == 496 - 496, "fpar");
static_assert(offsetof(ForwardBlock, grid_nx) == 504 - 496, "grid_nx");
static_assert(offsetof(ForwardBlock, grid_ny) == 508 - 496, "grid_ny");
static_assert(offsetof(ForwardBlock, grid_nz) == 512 - 496, "grid_nz");
static_assert(offsetof(ForwardBlock, grid_dx) == 516 - 496, "grid_dx");
static_assert(offsetof(ForwardBlock, grid_dy) == 520 - 496, "grid_dy");
static_assert(offsetof(ForwardBlock, batch_stride) == 524 - 496, "batch_stride");
static_assert(offsetof(ForwardBlock, layers) == 528 - 496, "layers");
static_assert(offsetof(ForwardBlock, photon_e) == 536 - 496, "photon_e");
static_assert(offsetof(ForwardBlock, prob_sun) == 544 - 496, "prob_sun");
static_assert(offsetof(ForwardBlock, leaf) == 552 - 496, "leaf");
static_assert(offsetof(ForwardBlock, leaf_offsets) == 560 - 496, "leaf_offsets");
static_assert(offsetof(ForwardBlock, num_triangles) == 568 - 496, "num_triangles");
static_assert(offsetof(ForwardBlock, per_leaf) == 572 - 496, "per_leaf");
static_assert(offsetof(ForwardBlock, terrain) == 576 - 496, "terrain");
static_assert(offsetof(ForwardBlock, terrain_instance_id) == 584 - 496, "terrain_instance_id");
static_assert(offsetof(ForwardBlock, batch_photons) == 588 - 496, "batch_photons");
static_assert(offsetof(ForwardBlock, brf_dirs) == 592 - 496, "brf_dirs");
static_assert(offsetof(ForwardBlock, brf) == 600 - 496, "brf");
static_assert(offsetof(ForwardBlock, albedo) == 608 - 496, "albedo");
static_assert(offsetof(ForwardBlock, num_brf_dirs) == 616 - 496, "num_brf_dirs");
static_assert(offsetof(ForwardBlock, grid_top) == 620 - 496, "grid_top");

static_assert(offsetof(LidarBlock, pulse_ori) == 624 - 624, "pulse_ori");
static_assert(offsetof(LidarBlock, pulse_dir) == 632 - 624, "pulse_dir");
static_assert(offsetof(LidarBlock, num_pulses) == 640 - 624, "num_pulses");
static_assert(offsetof(LidarBlock, first_pulse) == 644 - 624, "first_pulse");
static_assert(offsetof(LidarBlock, beam_xy) == 648 - 624, "beam_xy");
static_assert(offsetof(LidarBlock, beam_w) == 656 - 624, "beam_w");
static_assert(offsetof(LidarBlock, num_beam_samples) == 664 - 624, "num_beam_samples");
static_assert(offsetof(LidarBlock, beam_half_angle_rad) == 668 - 624, "beam_half_angle_rad");
static_assert(offsetof(LidarBlock, pulse_energy) == 672 - 624, "pulse_energy");
static_assert(offsetof(LidarBlock, sensor_area) == 676 - 624, "sensor_area");
static_assert(offsetof(LidarBlock, range_resolution) == 680 - 624, "range_resolution");
static_assert(offsetof(LidarBlock, min_range) == 684 - 624, "min_range");
static_assert(offsetof(LidarBlock, max_range) == 688 - 624, "max_range");
static_assert(offsetof(LidarBlock, num_bins) == 692 - 624, "num_bins");
static_assert(offsetof(LidarBlock, num_wavelengths) == 696 - 624, "num_wavelengths");
static_assert(offsetof(LidarBlock, lidar_active) == 700 - 624, "lidar_active");
static_assert(offsetof(LidarBlock, waveform) == 704 - 624, "waveform");
static_assert(offsetof(LidarBlock, direct_mode) == 768 - 624, "direct_mode");
static_assert(offsetof(LidarBlock, direct_pts) == 776 - 624, "direct_pts");
static_assert(offsetof(LidarBlock, direct_cnt) == 784 - 624, "direct_cnt");
static_assert(offsetof(LidarBlock, max_direct_points) == 792 - 624, "max_direct_points");

static_assert(offsetof(EnergyBalanceBlock, band_type) == 800 - 800, "band_type");
static_assert(offsetof(EnergyBalanceBlock, n_samples) == 804 - 800, "n_samples");
static_assert(offsetof(EnergyBalanceBlock, sun_irradiance) == 808 - 800, "sun_irradiance");
static_assert(offsetof(EnergyBalanceBlock, sky_diffuse_radiance) == 812 - 800, "sky_diffuse_radiance");
static_assert(offsetof(EnergyBalanceBlock, sky_lw_radiance) == 816 - 800, "sky_lw_radiance");
static_assert(offsetof(EnergyBalanceBlock, sun_dir) == 820 - 800, "sun_dir");
static_assert(offsetof(EnergyBalanceBlock, top) == 832 - 800, "top");
static_assert(offsetof(EnergyBalanceBlock, bot) == 840 - 800, "bot");
static_assert(offsetof(EnergyBalanceBlock, sw_albedos) == 848 - 800, "sw_albedos");
static_assert(offsetof(EnergyBalanceBlock, n_bands) == 856 - 800, "n_bands");
static_assert(offsetof(EnergyBalanceBlock, num_instances) == 860 - 800, "num_instances");
static_assert(offsetof(EnergyBalanceBlock, sun_irr) == 864 - 800, "sun_irr");
static_assert(offsetof(EnergyBalanceBlock, sky_diff) == 872 - 800, "sky_diff");
static_assert(offsetof(EnergyBalanceBlock, top_mb) == 880 - 800, "top_mb");
static_assert(offsetof(EnergyBalanceBlock, bot_mb) == 888 - 800, "bot_mb");
static_assert(offsetof(EnergyBalanceBlock, sw_albedos_mb) == 896 - 800, "sw_albedos_mb");
// clang-format on

}  // namespace vorn
