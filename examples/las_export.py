"""Write LiDAR returns of vorn_gpu to a LAS 1.4 file (point format 6).

Usage::

    import vorn_gpu
    from las_export import write_las          # with examples/ on sys.path

    r = vorn_gpu.simulate_lidar_cpu(scene, origins, directions, n)
    write_las("returns.las", r["points"])     # needs `pip install laspy`

Each row of ``points`` is one return: x, y, z, intensity, return number,
number of returns, range, pulse index. In the file:

- X, Y, Z: the position, stored at ``xyz_scale`` (1 mm by default) from an
  offset at the floor of the smallest coordinate;
- intensity: the simulated intensity times ``intensity_scale``, rounded and
  clipped to 0..65535 (LAS intensity is a 16-bit count). By default the
  strongest return maps to 65535; write_las returns the scale it used, so
  counts can be turned back into simulated intensities;
- return_number, number_of_returns: as simulated (LAS 1.4 allows at most 15);
- gps_time: the pulse index, so the returns of one pulse share a time;
- extra dimension ``range`` (float32): the range from the pulse origin in metres.

laspy is an optional dependency: only write_las needs it, las_fields does not.
"""
import numpy as np

LAS_MAX_RETURNS = 15  # 4-bit return fields of point formats 6 to 10


def las_fields(points, intensity_scale=None):
    """LAS point fields (a dict of NumPy arrays) of an (n, 8) array of returns."""
    pts = np.asarray(points, dtype=np.float64)
    if pts.ndim != 2 or pts.shape[1] != 8:
        raise ValueError(f"points must have shape (n, 8), got {pts.shape}")
    returns = pts[:, 4]
    counts = pts[:, 5]
    if pts.shape[0] and (returns.max() > LAS_MAX_RETURNS or counts.max() > LAS_MAX_RETURNS):
        raise ValueError(f"LAS stores at most {LAS_MAX_RETURNS} returns per pulse; "
                         f"simulate with max_returns_per_pulse <= {LAS_MAX_RETURNS}")
    intensity = pts[:, 3]
    if intensity_scale is None:
        peak = intensity.max() if pts.shape[0] else 0.0
        intensity_scale = 65535.0 / peak if peak > 0 else 1.0
    counts_u16 = np.clip(np.rint(intensity * intensity_scale), 0, 65535).astype(np.uint16)
    return {
        "x": pts[:, 0].copy(),
        "y": pts[:, 1].copy(),
        "z": pts[:, 2].copy(),
        "intensity": counts_u16,
        "return_number": returns.astype(np.uint8),
        "number_of_returns": counts.astype(np.uint8),
        "gps_time": pts[:, 7].copy(),
        "range": pts[:, 6].astype(np.float32),
        "intensity_scale": float(intensity_scale),
    }


def write_las(path, points, intensity_scale=None, xyz_scale=0.001):
    """Write the returns to `path` as LAS 1.4, point format 6 (see the module notes)."""
    try:
        import laspy
    except ImportError as e:  # optional dependency
        raise ImportError("LAS export needs laspy: pip install laspy") from e
    f = las_fields(points, intensity_scale)
    header = laspy.LasHeader(point_format=6, version="1.4")
    header.add_extra_dim(laspy.ExtraBytesParams(name="range", type=np.float32,
                                                description="range from pulse origin (m)"))
    xyz = np.stack([f["x"], f["y"], f["z"]], axis=1)
    header.offsets = np.floor(xyz.min(axis=0)) if len(xyz) else np.zeros(3)
    header.scales = np.full(3, xyz_scale)
    las = laspy.LasData(header)
    las.x, las.y, las.z = f["x"], f["y"], f["z"]
    las.intensity = f["intensity"]
    las.return_number = f["return_number"]
    las.number_of_returns = f["number_of_returns"]
    las.gps_time = f["gps_time"]
    las.range = f["range"]
    las.write(path)
    return f["intensity_scale"]
