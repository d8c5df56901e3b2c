"""VORN demo: builds a procedural canopy and simulates it on the CPU backend.

    python examples/demo_canopy.py --out out

Writes its outputs (images, profiles, point clouds) into the output folder.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import vorn  # noqa: E402
import vorn_gpu  # noqa: E402

from canopy import BANDS_NM, build_canopy  # noqa: E402
from fpar_profile import format_profile, fpar_profile, plot_profile  # noqa: E402
from png import write_png  # noqa: E402


def false_colour(image, channels=(2, 1, 0), percentile=99.0, gamma=2.2):
    """8-bit RGB from three bands of a radiance image (height, width, bands):
    each channel scaled so its `percentile` maps to white, then gamma-encoded.
    Rows stay in the engine's order (row 0 at the bottom of the view)."""
    rgb = np.stack([image[..., c] for c in channels], axis=-1).astype(np.float64)
    white = np.percentile(rgb.reshape(-1, 3), percentile, axis=0)
    rgb = np.clip(rgb / np.where(white > 0, white, 1.0), 0.0, 1.0) ** (1.0 / gamma)
    return (rgb * 255.0 + 0.5).astype(np.uint8)


def render_false_colour(scene, path, size, width=256, height=256, spp=16, max_depth=8,
                        channels=(2, 1, 0), progress=None):
    """Renders the built canopy `scene` from straight above its [0, size]^2 tile
    with an orthographic camera on the CPU backend and writes a false-colour PNG
    (by default near infrared, red, blue as red, green, blue). Returns the
    radiance image (height, width, bands)."""
    top = scene.max_height() + 5.0
    cam = np.array([1, 0, 0, size / 2, 0, 1, 0, size / 2, 0, 0, 1, top, 0, 0, 0, 1],
                   dtype=np.float32)
    scene.set_sensor(0, width, height, size, size * height / width, cam)
    image = vorn_gpu.simulate_cpu(scene, spp=spp, max_depth=max_depth, progress=progress)
    write_png(path, false_colour(image, channels), origin="lower")
    return image


def lidar_scan(scene, size, spacing=0.25, altitude=40.0, off_nadir_deg=5.0):
    """Scans the tile from above on a regular grid of pulses (waveform mode, a
    0.5 mrad beam of 81 sub-rays, 0.15 m range bins) and returns the result of
    simulate_lidar_cpu. Pulses tilt `off_nadir_deg` across track, alternately
    east and west, and start offset against their tilt so that each one meets
    the ground at its grid point: every pulse stays over the tile."""
    xs = np.arange(spacing / 2, size, spacing, dtype=np.float64)
    gx, gy = np.meshgrid(xs, xs)
    n = gx.size
    tilt = np.radians(off_nadir_deg) * np.where(np.arange(n) % 2 == 0, 1.0, -1.0)
    directions = np.stack([np.sin(tilt), np.zeros(n), -np.cos(tilt)], axis=1)
    origins = np.stack([gx.ravel() - altitude * np.tan(tilt), gy.ravel(), np.full(n, altitude)],
                       axis=1)
    return vorn_gpu.simulate_lidar_cpu(scene, origins.ravel(), directions.ravel(), n,
                                       min_range=altitude - scene.max_height() - 5.0,
                                       max_range=altitude + 5.0)


def save_points(out, points, description=None):
    """Writes the returns as CSV, and as LAS through vorn.lidar when laspy is
    installed, classified as ground or vegetation by their height above the
    terrain of `description` (the canopy's vorn.Scene)."""
    header = "x,y,z,intensity,return_number,number_of_returns,range,pulse"
    # intensities are tiny (1e-8 to 1e-6): significant digits, not decimals
    fmt = ["%.4f", "%.4f", "%.4f", "%.6e", "%d", "%d", "%.4f", "%d"]
    np.savetxt(out / "lidar_points.csv", points, delimiter=",", header=header, comments="",
               fmt=fmt)
    classes = None
    if description is not None:
        ground = vorn.lidar.ground_height(description, points[:, :2])
        classes = vorn.lidar.classify(points[:, 2], ground)
    try:
        vorn.lidar.to_las(out / "lidar_points.las", points, classification=classes)
        return ["lidar_points.csv", "lidar_points.las"]
    except ImportError:
        return ["lidar_points.csv (pip install 'vorn_gpu[lidar]' to get LAS as well)"]


BAND_NAMES = {450: "blue", 650: "red", 850: "NIR"}


class Progress:
    """Prints one progress line per call, at most every half second."""

    def __init__(self, label):
        self.label, self.last = label, 0.0

    def __call__(self, done, total, ms):
        now = time.monotonic()
        if done == total or now - self.last > 0.5:
            self.last = now
            print(f"  {self.label}: {done}/{total} ({ms / 1000:.1f} s)", flush=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out", help="output folder")
    parser.add_argument("--size", type=int, default=256, help="image size in pixels")
    parser.add_argument("--spp", type=int, default=16, help="samples per pixel")
    parser.add_argument("--photons", type=int, default=1_000_000, help="forward photons")
    args = parser.parse_args(argv)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    scene = vorn_gpu.EmbreeSceneManager()
    canopy = build_canopy(scene)
    print(f"VORN {vorn_gpu.__version__}: canopy of {canopy.num_trees} trees, "
          f"{canopy.num_leaves} leaves, {scene.num_instances()} instances, "
          f"{scene.total_triangles()} triangles, LAI {canopy.lai:.2f}, "
          f"tile {canopy.size:g} m, height {canopy.height:.2f} m, {canopy.num_bands} bands")

    names = [BAND_NAMES.get(int(nm), f"{nm:g} nm") for nm in BANDS_NM]
    print(f"backward: false-colour image (red = {names[2]}, green = {names[1]}, "
          f"blue = {names[0]})")
    image = render_false_colour(scene, out / "canopy_false_colour.png", canopy.size,
                                width=args.size, height=args.size, spp=args.spp,
                                progress=Progress("passes"))
    np.save(out / "canopy_radiance.npy", image)
    means = ", ".join(f"{name} {v:.4f}" for name, v in zip(names, image.mean(axis=(0, 1))))
    print(f"  mean radiance (W m-2 sr-1 nm-1): {means} "
          "-> canopy_false_colour.png, canopy_radiance.npy")

    print("forward: absorbed PAR per layer (blue and red bands)")
    profile = fpar_profile(scene, canopy.num_bands, par_bands=(0, 1), num_photons=args.photons,
                           progress=Progress("photons"))
    print(format_profile(profile))
    try:
        plot_profile(profile, out / "fpar_profile.png")
        print("  -> fpar_profile.png")
    except ImportError:
        print("  (pip install matplotlib to get the chart fpar_profile.png)")

    print("lidar: waveform scan from 40 m")
    lidar = lidar_scan(scene, canopy.size)
    points = lidar["points"]
    written = save_points(out, points, canopy.description)
    first = points[points[:, 4] == 1]
    print(f"  {lidar['waveform'].shape[0]} pulses, {lidar['num_bins']} bins, "
          f"{lidar['num_returns']} returns, first-return height "
          f"{first[:, 2].min():.2f} to {first[:, 2].max():.2f} m -> {', '.join(written)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
