"""Simulations of a vorn.Scene on either backend, returned as labelled xarray
datasets (extra `io`): coordinates in metres, degrees and nanometres, units and
the scene and call parameters as attributes.

Normalisation. Let E↓(λ) = E_sun(λ)·cos θ_sun + ∫ L_sky(λ, ω) cos θ dω be the
down-welling irradiance on a horizontal plane (sun and sky).

- render: "radiance" is the engine's band radiance (W m⁻² sr⁻¹ nm⁻¹ when the
  sun is given in W m⁻² nm⁻¹); "brf" = π·radiance / E↓, the reflectance factor
  of each pixel (left out in thermal mode).
- absorb: the engine's tallies are energies per band over the tile W × H
  (W nm⁻¹): "absorbed" per grid cell, "brf_tally" per view, "escaped" upwards,
  "terrain_absorbed", "triangle_absorbed". Normalised: "fabs" = absorbed /
  (E↓·dx·dy), the fraction of the light falling on the cell's footprint that the
  cell absorbs (summed over z: the column's fAPAR); "brf" = π·brf_tally /
  (E↓·W·H·cos θ_view); "albedo" = escaped / (E↓·W·H); "terrain_fabs" =
  terrain_absorbed / (E↓·W·H); "triangle_flux" = triangle_absorbed / area.
"""
from __future__ import annotations

import contextlib
import contextvars
import math

import numpy as np

from ._extras import require
from .scene import ORTHOGRAPHIC, PERSPECTIVE, Scene, angles, direction


def _xr():
    return require("xarray", "io", "Labelled results")


# Engine threads of the CPU backend when a call names none (None: every core);
# vorn.sweep sets it in its tasks so that tasks sharing a machine share its cores.
_default_threads: contextvars.ContextVar = contextvars.ContextVar("vorn_threads", default=None)


@contextlib.contextmanager
def engine_threads(num_threads):
    """Within the block, CPU simulations that are given no num_threads use
    `num_threads` worker threads (None: every core)."""
    token = _default_threads.set(num_threads)
    try:
        yield
    finally:
        _default_threads.reset(token)


class CpuBackend:
    """The Embree backend (always present). `num_threads`: the engines' worker
    threads (None: every core, or what engine_threads set)."""
    name = "cpu"

    def __init__(self, num_threads=None):
        self.num_threads = num_threads

    def _threads(self):
        n = self.num_threads if self.num_threads is not None else _default_threads.get()
        return {} if n is None else {"num_threads": int(n)}

    def build(self, scene):
        return scene.build("cpu")

    def render(self, native, **kw):
        import vorn_gpu
        return vorn_gpu.simulate_cpu(native, **kw, **self._threads())

    def forward(self, native, **kw):
        import vorn_gpu
        return vorn_gpu.simulate_forward_cpu(native, **kw, **self._threads())

    def lidar(self, native, *args, **kw):
        import vorn_gpu
        return vorn_gpu.simulate_lidar_cpu(native, *args, **kw, **self._threads())


class GpuBackend:
    """The OptiX backend on one device: the context and the simulator (which
    loads the device programs from `ptx_dir`, default vorn_gpu.PTX_DIR) are
    created on first use and kept, so reuse one GpuBackend for many runs."""
    name = "gpu"

    def __init__(self, context=None, device: int = 0, ptx_dir=None):
        self._context, self.device, self.ptx_dir, self._simulator = context, device, ptx_dir, None

    @property
    def context(self):
        if self._context is None:
            import vorn_gpu
            self._context = vorn_gpu.OptiXContext(self.device)
        return self._context

    @property
    def simulator(self):
        if self._simulator is None:
            import vorn_gpu
            ptx = self.ptx_dir or vorn_gpu.PTX_DIR
            if ptx is None or not hasattr(vorn_gpu, "Simulator"):
                raise RuntimeError("this vorn_gpu was built without the GPU backend "
                                   "(no device programs)")
            self._simulator = vorn_gpu.Simulator(self.context, ptx)
        return self._simulator

    def build(self, scene):
        return scene.build("gpu", self.context)

    def render(self, native, **kw):
        return self.simulator.simulate(native, **kw)

    def forward(self, native, **kw):
        return self.simulator.simulate_forward(native, **kw)

    def lidar(self, native, *args, **kw):
        return self.simulator.simulate_lidar(native, *args, **kw)


def backend_of(backend):
    """"cpu", "gpu" (device 0) or a backend object (CpuBackend, GpuBackend)."""
    if backend == "cpu":
        return CpuBackend()
    if backend == "gpu":
        return GpuBackend()
    if all(hasattr(backend, k) for k in ("build", "render", "forward", "lidar")):
        return backend
    raise ValueError(f"backend must be 'cpu', 'gpu' or a backend object, got {backend!r}")


def _progress(progress, label):
    """(what the engine reports to, or None; bar to close or None). True makes a
    tqdm bar, which the engines fill themselves."""
    if progress is True:
        bar = require("tqdm", "sweep", "Progress bars").tqdm(desc=label, leave=False)
        return bar, bar
    return (progress or None), None


def _run(scene: Scene, backend, call):
    """Builds the scene on the backend and runs call(backend, native); the native
    scene is released before the backend (whose GPU context it uses)."""
    be = backend_of(backend)
    native = be.build(scene)
    try:
        return call(be, native)
    finally:
        del native


def _attrs(scene: Scene, compiled, backend, **params):
    zen, azi = angles(compiled.sun_direction)
    attrs = {"scene": scene.to_json(), "backend": getattr(backend_of(backend), "name", "custom"),
             "sun_zenith": zen, "sun_azimuth": azi, "thermal": int(compiled.thermal)}
    attrs.update({k: (int(v) if isinstance(v, bool) else v) for k, v in params.items()
                  if v is not None})
    return attrs


def _wavelength(compiled):
    return ("wavelength", compiled.bands, {"units": "nm", "long_name": "band centre wavelength"})


def _image_coords(sensor):
    """Coordinates of the pixel centres: rows from the bottom of the view up."""
    w, h, ty = sensor["width"], sensor["height"], sensor["type"]
    u = (np.arange(w) + 0.5) / w - 0.5
    v = (np.arange(h) + 0.5) / h - 0.5
    cam = sensor["cam_xform"].astype(np.float64).reshape(4, 4)
    if ty == ORTHOGRAPHIC:
        # world position of the pixel centre along the camera's (unit) x and y axes
        coords = {}
        for name, t, size, col in (("x", u, sensor["ortho_w"], 0), ("y", v, sensor["ortho_h"], 1)):
            axis = cam[:3, col]
            n = np.linalg.norm(axis)
            coords[name] = (name, cam[:3, 3] @ axis / n + t * size * n,
                            {"units": "m", "long_name": f"position along the camera {name} axis"})
        return coords, {}
    if ty == PERSPECTIVE:
        tau = math.tan(math.radians(sensor["fov"]) / 2)
        return {"x": ("x", np.degrees(np.arctan(2 * u * tau * w / h)), {"units": "degree"}),
                "y": ("y", np.degrees(np.arctan(2 * v * tau)), {"units": "degree"})}, {}
    # fisheye: normalised image coordinates and, per pixel, the angles of view
    uu, vv = np.meshgrid(u, v)
    r, half = np.hypot(uu, vv), math.radians(sensor["fov"]) / 2
    with np.errstate(invalid="ignore"):
        theta = [2 * np.arcsin(2 * r * math.sin(half / 2)), 2 * r * half,
                 np.arcsin(2 * r * math.sin(half)),
                 2 * np.arctan(2 * r * math.tan(half / 2))][min(sensor["projection_type"], 3)]
    theta = np.where(theta <= half, theta, np.nan)
    return ({"x": ("x", u, {"units": "1"}), "y": ("y", v, {"units": "1"})},
            {"view_zenith": (("y", "x"), np.degrees(theta),
                             {"units": "degree", "long_name": "angle from the camera axis"}),
             "view_azimuth": (("y", "x"), np.degrees(np.arctan2(vv, uu)) % 360.0,
                              {"units": "degree", "long_name": "angle in the image plane "
                                                               "from the image x axis"})})


def render(scene: Scene, spp: int = 16, max_depth: int = 16, backend="cpu", progress=None):
    """Radiance image of the scene's sensor: an xarray Dataset with "radiance"
    (y, x, wavelength) and, outside thermal mode, "brf" (π·radiance / E↓).
    y runs from the bottom of the view up. `progress`: None, a callable
    (done, total, ms), a tqdm bar or True for a new progress bar."""
    xr = _xr()
    compiled = scene.compile()
    if compiled.sensor is None:
        raise ValueError("render needs a scene with a sensor")
    report, bar = _progress(progress, "render")
    try:
        image = _run(scene, backend, lambda be, native: be.render(
            native, spp=spp, max_depth=max_depth, progress=report))
    finally:
        if bar is not None:
            bar.close()
    coords, extra = _image_coords(compiled.sensor)
    coords["wavelength"] = _wavelength(compiled)
    coords.update(extra)
    data = {"radiance": (("y", "x", "wavelength"), image,
                         {"units": "W m-2 sr-1 nm-1", "long_name": "band radiance"})}
    e_down = compiled.incident()
    if not compiled.thermal and np.any(e_down > 0):
        with np.errstate(divide="ignore", invalid="ignore"):
            brf = np.where(e_down > 0, math.pi * image / e_down, np.nan).astype(np.float32)
        data["brf"] = (("y", "x", "wavelength"), brf,
                       {"units": "1", "long_name": "reflectance factor, pi * radiance / E_down"})
    attrs = _attrs(scene, compiled, backend, spp=spp, max_depth=max_depth,
                   sensor=type(scene.sensor).__name__)
    return xr.Dataset(data, coords=coords, attrs=attrs)


def absorb(scene: Scene, nx: int = 1, ny: int = 1, layers=None, photons: int = 1_000_000,
           views=((0.0, 0.0),), per_triangle: bool = False, terrain=None, prob_sun=None,
           max_depth: int = 16, backend="cpu", progress=None):
    """Forward photon tracing: absorbed radiation in an nx × ny grid of columns
    over the tile, split at the heights `layers` (default: 10 equal layers from
    the scene's bottom to its top), BRF towards `views` ((zenith, azimuth)
    pairs in degrees) and albedo; per triangle when `per_triangle`; in the
    terrain instance (`terrain`: an instance id; by default the one instance
    marked terrain=True). The tile is the scene's periodic tile, else the
    footprint of its orthographic sensor; photons enter over [0, W) × [0, H).
    `prob_sun` is the share of sun photons when a sky is set, in (0, 1)
    (default: the sun's share of E↓); without a sky every photon is a sun
    photon and it is not used. See the module notes for the normalisation."""
    xr = _xr()
    compiled = scene.compile()
    ext = compiled.extent()
    if ext is None:
        raise ValueError("absorb needs a periodic tile or an orthographic sensor to set the "
                         "tile the photons enter")
    w_tile, h_tile = ext
    lo, hi = scene.bounds()
    if layers is None:
        layers = np.linspace(lo[2], max(hi[2], lo[2] + 1e-3), 11)
    layers = np.asarray(layers, np.float64)
    if layers.ndim != 1 or layers.size < 2 or np.any(np.diff(layers) <= 0):
        raise ValueError("layers must be at least two increasing heights")
    if nx < 1 or ny < 1 or photons < 1:
        raise ValueError("nx, ny and photons must be at least 1")
    views = np.asarray(views, np.float64).reshape(-1, 2)
    if len(views) == 0 or np.any(views[:, 0] < 0) or np.any(views[:, 0] >= 90):
        raise ValueError("views need at least one (zenith, azimuth) with zenith in [0, 90)")
    dirs = np.array([direction(z, a) for z, a in views])
    e_sun = compiled.sun_irradiance * max(float(compiled.sun_direction[2]), 0.0)
    e_down = compiled.incident()
    if prob_sun is not None and not 0.0 <= prob_sun <= 1.0:
        raise ValueError("prob_sun must lie in [0, 1]")
    if compiled.sky_kind is None:
        prob_sun = 1.0 if prob_sun is None else prob_sun  # not used: every photon is a sun photon
    elif prob_sun is None:
        total = float(e_down.sum())
        prob_sun = min(max(float(e_sun.sum()) / total if total > 0 else 0.5, 0.05), 0.95)
    elif not 0.0 < prob_sun < 1.0:
        raise ValueError("with a sky, prob_sun must lie in (0, 1)")
    if terrain is None:
        t = compiled.terrain_instances
        terrain = t[0] if len(t) == 1 else -1
    elif terrain is False:
        terrain = -1
    elif not 0 <= terrain < len(compiled.instances):
        raise ValueError(f"terrain must name one of the {len(compiled.instances)} instances")
    report, bar = _progress(progress, "photons")

    def call(be, native):
        native.set_measurement_plane(native.max_height())
        return be.forward(native, nx=nx, ny=ny, layer_heights=layers.astype(np.float32),
                          num_photons=photons, num_bands=compiled.nb, per_leaf=per_triangle,
                          brf_directions=dirs.astype(np.float32).ravel(),
                          num_brf_dirs=len(dirs), prob_sun=prob_sun, max_depth=max_depth,
                          terrain_instance_id=terrain, progress=report)
    try:
        r = _run(scene, backend, call)
    finally:
        if bar is not None:
            bar.close()

    dx, dy = w_tile / nx, h_tile / ny
    incident_tile = e_down * w_tile * h_tile
    with np.errstate(divide="ignore", invalid="ignore"):
        norm = lambda a, d: np.where(d > 0, a / d, np.nan)  # noqa: E731
        wl = ("wavelength",)
        data = {
            "absorbed": (("z", "y", "x") + wl, r["grid"],
                         {"units": "W nm-1", "long_name": "absorbed energy per cell"}),
            "fabs": (("z", "y", "x") + wl, norm(r["grid"], e_down * dx * dy),
                     {"units": "1", "long_name": "absorbed / (E_down dx dy)"}),
            "incident": (wl, e_down, {"units": "W m-2 nm-1",
                                      "long_name": "down-welling irradiance E_down"}),
        }
        if "brf" in r:
            data["brf_tally"] = (("view",) + wl, r["brf"], {"units": "W nm-1"})
            data["brf"] = (("view",) + wl, norm(math.pi * r["brf"],
                                                incident_tile * dirs[:, 2:3]), {"units": "1"})
            data["escaped"] = (wl, r["albedo"], {"units": "W nm-1",
                                                 "long_name": "energy escaping upwards"})
            data["albedo"] = (wl, norm(r["albedo"], incident_tile), {"units": "1"})
        if "terrain" in r:
            data["terrain_absorbed"] = (wl, r["terrain"], {"units": "W nm-1"})
            data["terrain_fabs"] = (wl, norm(r["terrain"], incident_tile), {"units": "1"})
        coords = {
            "x": ("x", (np.arange(nx) + 0.5) * dx, {"units": "m", "long_name": "cell centre"}),
            "y": ("y", (np.arange(ny) + 0.5) * dy, {"units": "m", "long_name": "cell centre"}),
            "z": ("z", 0.5 * (layers[:-1] + layers[1:]), {"units": "m"}),
            "z_bottom": ("z", layers[:-1], {"units": "m"}),
            "z_top": ("z", layers[1:], {"units": "m"}),
            "wavelength": _wavelength(compiled),
            "view_zenith": ("view", views[:, 0], {"units": "degree"}),
            "view_azimuth": ("view", views[:, 1], {"units": "degree"}),
        }
        if "leaf" in r:
            area = scene.triangle_areas()
            counts = [len(compiled.meshes[m][2]) for m, _, _ in compiled.instances]
            data["triangle_absorbed"] = (("triangle",) + wl, r["leaf"], {"units": "W nm-1"})
            data["triangle_flux"] = (("triangle",) + wl, norm(r["leaf"], area[:, None]),
                                     {"units": "W m-2 nm-1",
                                      "long_name": "absorbed per unit (one-sided) area"})
            coords["triangle_area"] = ("triangle", area, {"units": "m2"})
            coords["instance"] = ("triangle", np.repeat(np.arange(len(counts)), counts))
    attrs = _attrs(scene, compiled, backend, photons=photons, prob_sun=prob_sun,
                   max_depth=max_depth, tile_width=w_tile, tile_height=h_tile,
                   terrain_instance=terrain)
    return xr.Dataset(data, coords=coords, attrs=attrs)


def _range_window(scene, origins, directions):
    """Nearest entry and farthest exit of the pulses into the scene's box (m)."""
    lo, hi = scene.bounds()
    lo, hi = lo - 0.5, hi + 0.5
    with np.errstate(divide="ignore", invalid="ignore"):
        t1, t2 = (lo - origins) / directions, (hi - origins) / directions
    inf = dict(posinf=np.inf, neginf=-np.inf)
    near = np.nan_to_num(np.fmin(t1, t2), nan=-np.inf, **inf).max(axis=1)
    far = np.nan_to_num(np.fmax(t1, t2), nan=np.inf, **inf).min(axis=1)
    hit = (far >= np.maximum(near, 0)) & np.isfinite(far)
    if not hit.any():
        return 0.0, 1.0
    return float(max(near[hit].min(), 0.0)), float(far[hit].max())


def scan(scene: Scene, pulses, mode: str = "waveform", beam_half_angle: float = 0.0005,
         beam_samples: int = 10, pulse_energy: float = 1.0, sensor_area: float = 0.1,
         range_resolution: float = 0.15, min_range=None, max_range=None, pulse_fwhm: float = 4.0,
         peak_threshold: float = 1e-8, max_returns: int = 5, ground_tolerance=None,
         backend="cpu", progress=None):
    """LiDAR: fires `pulses` (a vorn.lidar.Pulses, or (origins, directions))
    at the scene and returns a Dataset of returns along "point" (x, y, z,
    intensity, return_number, number_of_returns, range, pulse, gps_time,
    scan_angle, line, classification) and, in waveform mode, "waveform"
    (pulse, bin, wavelength). The range window defaults to where the pulses
    cross the scene's box. Classification: ground (2) for returns within
    `ground_tolerance` (default: twice the range resolution in waveform mode,
    2 cm in direct mode) of the terrain instances' height under them,
    vegetation (3, 4, 5) above; unclassified (1) without terrain.
    `progress`: None, a callable (pulses done, total, ms), a tqdm bar or True
    for a new progress bar."""
    from . import lidar
    xr = _xr()
    if not isinstance(pulses, lidar.Pulses):
        o, d = (np.asarray(a, np.float64).reshape(-1, 3) for a in pulses)
        n = len(o)
        pulses = lidar.Pulses(o, d, np.arange(n, dtype=np.float64), np.zeros(n), np.zeros(n, int))
    if mode not in ("waveform", "direct"):
        raise ValueError("mode must be 'waveform' or 'direct'")
    o = np.asarray(pulses.origins, np.float64)
    d = np.asarray(pulses.directions, np.float64)
    if o.shape != d.shape or o.ndim != 2 or o.shape[1] != 3:
        raise ValueError("pulse origins and directions must both have shape (n, 3)")
    norms = np.linalg.norm(d, axis=1)
    if np.any(norms <= 0) or not np.all(np.isfinite(o)):
        raise ValueError("pulse directions must be non-zero and origins finite")
    d = d / norms[:, None]
    if range_resolution <= 0 or pulse_fwhm <= 0 or beam_samples < 1 or not 1 <= max_returns <= 255:
        raise ValueError("range_resolution and pulse_fwhm must be positive, beam_samples >= 1, "
                         "max_returns in [1, 255]")
    compiled = scene.compile()
    auto = _range_window(scene, o, d)
    min_range = auto[0] if min_range is None else float(min_range)
    max_range = auto[1] if max_range is None else float(max_range)
    if not max_range > min_range:
        raise ValueError(f"max_range ({max_range}) must exceed min_range ({min_range})")
    bins = int((max_range - min_range) / range_resolution) + 1
    if mode == "waveform" and len(o) * bins * compiled.nb > 2**31 - 1:
        raise ValueError(f"the waveforms would hold {len(o) * bins * compiled.nb} values; narrow "
                         f"the range window, fire fewer pulses or use mode='direct'")
    report, bar = _progress(progress, "pulses")
    extra = {} if report is None else {"progress": report}
    try:
        r = _run(scene, backend, lambda be, native: be.lidar(
            native, o.astype(np.float32).ravel(), d.astype(np.float32).ravel(), len(o),
            beam_half_angle_rad=beam_half_angle, beam_samples_per_dim=beam_samples,
            pulse_energy=pulse_energy, sensor_area=sensor_area,
            range_resolution=range_resolution, min_range=min_range, max_range=max_range,
            num_wavelengths=compiled.nb, pulse_fwhm_ns=pulse_fwhm,
            peak_threshold=peak_threshold, max_returns_per_pulse=max_returns,
            direct_mode=mode == "direct", **extra))
    finally:
        if bar is not None:
            bar.close()
    pts = r["points"]
    p = pts[:, 7].astype(np.int64)
    if ground_tolerance is None:
        ground_tolerance = 2 * range_resolution if mode == "waveform" else 0.02
    cls = lidar.classify(pts[:, 2], lidar.ground_height(scene, pts[:, :2]), ground_tolerance)
    pt = ("point",)
    data = {
        "x": (pt, pts[:, 0], {"units": "m"}), "y": (pt, pts[:, 1], {"units": "m"}),
        "z": (pt, pts[:, 2], {"units": "m"}),
        "intensity": (pt, pts[:, 3], {"units": "same as pulse_energy"}),
        "return_number": (pt, pts[:, 4].astype(np.uint8)),
        "number_of_returns": (pt, pts[:, 5].astype(np.uint8)),
        "range": (pt, pts[:, 6], {"units": "m"}), "pulse_index": (pt, p),
        "gps_time": (pt, np.asarray(pulses.gps_time, np.float64)[p], {"units": "s"}),
        "scan_angle": (pt, np.asarray(pulses.scan_angle, np.float64)[p], {"units": "degree"}),
        "line": (pt, np.asarray(pulses.line)[p].astype(np.int64)),
        "classification": (pt, cls, {"long_name": "LAS class: 1 unclassified, 2 ground, "
                                                  "3/4/5 low/medium/high vegetation, 7 low noise"}),
    }
    coords = {"wavelength": _wavelength(compiled)}
    if mode == "waveform":
        data["waveform"] = (("pulse", "bin", "wavelength"), r["waveform"],
                            {"long_name": "smoothed return waveform"})
        coords["bin_range"] = ("bin", min_range + (np.arange(r["num_bins"]) + 0.5) * range_resolution,
                               {"units": "m"})
    attrs = _attrs(scene, compiled, backend, mode=mode, pulses=len(o),
                   beam_half_angle=beam_half_angle, beam_samples=beam_samples,
                   pulse_energy=pulse_energy, sensor_area=sensor_area,
                   range_resolution=range_resolution, min_range=min_range, max_range=max_range,
                   pulse_fwhm=pulse_fwhm, peak_threshold=peak_threshold, max_returns=max_returns,
                   ground_tolerance=ground_tolerance)
    return xr.Dataset(data, coords=coords, attrs=attrs)
