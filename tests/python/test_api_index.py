"""The documented API index of the scene and simulator classes: every method
exists with its parameter names, positional-only markers and defaults, and
every class, method and function of the module carries a docstring.
Reads the signatures the binding library writes into each docstring, so it
needs no device."""
import enum
import re

import pytest

import vorn_gpu

GPU_BUILT = vorn_gpu.PTX_DIR is not None  # a module built without CUDA has no GPU classes
ANY = object()  # a default whose rendering is not pinned here (empty arrays)

# "/" ends the positional-only parameters; "name=value" is a default as rendered.
SCENE_METHODS = {
    "add_mesh": "vertices, normals, indices, material_id=0",
    "add_instance": "mesh_id, x=0, y=0, z=0, scale=1.0",
    "add_instance_xform": "mesh_id, xform",
    "update_instance_transform": "id, xform",
    "refit_ias": "",
    "set_num_bands": "num_bands, /",
    "clear_for_reuse": "",
    "build_reuse_gas": "",
    "has_gpu_meshes": "",
    "add_material": "type, offset, scalar_params=[]",
    "upload_spectral_params": "values, /",
    "set_emitter": "type, direction, spectral_offset, /",
    "update_emitter_direction": "direction, /",
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
    "update_spectral_params": "offset, values, /",
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
# The GPU simulator; simulate_forward and simulate_lidar take the parameters of
# simulate_forward_cpu and simulate_lidar_cpu after their scene, defaults included.
SIMULATOR_METHODS = {
    "init": "",
    "simulate": "scene, spp=16, max_depth=16, progress=None",
    "run_energy_balance": "scene, band_type=0, n_samples=64, sun_irradiance=0.0, "
                          "sky_diffuse_radiance=0.0, sky_lw_radiance=0.0, sun_dir_x=0.0, "
                          "sun_dir_y=0.0, sun_dir_z=1.0, two_sided=True, sw_albedos=None",
    "run_energy_balance_multiband": "scene, n_bands, n_samples=64, sun_irradiance=..., "
                                    "sky_diffuse_radiance=..., sun_dir_x=0.0, sun_dir_y=0.0, "
                                    "sun_dir_z=1.0, two_sided=True, sw_albedos=None",
}


def documented(spec):
    """[(name or marker "/" or "*", default or None or ANY)]."""
    out = []
    for item in filter(None, (s.strip() for s in spec.split(","))):
        name, _, default = item.partition("=")
        out.append((name, (ANY if default == "..." else default) if _ else None))
    return out


def bound(method):
    """The same list, read from the signature line of a bound method's docstring."""
    line, params, depth, current = method.__doc__.splitlines()[0], [], 0, ""
    for ch in line[line.index("(") + 1:line.rindex(")")] + ",":
        depth += (ch in "[(") - (ch in "])")
        if ch == "," and depth == 0:
            params, current = params + [current.strip()], ""
        else:
            current += ch
    return [(p, None) if p in "/*" else re.match(r"(\w+):.*?(?: = (.*))?$", p).groups()
            for p in params if not p.startswith("self:")]


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


@pytest.mark.skipif(not GPU_BUILT, reason="module built without the GPU backend")
def test_simulator_follows_the_index():
    sim = vorn_gpu.Simulator
    check(sim, SIMULATOR_METHODS)
    cpu_only = {"*", "seed", "num_threads"}  # extras of the CPU engines
    for gpu, cpu in [("simulate_forward", "simulate_forward_cpu"),
                     ("simulate_lidar", "simulate_lidar_cpu")]:
        same = [[p for p in bound(f) if p[0] not in cpu_only]
                for f in (getattr(sim, gpu), getattr(vorn_gpu, cpu))]
        assert same[0] == same[1], gpu
    for name, text in EB_DOCS.items():
        assert getattr(sim, name).__doc__.split("\n", 2)[2].strip() == text, name


EB_DOCS = {  # the documented texts, verbatim
    "run_energy_balance": "Run the energy balance reverse RT kernel. Returns (top, bot) numpy arrays "
    "of length n_primitives. bot is empty when two_sided=False. sw_albedos: optional "
    "float32[n_primitives] for 2-bounce SW NEE.",
    "run_energy_balance_multiband": "Run multi-band energy balance reverse RT kernel (Phase 3.1). "
    "Returns (top, bot) numpy arrays of shape [n_bands, n_primitives]. bot is empty when "
    "two_sided=False. sw_albedos: flattened float32[n_bands * n_primitives] (SoA layout).",
}


def test_every_class_method_and_function_is_documented():
    # The help text: a signature line without arg0-style names, then the docstring.
    seen = 0
    for name, obj in vars(vorn_gpu).items():
        if name.startswith("_") or not callable(obj):
            continue
        if isinstance(obj, type) and issubclass(obj, enum.IntEnum):
            assert obj.__doc__ and all(m.__doc__ and m.__doc__ != obj.__doc__ for m in obj), name
            assert vorn_gpu.MaterialType.LEAF == 13 and vorn_gpu.SensorType.FISHEYE == 4
            continue
        members = [(name, obj)]
        if isinstance(obj, type):  # a class: its own text, then its methods
            assert len(obj.__doc__) > 20, name
            members = [(f"{name}.{k}", v) for k, v in vars(obj).items()
                       if callable(v) and (k == "__init__" or not k.startswith("_"))]
        for qualname, f in members:
            head, _, text = f.__doc__.partition("\n")
            assert len(text.strip()) > 20, f"{qualname} has no docstring"
            assert not re.search(r"\barg\d+\b", head), f"{qualname}: {head}"
            seen += 1
    assert seen > 60
