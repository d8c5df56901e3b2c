"""The README's vorn examples run in order as one session: the declared scene
renders the hand-built example's image bit for bit, and the sweep on a 2-worker
local cluster equals the same runs done in this process."""
import os
import pathlib
import re

import numpy as np
import pytest

README = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
BLOCK = re.compile(r"```python\n(.*?)```", re.S)


def test_readme_vorn_examples(tmp_path, monkeypatch, capsys):
    for extra in ("xarray", "trimesh", "prosail", "pvlib", "distributed", "tqdm", "laspy"):
        pytest.importorskip(extra)
    monkeypatch.chdir(tmp_path)
    hand_built = {}
    exec(compile(BLOCK.search(README).group(1), "README.md", "exec"), hand_built)
    ns = {"__name__": "readme_vorn"}  # a module name workers cannot import: pickled by value
    for code in BLOCK.findall(README[README.index("## The `vorn` toolkit"):]):
        exec(compile(code, "README.md", "exec"), ns)
    out = capsys.readouterr().out
    np.testing.assert_array_equal(ns["image"], hand_built["image"])
    assert "instance 0 names mesh 'tree'" in out and "\nTrue\n" in out
    assert {k: len(m.indices) for k, m in ns["plant"].items()} == {"leaves": 1, "stem": 2}
    assert float(ns["picture"].brf.mean()) == pytest.approx(0.2, rel=1e-6)
    np.testing.assert_allclose(ns["fluxes"].albedo, 0.2, rtol=0.03)
    import vorn
    table, meadow = ns["table"], ns["meadow"]
    assert dict(table.radiance.sizes) == {"sun_zenith": 2, "lai": 2, "y": 16, "x": 16, "wavelength": 2}
    for z in (20.0, 50.0):
        for lai in (1.0, 3.0):
            here = vorn.render(meadow(z, lai), spp=2)
            np.testing.assert_array_equal(table.radiance.sel(sun_zenith=z, lai=lai), here.radiance)
    assert (tmp_path / "strip.las").stat().st_size > 375 and (tmp_path / "fluxes.nc").exists()


def ground(reflectance):
    import vorn
    import vorn_gpu
    if reflectance > 1:
        raise ValueError("not a reflectance")
    g = vorn_gpu.make_ground_plane(5, 5)
    return vorn.Scene([550.0], {"s": vorn.Lambertian(reflectance)}, {"g": vorn.Mesh(**g, material="s")},
                      [vorn.Instance("g")], sun=vorn.Sun(100.0, zenith=0.0, azimuth=0.0),
                      sensor=vorn.Orthographic(2, 2, extent=(1.0, 1.0), position=(0, 0, 5)))


def test_a_failed_sweep_task_names_its_parameters_and_keeps_the_others():
    distributed = pytest.importorskip("distributed")
    import vorn
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                            dashboard_address=":0") as client:
        with pytest.warns(UserWarning, match=r"\{'reflectance': 2\.0\} failed: ValueError: not a reflectance"):
            ds = vorn.sweep(ground, cases=[{"reflectance": 0.5}, {"reflectance": 2.0}], run=vorn.render,
                            run_kwargs={"spp": 1, "max_depth": 1}, client=client, progress=False)
        assert ds.reflectance.values.tolist() == [0.5, 2.0] and "not a reflectance" in ds.attrs["failures"]
        np.testing.assert_allclose(ds.brf.sel(case=0), 0.5, rtol=1e-6)
        assert np.all(np.isnan(ds.brf.sel(case=1)))
        with pytest.raises(vorn.SweepError, match="1 of the sweep's tasks failed") as err:
            vorn.sweep(ground, grid={"reflectance": [0.25, 3.0]}, run=vorn.render,
                       run_kwargs={"spp": 1, "max_depth": 1}, client=client, errors="raise", progress=False)
        assert err.value.failures[0][0] == {"reflectance": 3.0}
        np.testing.assert_allclose(err.value.result.brf.sel(reflectance=0.25), 0.25, rtol=1e-6)
        assert client.status == "running"  # a given client is left open
        # A task's CPU engines share the machine's cores with the other worker thread.
        share = max(1, len(os.sched_getaffinity(0)) // 2)
        for n, want in ((None, share), (3, 3)):
            ds = vorn.sweep(ground, cases=[{"reflectance": 0.5}], run=engine_threads, client=client,
                            progress=False, num_threads=n)
            assert ds.result.values.tolist() == [want]


def engine_threads(scene):
    import vorn.simulate
    return vorn.simulate._default_threads.get()
