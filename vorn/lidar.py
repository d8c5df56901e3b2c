"""LiDAR acquisitions: pulse generators for an airborne line scanner (ALS), a
drone scanner and a terrestrial spherical scanner (TLS), ground/vegetation
classification of returns, and LAS 1.4 export (extra `lidar`: laspy).

Angles are in degrees, azimuths clockwise from north (+y); GPS times in seconds.
The scan angle of a line scanner is the angle of the pulse from nadir across
the flight direction, positive to the right of the aircraft (as LAS counts
it); that of a TLS is the pulse's elevation above the horizon.
"""
from __future__ import annotations

import dataclasses

import numpy as np

from ._extras import require

LAS_MAX_RETURNS = 15  # 4-bit return fields of point formats 6 to 10
UNCLASSIFIED, GROUND, LOW_VEGETATION, MEDIUM_VEGETATION, HIGH_VEGETATION, LOW_NOISE = 1, 2, 3, 4, 5, 7


@dataclasses.dataclass
class Pulses:
    """One acquisition: per pulse its origin and unit direction (n, 3), GPS time,
    scan angle (degrees) and scan/flight line number."""
    origins: np.ndarray
    directions: np.ndarray
    gps_time: np.ndarray
    scan_angle: np.ndarray
    line: np.ndarray

    def __len__(self) -> int:
        return len(self.origins)

    def __getitem__(self, index) -> "Pulses":
        return Pulses(*(np.asarray(getattr(self, f.name))[index] for f in dataclasses.fields(self)))


def flight_lines(xmin, ymin, xmax, ymax, spacing, heading="north") -> list:
    """Parallel lines covering the box, `spacing` metres apart, flown back and
    forth (heading "north": lines along y; "east": along x)."""
    if spacing <= 0:
        raise ValueError("spacing must be positive")
    along_y = heading == "north"
    if heading not in ("north", "east"):
        raise ValueError("heading must be 'north' or 'east'")
    lo, hi = (xmin, xmax) if along_y else (ymin, ymax)
    offsets = np.arange(lo + spacing / 2, hi, spacing) if hi - lo > spacing else [(lo + hi) / 2]
    lines = []
    for k, c in enumerate(offsets):
        a, b = ((c, ymin), (c, ymax)) if along_y else ((xmin, c), (xmax, c))
        lines.append((a, b) if k % 2 == 0 else (b, a))
    return lines


def _line_scanner(lines, altitude, speed, pulse_rate, scan_rate, scan_angle, sawtooth, tilt,
                  start_time, turn_time) -> Pulses:
    if speed <= 0 or pulse_rate <= 0 or scan_rate <= 0:
        raise ValueError("speed, pulse_rate and scan_rate must be positive")
    if not 0 <= scan_angle < 90:
        raise ValueError("scan_angle (half the field of view) must lie in [0, 90) degrees")
    parts, t0 = [], float(start_time)
    for k, (a, b) in enumerate(lines):
        a, b = np.asarray(a, np.float64)[:2], np.asarray(b, np.float64)[:2]
        length = float(np.linalg.norm(b - a))
        if length <= 0:
            raise ValueError(f"flight line {k} has no length")
        u = (b - a) / length
        t = np.arange(int(length / speed * pulse_rate) + 1) / pulse_rate
        phase = (t * scan_rate) % 1.0
        # oscillating mirror: a triangle wave across the swath; rotating polygon: a sawtooth
        swing = 2.0 * phase - 1.0 if sawtooth else 1.0 - 4.0 * np.abs(phase - 0.5)
        theta = np.radians(scan_angle) * swing
        beta = np.radians(tilt)
        along = np.array([u[0], u[1], 0.0])
        across = np.array([u[1], -u[0], 0.0])  # right of the flight direction
        down = np.sin(beta) * along - np.cos(beta) * np.array([0.0, 0.0, 1.0])
        d = np.sin(theta)[:, None] * across + np.cos(theta)[:, None] * down
        xy = a + np.outer(t * speed, u)
        o = np.column_stack([xy, np.full(len(t), float(altitude))])
        parts.append((o, d, t0 + t, np.degrees(theta), np.full(len(t), k)))
        t0 += length / speed + turn_time
    if not parts:
        raise ValueError("no flight lines")
    return Pulses(*(np.concatenate(c) for c in zip(*parts)))


def als(lines, altitude=500.0, speed=60.0, pulse_rate=100_000.0, scan_rate=50.0, scan_angle=20.0,
        start_time=0.0, turn_time=60.0) -> Pulses:
    """Airborne line scanner with an oscillating mirror: flies each line of
    `lines` (pairs of (x, y) ends) at `altitude` (m, absolute) and `speed`
    (m/s), firing `pulse_rate` pulses per second while the mirror swings
    ±`scan_angle` degrees across track `scan_rate` times per second. The
    lines follow each other after `turn_time` seconds."""
    return _line_scanner(lines, altitude, speed, pulse_rate, scan_rate, scan_angle, False, 0.0,
                         start_time, turn_time)


def drone(lines, altitude=60.0, speed=8.0, pulse_rate=240_000.0, scan_rate=100.0, scan_angle=45.0,
          tilt=0.0, start_time=0.0, turn_time=10.0) -> Pulses:
    """Drone scanner with a rotating mirror: low and slow, sweeping
    −`scan_angle` to +`scan_angle` in one direction `scan_rate` times per
    second (a sawtooth), the scan plane tilted `tilt` degrees forward."""
    return _line_scanner(lines, altitude, speed, pulse_rate, scan_rate, scan_angle, True, tilt,
                         start_time, turn_time)


def tls(position, azimuth_step=0.1, zenith_step=0.1, zenith_range=(30.0, 130.0),
        azimuth_range=(0.0, 360.0), pulse_rate=100_000.0, start_time=0.0) -> Pulses:
    """Terrestrial spherical scanner at `position`: the head turns through
    `azimuth_range` in `azimuth_step` degrees; at each step the mirror sweeps
    the zenith angles of `zenith_range` (inclusive) in `zenith_step` degrees."""
    if azimuth_step <= 0 or zenith_step <= 0 or pulse_rate <= 0:
        raise ValueError("angular steps and pulse_rate must be positive")
    az = np.arange(azimuth_range[0], azimuth_range[1] - 1e-9, azimuth_step)
    ze = np.arange(zenith_range[0], zenith_range[1] + 1e-9, zenith_step)
    if len(az) == 0 or len(ze) == 0:
        raise ValueError("the angular ranges hold no step")
    a, z = np.radians(np.repeat(az, len(ze))), np.radians(np.tile(ze, len(az)))
    d = np.column_stack([np.sin(z) * np.sin(a), np.sin(z) * np.cos(a), np.cos(z)])
    n = len(d)
    o = np.tile(np.asarray(position, np.float64), (n, 1))
    return Pulses(o, d, start_time + np.arange(n) / pulse_rate, 90.0 - np.degrees(z),
                  np.repeat(np.arange(len(az)), len(ze)))


# ---- classification ---------------------------------------------------------

def ground_height(scene, xy) -> np.ndarray:
    """Height of the scene's terrain instances (those with terrain=True) under
    each (x, y), NaN where none lies below; found by casting vertical rays at
    the terrain alone on the CPU backend."""
    from .scene import Scene
    xy = np.asarray(xy, np.float64).reshape(-1, 2)
    compiled = scene.compile()
    terrain = compiled.terrain_instances
    out = np.full(len(xy), np.nan)
    if not terrain or len(xy) == 0:
        return out
    ground = Scene(scene.bands, scene.materials, scene.meshes,
                   [scene.instances[i] for i in terrain])
    lo, hi = ground.bounds()
    native = ground.build("cpu")
    import vorn_gpu
    top = hi[2] + 1.0
    origins = np.column_stack([xy, np.full(len(xy), top)]).astype(np.float32)
    dirs = np.tile(np.float32([0.0, 0.0, -1.0]), (len(xy), 1))
    r = vorn_gpu.simulate_lidar_cpu(native, origins.ravel(), dirs.ravel(), len(xy),
                                    max_range=float(top - lo[2] + 1.0), direct_mode=True)
    pts = r["points"]
    out[pts[:, 7].astype(np.int64)] = pts[:, 2]
    return out


def classify(z, ground_z, tolerance=0.3, vegetation_heights=(0.5, 2.0)) -> np.ndarray:
    """LAS classes from heights: ground (2) within `tolerance` of the terrain
    height `ground_z`, low noise (7) further below it, vegetation above it:
    low (3), medium (4) and high (5) split at `vegetation_heights` metres;
    unclassified (1) where the terrain height is unknown (NaN)."""
    z, g = np.asarray(z, np.float64), np.asarray(ground_z, np.float64)
    h = z - g
    cls = np.full(np.broadcast(z, g).shape, UNCLASSIFIED, np.uint8)
    known = np.isfinite(h)
    hk = np.where(known, h, 0.0)
    low, mid = vegetation_heights
    cls[known & (hk > tolerance)] = HIGH_VEGETATION
    cls[known & (hk > tolerance) & (hk < mid)] = MEDIUM_VEGETATION
    cls[known & (hk > tolerance) & (hk < low)] = LOW_VEGETATION
    cls[known & (np.abs(hk) <= tolerance)] = GROUND
    cls[known & (hk < -tolerance)] = LOW_NOISE
    return cls


# ---- LAS -----------------------------------------------------------------------

def _fields(points, gps_time, scan_angle, classification, line):
    if hasattr(points, "data_vars"):  # a dataset from vorn.scan
        get = lambda k: np.asarray(points[k].values)  # noqa: E731
        pts = np.column_stack([get(k) for k in ("x", "y", "z", "intensity", "return_number",
                                                 "number_of_returns", "range", "pulse_index")])
        gps_time, scan_angle = get("gps_time"), get("scan_angle")
        classification, line = get("classification"), get("line")
    else:
        pts = np.asarray(points, np.float64)
        if pts.ndim != 2 or pts.shape[1] != 8:
            raise ValueError(f"points must have shape (n, 8), got {pts.shape}")
    n = len(pts)
    fill = lambda v, d: np.zeros(n) + d if v is None else np.asarray(v)  # noqa: E731
    return (pts.astype(np.float64), fill(gps_time, pts[:, 7]), fill(scan_angle, 0.0),
            fill(classification, UNCLASSIFIED), fill(line, 0))


def to_las(path, points, intensity_scale=None, xyz_scale=0.001, gps_time=None, scan_angle=None,
           classification=None, line=None) -> float:
    """Writes returns to `path` as LAS 1.4 (point format 6) and returns the
    intensity scale used. `points` is the dataset of vorn.scan, or an (n, 8)
    array of engine returns (x, y, z, intensity, return number, number of
    returns, range, pulse) with optional per-return `gps_time` (default: the
    pulse index), `scan_angle` (degrees), `classification` and `line`.

    Intensity: the simulated value times `intensity_scale`, rounded into LAS's
    16 bits; by default the strongest return maps to 65535. The simulated
    intensity, the range and the pulse index are kept as extra dimensions
    ("simulated_intensity", "range", "pulse"); the flight line goes to
    point_source_id; coordinates are stored at `xyz_scale` metres."""
    laspy = require("laspy", "lidar", "LAS export")
    pts, gps, angle, cls, src = _fields(points, gps_time, scan_angle, classification, line)
    if len(pts) and (pts[:, 4].max() > LAS_MAX_RETURNS or pts[:, 5].max() > LAS_MAX_RETURNS):
        raise ValueError(f"LAS stores at most {LAS_MAX_RETURNS} returns per pulse; simulate "
                         f"with max_returns <= {LAS_MAX_RETURNS}")
    intensity = pts[:, 3]
    if intensity_scale is None:
        peak = intensity.max() if len(pts) else 0.0
        intensity_scale = 65535.0 / peak if peak > 0 else 1.0
    header = laspy.LasHeader(point_format=6, version="1.4")
    header.add_extra_dims([
        laspy.ExtraBytesParams("simulated_intensity", np.float32, description="engine intensity"),
        laspy.ExtraBytesParams("range", np.float32, description="range from pulse origin (m)"),
        laspy.ExtraBytesParams("pulse", np.uint32, description="pulse index")])
    header.offsets = np.floor(pts[:, :3].min(axis=0)) if len(pts) else np.zeros(3)
    header.scales = np.full(3, xyz_scale)
    las = laspy.LasData(header)
    las.x, las.y, las.z = pts[:, 0], pts[:, 1], pts[:, 2]
    las.intensity = np.clip(np.rint(intensity * intensity_scale), 0, 65535).astype(np.uint16)
    las.return_number = pts[:, 4].astype(np.uint8)
    las.number_of_returns = pts[:, 5].astype(np.uint8)
    las.gps_time = gps.astype(np.float64)
    las.scan_angle = np.clip(np.rint(angle / 0.006), -30000, 30000).astype(np.int16)
    las.classification = cls.astype(np.uint8)
    las.point_source_id = src.astype(np.uint16)
    las.simulated_intensity = intensity.astype(np.float32)
    las.range = pts[:, 6].astype(np.float32)
    las.pulse = pts[:, 7].astype(np.uint32)
    las.write(str(path))
    return float(intensity_scale)
