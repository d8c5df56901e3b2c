"""Scene builders shared by the physics tests of every backend."""
import math

import numpy as np

BLACK = 5  # a material type no engine models: absorbs everything, reflects nothing
NO_NORMALS = np.zeros((0, 3), np.float32)

def planck(wavelength_nm, temperature):
    """Black-body spectral radiance in W m^-2 sr^-1 nm^-1, from the CODATA 2018
    constants h, c and k (independent of the engine's radiation constants)."""
    h, c, k, lam = 6.62607015e-34, 299792458.0, 1.380649e-23, wavelength_nm * 1e-9
    return 2 * h * c * c / (lam**5 * math.expm1(h * c / (lam * k * temperature))) * 1e-9


def quad(x0, x1, y0, y1, z=0.0):
    """Horizontal rectangle, normal +z."""
    v = np.array([[x0, y0, z], [x1, y0, z], [x1, y1, z], [x0, y1, z]], np.float32)
    return v, np.array([[0, 1, 2], [0, 2, 3]], np.int32)


def wall(x, z0, z1, facing, y0=0.0, y1=1.0):
    """Vertical rectangle in the plane at x, normal +x (facing 1) or -x (-1)."""
    v = np.array([[x, y0, z0], [x, y1, z0], [x, y1, z1], [x, y0, z1]], np.float32)
    return v, np.array([[0, 1, 2], [0, 2, 3]] if facing > 0 else [[0, 2, 1], [0, 3, 2]], np.int32)


def disc(radius, z, segments=512):
    """Horizontal disc (triangle fan), normal +z."""
    phi = np.arange(segments) * (2 * math.pi / segments)
    rim = np.stack([radius * np.cos(phi), radius * np.sin(phi), np.full(segments, z)], axis=1)
    i = np.array([[0, 1 + k, 1 + (k + 1) % segments] for k in range(segments)], np.int32)
    return np.vstack([[0.0, 0.0, z], rim]).astype(np.float32), i


def add_surface(scene, mesh, material_id, translate=(0.0, 0.0, 0.0)):
    """One instance of a new mesh; returns the instance id."""
    return scene.add_instance(scene.add_mesh(mesh[0], NO_NORMALS, mesh[1], material_id), *translate)


def ortho_down(cx, cy, z):
    """Orthographic camera at (cx, cy, z) looking along -z, x right, y up."""
    return np.array([1, 0, 0, cx, 0, 1, 0, cy, 0, 0, 1, z, 0, 0, 0, 1], np.float32)


def look_along(forward, pos=(0.0, 0.0, 0.0)):
    """Row-major matrix of a camera at pos looking along `forward` (its z axis
    is -forward)."""
    f = np.asarray(forward, np.float64)
    c2 = -f / np.linalg.norm(f)
    c0 = np.cross([0.0, 0.0, 1.0] if abs(c2[2]) < 0.9 else [0.0, 1.0, 0.0], c2)
    c0 /= np.linalg.norm(c0)
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = c0, np.cross(c2, c0), c2, pos
    return m.ravel().astype(np.float32)


def sun_at(zenith_deg, azimuth_deg=0.0):
    t, p = math.radians(zenith_deg), math.radians(azimuth_deg)
    return np.array([math.sin(t) * math.cos(p), math.sin(t) * math.sin(p), math.cos(t)], np.float32)


def new_scene(backend, nb, spectral, materials=()):
    """A scene of `nb` bands with the spectral array and (type, offset[,
    params]) materials."""
    scene = backend.scene()
    scene.set_num_bands(nb)
    scene.upload_spectral_params(np.asarray(spectral, np.float32))
    for m in materials:
        scene.add_material(*m)
    return scene


def random_leaves(n, side, size, z0, z1, rng):
    """Square leaves with centres uniform over the tile [0, size]^2 at heights
    [z0, z1] and normals spread evenly over the sphere (a Fibonacci lattice in
    random order: mean |n . d| is 1/2 for every d to O(1/n), the spherical
    leaf-angle distribution without its sampling noise). A leaf crossing a tile
    side gets its copy one tile over, so the repeated tile is an unbroken canopy."""
    c = np.column_stack([rng.uniform(0, size, (n, 2)), rng.uniform(z0, z1, n)])
    i = np.arange(n) + 0.5
    z, phi = 1.0 - 2.0 * i / n, math.pi * (1.0 + 5 ** 0.5) * i
    r = np.sqrt(1.0 - z * z)
    nrm = np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)[rng.permutation(n)]
    helper = np.where(np.abs(nrm[:, :1]) > 0.9, [[0.0, 1.0, 0.0]], [[1.0, 0.0, 0.0]])
    u = np.cross(nrm, helper)
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    w = np.cross(nrm, u)
    h, reach, quads = side / 2, side / 2 * 2 ** 0.5, []
    for sx in (-1, 0, 1):
        for sy in (-1, 0, 1):
            cc = c + [sx * size, sy * size, 0.0]
            keep = ((cc[:, 0] + reach > 0) & (cc[:, 0] - reach < size) &
                    (cc[:, 1] + reach > 0) & (cc[:, 1] - reach < size))
            cc, uu, ww = cc[keep], u[keep] * h, w[keep] * h
            quads.append(np.stack([cc - uu - ww, cc + uu - ww, cc + uu + ww, cc - uu + ww], 1))
    quads = np.concatenate(quads)
    base = (np.arange(len(quads)) * 4)[:, None]
    tris = np.concatenate([base + [0, 1, 2], base + [0, 2, 3]], axis=1).reshape(-1, 3)
    return quads.reshape(-1, 3).astype(np.float32), tris.astype(np.int32)
