"""vorn.Scene: the spectral layout follows the engine's index rules, pickles and
scene files round-trip exactly, newer files are refused, bad scenes fail before
any native call naming the culprit, and "gpu" builds make the same native calls."""
import json
import pickle

import numpy as np
import pytest

import vorn
import vorn_gpu

SKY = np.arange(18, dtype=np.float64).reshape(2, 9) * 0.01


def rich_scene():
    plane = vorn_gpu.make_ground_plane(5, 5)
    ball = vorn_gpu.make_sphere(1.0, np.zeros(3, np.float32), 1)
    return vorn.Scene(
        bands=[650.0, 850.0],
        materials={"soil": vorn.Rpv(rho0=[0.1, 0.2], k=[0.8, 0.9], theta=[-0.1, -0.2], rho_c=[0.3, 0.4]),
                   "leaf": vorn.Leaf(front=[0.05, 0.45], back=[0.07, 0.4], transmittance=[0.03, 0.45],
                                     sampling=(0.6, 0.4)),
                   "bark": vorn.Lambertian(0.3, temperature=290.0)},
        meshes={"ground": vorn.Mesh(**plane, material="soil"), "ball": vorn.Mesh(**ball, material="leaf")},
        instances=[vorn.Instance("ground", [[1, 0, 0, 5], [0, 1, 0, 5], [0, 0, 1, 0]], terrain=True),
                   vorn.Instance("ball", np.array([[1, 0, 0, 5], [0, 1, 0, 5], [0, 0, 1, 2], [0, 0, 0, 1.0]]))],
        sun=vorn.Sun([1.5, 1.0], zenith=30.0, azimuth=200.0),
        sky=vorn.ParametricSky(coefficients=SKY, zenith_radiance=[0.1, 0.05]),
        sensor=vorn.Fisheye(12, 10, fov=170.0, projection="equidistant",
                            transform=vorn.look_at((5, 5, 0.5), (5, 5, 10))),
        tile=vorn.Tile(10.0, 10.0, 2))


class Recorder:
    """Stands in for a native scene (either backend) and logs every call."""

    def __init__(self, *args):
        self.args, self.calls = args, []

    def __getattr__(self, name):
        return lambda *a, **k: self.calls.append((name, a, k)) or len(self.calls)


def test_spectral_layout_and_material_records():
    c = rich_scene().compile()
    sp, nb = c.spectral, 2
    quantities = {"soil": ([0.1, 0.2], [0.8, 0.9], [-0.1, -0.2], [0.3, 0.4]),
                  "leaf": ([0.05, 0.45], [0.07, 0.4], [0.03, 0.45]), "bark": ([0.3, 0.3],)}
    for name, qs in quantities.items():  # materials: offset + q * nb + b
        o = c.material_offsets[name]
        for q, values in enumerate(qs):
            np.testing.assert_array_equal(sp[o + q * nb + np.arange(nb)], np.float32(values))
    np.testing.assert_array_equal(sp[c.sun_offset + np.arange(nb)], np.float32([1.5, 1.0]))
    for b in range(nb):  # parametric sky: ten values per band, band-major
        np.testing.assert_array_equal(sp[c.sky_offset + 10 * b + np.arange(9)], np.float32(SKY[b]))
        assert sp[c.sky_offset + 10 * b + 9] == np.float32([0.1, 0.05][b])
    rec = Recorder()
    c.apply(rec)
    mats = [a for n, a, _ in rec.calls if n == "add_material"]
    assert [(t, p) for t, _, p in mats] == [(1, [0, 0, 0, 0, 0]), (13, [0.6, 0.4, 0, 0, 0]),
                                            (0, [0, 0, 290.0, 0, 0])]
    sun = [a for n, a, _ in rec.calls if n == "set_emitter"][0][1]
    np.testing.assert_allclose(sun, [-np.sin(np.pi / 6) * np.sin(np.radians(20)),
                                     -np.sin(np.pi / 6) * np.cos(np.radians(20)), np.cos(np.pi / 6)], atol=1e-7)


def test_pickle_and_file_round_trips_render_bit_identically(tmp_path):
    scene = rich_scene()
    scene.save(tmp_path / "s.npz")
    reference = vorn_gpu.simulate_cpu(scene.build("cpu"), spp=2, max_depth=3)
    assert reference.max() > 0
    for copy in (pickle.loads(pickle.dumps(scene)), vorn.Scene.load(tmp_path / "s.npz")):
        np.testing.assert_array_equal(vorn_gpu.simulate_cpu(copy.build("cpu"), spp=2, max_depth=3),
                                      reference)
        assert copy.to_json({}) == scene.to_json({})


def test_newer_and_foreign_files_are_refused(tmp_path):
    rich_scene().save(tmp_path / "s.npz")
    with np.load(tmp_path / "s.npz") as f:
        arrays = dict(f)
    header = json.loads(str(arrays["__header__"]))
    header["version"] += 1
    np.savez(tmp_path / "new.npz", **{**arrays, "__header__": np.array(json.dumps(header))})
    with pytest.raises(ValueError, match="version 2 is newer"):
        vorn.Scene.load(tmp_path / "new.npz")
    np.savez(tmp_path / "other.npz", a=np.zeros(3))
    with pytest.raises(ValueError, match="not a vorn scene file"):
        vorn.Scene.load(tmp_path / "other.npz")


BAD = [
    (lambda s: setattr(s, "bands", []), "at least one band"),
    (lambda s: s.materials.update(bark=vorn.Lambertian([0.1, 0.2, 0.3])),
     "material 'bark' reflectance has 3 values, the scene has 2 bands"),
    (lambda s: s.materials.update(bark=vorn.Lambertian([0.1, np.nan])), "material 'bark' reflectance .*not finite"),
    (lambda s: s.materials.update(leaf=vorn.Leaf(front=0.6, transmittance=0.5)),
     "material 'leaf': front reflectance \\+ transmittance exceeds 1"),
    (lambda s: s.meshes.update(ball=vorn.Mesh(np.zeros((3, 3)), [[0, 1, 3]], "leaf")),
     "mesh 'ball' indices must lie in \\[0, 2\\]"),
    (lambda s: s.meshes.update(ball=vorn.Mesh(np.zeros((3, 3)), [[0, 1, 2]], "wood")),
     "mesh 'ball' names material 'wood'"),
    (lambda s: s.instances.append(vorn.Instance("tree")), "instance 2 names mesh 'tree'"),
    (lambda s: s.instances.append(vorn.Instance("ball", np.zeros((3, 4)))), "instance 2 \\('ball'\\) transform is singular"),
    (lambda s: s.instances.append(vorn.Instance("ball", np.ones((4, 4)))), "last row of a 4 × 4"),
    (lambda s: setattr(s, "sun", vorn.Sun(1.0, zenith=10, azimuth=0, direction=(0, 0, 1))), "sun: give zenith"),
    (lambda s: setattr(s, "sensor", vorn.Fisheye(4, 4, projection="polar", position=(0, 0, 1))),
     "projection must be one of equisolid"),
    (lambda s: setattr(s, "sensor", vorn.Perspective(4, 4, fov=180.0, position=(0, 0, 1))),
     "sensor \\(Perspective\\) fov must lie in"),
    (lambda s: setattr(s, "sky", vorn.ParametricSky(np.zeros((2, 8)), [1, 1])), "sky coefficients must have shape 2 × 9"),
    (lambda s: setattr(s, "tile", vorn.Tile(-1.0, 10.0)), "tile sizes must be positive"),
]


@pytest.mark.parametrize("mutate, message", BAD)
def test_bad_scenes_fail_before_any_native_call(monkeypatch, mutate, message):
    monkeypatch.setattr(vorn_gpu, "EmbreeSceneManager", lambda: pytest.fail("native scene created"))
    scene = rich_scene()
    mutate(scene)
    with pytest.raises(vorn.SceneError, match=message):
        scene.build("cpu")


def test_gpu_builds_and_runs_through_the_gpu_classes(monkeypatch):
    scene, ctx = rich_scene(), object()
    with pytest.raises(ValueError, match="OptiXContext"):
        scene.build("gpu")
    monkeypatch.setattr(vorn_gpu, "SceneManager", Recorder, raising=False)
    native, cpu = scene.build("gpu", ctx), Recorder()
    scene.compile().apply(cpu)
    assert native.args == (ctx,) and native.calls[-1][0] == "build"
    assert pickle.dumps(native.calls) == pickle.dumps(cpu.calls)

    class Simulator(Recorder):
        def __init__(self, *args):
            super().__init__(*args)
            made.append("constructed")

        def simulate(self, native, spp, max_depth, progress):
            made.append((self.args, spp, max_depth))
            return np.ones((10, 12, 2), np.float32)
    made = []
    monkeypatch.setattr(vorn_gpu, "Simulator", Simulator, raising=False)
    monkeypatch.setattr(vorn_gpu, "PTX_DIR", "/ptx")
    gpu = vorn.GpuBackend(context=ctx)
    for _ in range(2):
        image = vorn.render(scene, spp=3, max_depth=2, backend=gpu)
    assert image.radiance.shape == (10, 12, 2) and image.attrs["backend"] == "gpu"
    assert made == ["constructed", ((ctx, "/ptx"), 3, 2), ((ctx, "/ptx"), 3, 2)]
