"""The documented API index of the scene and simulator classes: every method
exists with its parameter names (positional-only ones unnamed) and defaults.
Reads the signatures the binding library writes into each docstring, so it
needs no device."""
import re

import pytest

import vorn_gpu

GPU_BUILT = vorn_gpu.PTX_DIR is not None  # a module built without CUDA has no GPU classes
ANY = object()  # a default whose rendering is not pinned here (empty arrays)

# "*" marks a positional-only parameter; "name=value" a default as rendered.
SCENE_METHODS = {
    "add_mesh": "vertices, normals, indices, material_id=0",
    "add_instance": "mesh_id, x=0, y=0, z=0, scale=1.0",
    "add_instance_xform": "mesh_id, xform",
    "update_instance_transform": "id, xform",
    "refit_ias": "",
    "set_num_bands": "*",
    "clear_for_reuse": "",
    "build_reuse_gas": "",
    "has_gpu_meshes": "",
    "add_material": "type, offset, scalar_params=[]",
    "upload_spectral_params": "*",
    "set_emitter": "*, *, *",
    "update_emitter_direction": "*",
    "set_sensor": "type, width, height, ortho_w, ortho_h, cam_xform, fov=60.0, "
                  "projection_type=0, terrain_following=False",
    "set_sky": "spectral_offset",
    "set_hw_sky": "spectral_offset, sun_x, sun_y, sun_z",
    "set_repetitive": "num_repetitions, scene_x_size, scene_y_size",
    "build": "",
    "is_built": "",
    "total_triangles": "",
    "num_instances": "",
    "max_height": "",
    "set_measurement_plane": "height",
    "set_thermal_mode": "enabled, wavelengths",
}
GPU_SCENE_ONLY = {
    "update_spectral_params": "*, *",
    "n_primitives": "",
    "get_primitive_areas": "",
    "get_primitive_mat_ids": "",
    "set_primitive_temperatures": "temperatures",
    "clear_primitive_temperatures": "",
    "get_primitive_temperatures": "",
    "set_primitive_emissivities": "emissivities",
    "clear_primitive_emissivities": "",
    "set_primitive_sif_spectra": "spectra, n_sif_bands",
    "clear_primitive_sif_spectra": "",
    "set_sif_only_mode": "enabled",
}
LIDAR = ("pulse_origins, pulse_directions, num_pulses, beam_half_angle_rad=0.0005000000237487257, "
         "beam_samples_per_dim=10, pulse_energy=1.0, sensor_area=0.10000000149011612, "
         "range_resolution=0.15000000596046448, min_range=0.0, max_range=100.0, "
         "num_wavelengths=1, pulse_fwhm_ns=4.0, peak_threshold=9.99999993922529e-09, "
         "max_returns_per_pulse=5, direct_mode=False")
SIMULATOR_METHODS = {
    "init": "",
    "simulate": "scene, spp=16, max_depth=16, progress=None",
    "simulate_forward": "scene, nx=1, ny=1, layer_heights, num_photons=10000000, num_bands=1, "
                        "per_leaf=False, brf_directions=..., num_brf_dirs=0, prob_sun=1.0, "
                        "max_depth=16, terrain_instance_id=-1, progress=None",
    "run_energy_balance": "scene, band_type=0, n_samples=64, sun_irradiance=0.0, "
                          "sky_diffuse_radiance=0.0, sky_lw_radiance=0.0, sun_dir_x=0.0, "
                          "sun_dir_y=0.0, sun_dir_z=1.0, two_sided=True, sw_albedos=None",
    "run_energy_balance_multiband": "scene, n_bands, n_samples=64, sun_irradiance=..., "
                                    "sky_diffuse_radiance=..., sun_dir_x=0.0, sun_dir_y=0.0, "
                                    "sun_dir_z=1.0, two_sided=True, sw_albedos=None",
    "simulate_lidar": "scene, " + LIDAR,
}


def documented(spec):
    """[(name or None for positional-only, default or None or ANY)]."""
    out = []
    for item in filter(None, (s.strip() for s in spec.split(","))):
        name, _, default = item.partition("=")
        out.append((None if name == "*" else name,
                    (ANY if default == "..." else default) if _ else None))
    return out


def bound(method):
    """The same list, read from the signature line of a bound method's docstring."""
    line = method.__doc__.splitlines()[0]
    inner = line[line.index("(") + 1:line.rindex(")")]
    params, depth, current = [], 0, ""
    for ch in inner + ",":
        depth += ch in "[(" and 1 or ch in "])" and -1 or 0
        if ch == "," and depth == 0:
            params.append(current.strip())
            current = ""
        else:
            current += ch
    out = []
    for p in params[1:] if params and params[0].startswith("self") else params:
        m = re.match(r"(\w+):.*?(?: = (.*))?$", p)
        name = None if re.fullmatch(r"arg\d+", m.group(1)) else m.group(1)
        out.append((name, m.group(2)))
    return out


def check(cls, methods):
    for name, spec in methods.items():
        assert hasattr(cls, name), f"{cls.__name__}.{name} missing"
        got, want = bound(getattr(cls, name)), documented(spec)
        assert [n for n, _ in got] == [n for n, _ in want], name
        for (_, g), (_, w) in zip(got, want):
            assert (g is not None) if w is ANY else g == w, (name, g, w)


@pytest.mark.parametrize("cls, gpu", [("EmbreeSceneManager", False), ("SceneManager", True)])
def test_scene_classes_follow_the_index(cls, gpu):
    if gpu and not GPU_BUILT:
        pytest.skip("module built without the GPU backend")
    check(getattr(vorn_gpu, cls), {**SCENE_METHODS, **(GPU_SCENE_ONLY if gpu else {})})
    if not gpu:  # the CPU class has none of the GPU scene's own methods
        assert not any(hasattr(vorn_gpu.EmbreeSceneManager, n) for n in GPU_SCENE_ONLY)


@pytest.mark.skipif(not hasattr(vorn_gpu, "Simulator"),
                    reason="the GPU simulator is not bound yet")
def test_simulator_follows_the_index():
    check(vorn_gpu.Simulator, SIMULATOR_METHODS)
