"""The demo's false-colour PNG of a CPU rendering."""
import os
import struct
import sys
import zlib

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

from backward_scenes import add_surface, new_scene, quad, sun_at  # noqa: E402
from demo_canopy import render_false_colour  # noqa: E402


def read_png_rgb(path):
    """Minimal decoder for 8-bit RGB PNGs with filter 0 rows."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF, kind
        chunks[kind] = chunks.get(kind, b"") + body
        pos += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (8, 2) and b"IEND" in chunks
    rows = np.frombuffer(zlib.decompress(chunks[b"IDAT"]), np.uint8).reshape(height, -1)
    assert not rows[:, 0].any()
    return rows[:, 1:].reshape(height, width, 3)


def test_false_colour_png_shows_the_brightest_band_half_bright_half_dark(tmp_path):
    # Ground bright (x < 10) and dark (x > 10) in band 2; the image must keep
    # that left/right split and put the top row of the view first.
    scene = new_scene(3, [0.2, 0.3, 0.8, 0.2, 0.3, 0.05, 1.0, 1.0, 1.0])
    scene.add_material(0, 0)
    scene.add_material(0, 3)
    add_surface(scene, quad(0, 10, 0, 20), 0)
    add_surface(scene, quad(10, 20, 0, 10), 1)
    add_surface(scene, quad(10, 20, 10, 20), 0)
    scene.set_emitter(0, sun_at(0.0), 6)
    scene.build()
    path = tmp_path / "fc.png"
    image = render_false_colour(scene, path, 20.0, width=16, height=8, spp=1, max_depth=1)
    assert image.shape == (8, 16, 3)
    rgb = read_png_rgb(path)
    assert rgb.shape == (8, 16, 3)
    red = rgb[..., 0].astype(int)  # band 2
    # Top rows (y > 10): bright everywhere; bottom-right quadrant: dark.
    assert red[:4].min() == 255
    assert red[4:, :8].min() == 255 and red[4:, 8:].max() < 100
    assert (rgb[..., 1] == rgb[0, 0, 1]).all()  # band 1 is uniform
