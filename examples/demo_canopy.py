"""VORN demo: builds a procedural canopy and simulates it on the CPU backend.

    python examples/demo_canopy.py --out out

Writes its outputs (images, profiles, point clouds) into the output folder.
"""
from __future__ import annotations

import argparse
import pathlib
import struct
import sys
import zlib

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import vorn_gpu  # noqa: E402

from canopy import build_canopy  # noqa: E402


def write_png(path, rgb) -> None:
    """Writes an 8-bit RGB image (height, width, 3), first row at the top, as a
    PNG using only the standard library."""
    rgb = np.ascontiguousarray(rgb, dtype=np.uint8)
    height, width, _ = rgb.shape
    raw = b"".join(b"\x00" + rgb[y].tobytes() for y in range(height))  # filter 0 per row

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def false_colour(image, channels=(2, 1, 0), percentile=99.0, gamma=2.2):
    """8-bit RGB from three bands of a radiance image (height, width, bands):
    each channel scaled so its `percentile` maps to white, then gamma-encoded.
    Row 0 of the engine's image is the bottom of the view, so rows are flipped."""
    rgb = np.stack([image[..., c] for c in channels], axis=-1).astype(np.float64)
    white = np.percentile(rgb.reshape(-1, 3), percentile, axis=0)
    rgb = np.clip(rgb / np.where(white > 0, white, 1.0), 0.0, 1.0) ** (1.0 / gamma)
    return (rgb[::-1] * 255.0 + 0.5).astype(np.uint8)


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
    write_png(path, false_colour(image, channels))
    return image


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out", help="output folder")
    args = parser.parse_args(argv)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    scene = vorn_gpu.EmbreeSceneManager()
    canopy = build_canopy(scene)
    print(f"VORN {vorn_gpu.__version__}: canopy of {canopy.num_trees} trees, "
          f"{canopy.num_leaves} leaves, {scene.num_instances()} instances, "
          f"{scene.total_triangles()} triangles, LAI {canopy.lai:.2f}, "
          f"tile {canopy.size:g} m, height {canopy.height:.2f} m, {canopy.num_bands} bands")
    return 0


if __name__ == "__main__":
    sys.exit(main())
