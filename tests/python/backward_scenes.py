"""Small scenes and cameras for the backward-renderer tests."""
import math

import numpy as np

import vorn_gpu

BLACK = 5  # a material type the CPU engines treat as black


def quad(x0, x1, y0, y1, z=0.0):
    """Horizontal rectangle, normal +z."""
    v = np.array([[x0, y0, z], [x1, y0, z], [x1, y1, z], [x0, y1, z]], np.float32)
    return v, np.array([[0, 1, 2], [0, 2, 3]], np.int32)


def disc(radius, z, segments=512):
    """Horizontal disc (triangle fan), normal +z."""
    phi = np.arange(segments) * (2 * math.pi / segments)
    rim = np.stack([radius * np.cos(phi), radius * np.sin(phi), np.full(segments, z)], axis=1)
    i = np.array([[0, 1 + k, 1 + (k + 1) % segments] for k in range(segments)], np.int32)
    return np.vstack([[0.0, 0.0, z], rim]).astype(np.float32), i


def add_surface(scene, mesh, material_id, translate=(0.0, 0.0, 0.0)):
    m = scene.add_mesh(mesh[0], np.zeros((0, 3), np.float32), mesh[1], material_id)
    return scene.add_instance(m, *translate)


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
    return np.array([math.sin(t) * math.cos(p), math.sin(t) * math.sin(p), math.cos(t)],
                    np.float32)


def radial_range(width, height, x, y, sx=1.0, sy=1.0):
    """Smallest and largest sqrt((sx u)^2 + (sy v)^2) over pixel (x, y), with u, v
    the normalised image coordinates in [-0.5, 0.5]."""
    u0, u1 = (x / width - 0.5) * sx, ((x + 1) / width - 0.5) * sx
    v0, v1 = (y / height - 0.5) * sy, ((y + 1) / height - 0.5) * sy
    nu = 0.0 if u0 <= 0.0 <= u1 else min(abs(u0), abs(u1))
    nv = 0.0 if v0 <= 0.0 <= v1 else min(abs(v0), abs(v1))
    return math.hypot(nu, nv), math.hypot(max(abs(u0), abs(u1)), max(abs(v0), abs(v1)))


def new_scene(nb, spectral):
    scene = vorn_gpu.EmbreeSceneManager()
    scene.set_num_bands(nb)
    scene.upload_spectral_params(np.asarray(spectral, np.float32))
    return scene


def lambertian_plane_scene(nb, spectral, half=1000.0, z=0.0):
    """A large Lambertian plane whose reflectance is spectral[0:nb]."""
    scene = new_scene(nb, spectral)
    scene.add_material(0, 0)
    add_surface(scene, quad(-half, half, -half, half, z), 0)
    return scene
