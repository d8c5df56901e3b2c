"""A minimal PNG writer (8-bit RGB) on the standard library, so the examples
need nothing beyond NumPy."""
import struct
import zlib

import numpy as np


def write_png(path, rgb, origin="lower") -> None:
    """Writes an 8-bit RGB image (height, width, 3) upright. `origin` says where
    its row 0 is: "lower" (the bottom, as in the images of simulate_cpu) or
    "upper" (the top, as in most image files)."""
    if origin not in ("lower", "upper"):
        raise ValueError(f"origin must be 'lower' or 'upper', got {origin!r}")
    rgb = np.ascontiguousarray(rgb[::-1] if origin == "lower" else rgb, dtype=np.uint8)
    height, width, _ = rgb.shape
    raw = b"".join(b"\x00" + rgb[y].tobytes() for y in range(height))  # filter 0 per row

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
