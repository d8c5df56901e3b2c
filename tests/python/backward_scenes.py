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
    v = np.vstack([[0.0, 0.0, z], rim]).astype(np.float32)
    i = np.array([[0, 1 + k, 1 + (k + 1) % segments] for k in range(segments)], np.int32)
    return v, i


def add_surface(scene, mesh, material_id, translate=(0.0, 0.0, 0.0)):
    v, i = mesh
    m = scene.add_mesh(v, np.zeros((0, 3), np.float32), i, material_id)
    return scene.add_instance(m, *translate)


def ortho_down(cx, cy, z):
    """Orthographic camera at (cx, cy, z) looking along -z, x right, y up."""
    return np.array([1, 0, 0, cx, 0, 1, 0, cy, 0, 0, 1, z, 0, 0, 0, 1], np.float32)


def camera_matrix(c0, c1, c2, pos):
    """Row-major camera matrix whose columns are the axes c0, c1, c2 and pos."""
    m = np.zeros((4, 4), np.float64)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = c0, c1, c2, pos
    m[3, 3] = 1.0
    return m.ravel().astype(np.float32)


def look_along(forward, pos=(0.0, 0.0, 0.0)):
    """Camera at pos looking along `forward` (camera z axis = -forward)."""
    f = np.asarray(forward, np.float64)
    f /= np.linalg.norm(f)
    c2 = -f
    helper = np.array([0.0, 0.0, 1.0]) if abs(c2[2]) < 0.9 else np.array([0.0, 1.0, 0.0])
    c0 = np.cross(helper, c2)
    c0 /= np.linalg.norm(c0)
    return camera_matrix(c0, np.cross(c2, c0), c2, pos)


def unit(v):
    v = np.asarray(v, np.float64)
    return (v / np.linalg.norm(v)).astype(np.float32)


def sun_at(zenith_deg, azimuth_deg=0.0):
    t, p = math.radians(zenith_deg), math.radians(azimuth_deg)
    return unit([math.sin(t) * math.cos(p), math.sin(t) * math.sin(p), math.cos(t)])


def pixel_edges(n):
    """Normalised image coordinates [-0.5, 0.5] of the n + 1 pixel edges."""
    return np.arange(n + 1) / n - 0.5


def radial_range(width, height, x, y, sx=1.0, sy=1.0):
    """Smallest and largest sqrt((sx u)^2 + (sy v)^2) over pixel (x, y)."""
    u0, u1 = pixel_edges(width)[x] * sx, pixel_edges(width)[x + 1] * sx
    v0, v1 = pixel_edges(height)[y] * sy, pixel_edges(height)[y + 1] * sy
    nu = 0.0 if u0 <= 0.0 <= u1 else min(abs(u0), abs(u1))
    nv = 0.0 if v0 <= 0.0 <= v1 else min(abs(v0), abs(v1))
    fu, fv = max(abs(u0), abs(u1)), max(abs(v0), abs(v1))
    return math.hypot(nu, nv), math.hypot(fu, fv)


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
