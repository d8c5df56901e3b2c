"""A small procedural canopy for demos: a ground plane, trees made of a stem
(cylinder) and a crown of flat leaves, and optional bushes (icospheres).

Everything is deterministic for a given seed. The scene is laid out inside the
periodic tile [0, size] x [0, size] so it can be repeated without end.
"""
from __future__ import annotations

import dataclasses

import numpy as np

import vorn_gpu

# Band centres (nm) and optical properties of the three demo bands: blue, red, NIR.
BANDS_NM = np.array([450.0, 650.0, 850.0], dtype=np.float32)
LEAF_R_FRONT = [0.05, 0.06, 0.45]
LEAF_R_BACK = [0.07, 0.08, 0.42]
LEAF_T = [0.03, 0.04, 0.45]
SOIL_R = [0.10, 0.16, 0.26]
BARK_R = [0.08, 0.10, 0.30]
SUN_E = [1.6, 1.5, 1.0]     # band irradiance normal to the sun (W m^-2 nm^-1)
SKY_L = [0.12, 0.06, 0.03]  # isotropic sky radiance (W m^-2 sr^-1 nm^-1)


@dataclasses.dataclass
class Canopy:
    size: float               # tile edge (m)
    num_bands: int
    ground_instance: int      # instance id of the ground (terrain)
    num_trees: int
    num_leaves: int
    leaf_area: float          # one-sided leaf area in the tile (m^2)
    height: float             # max_height after build (m)

    @property
    def lai(self) -> float:
        return self.leaf_area / (self.size * self.size)


def leaf_mesh(num_leaves: int, crown_radius: float, leaf_size: float, rng) -> dict:
    """Flat square leaves (two triangles each) scattered in a spherical crown
    around the origin with uniformly random orientations."""
    centres = rng.normal(size=(num_leaves, 3))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    centres *= crown_radius * rng.uniform(0, 1, size=(num_leaves, 1)) ** (1 / 3)
    normals = rng.normal(size=(num_leaves, 3))
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    helper = np.where(np.abs(normals[:, :1]) > 0.9, [[0.0, 1.0, 0.0]], [[1.0, 0.0, 0.0]])
    u = np.cross(normals, helper)
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    v = np.cross(normals, u)
    h = leaf_size / 2
    corners = np.stack([-u - v, u - v, u + v, -u + v], axis=1) * h + centres[:, None, :]
    vertices = corners.reshape(-1, 3).astype(np.float32)
    vnormals = np.repeat(normals, 4, axis=0).astype(np.float32)
    base = (np.arange(num_leaves) * 4)[:, None]
    tris = np.concatenate([base + [0, 1, 2], base + [0, 2, 3]], axis=1).reshape(-1, 3)
    return {"vertices": vertices, "normals": vnormals, "indices": tris.astype(np.int32)}


def build_canopy(scene, size: float = 20.0, num_trees: int = 12, leaves_per_tree: int = 2000,
                 leaf_size: float = 0.15, seed: int = 7) -> Canopy:
    """Fills `scene` (an EmbreeSceneManager) with ground, stems, crowns, sun and
    sky, builds it, and returns what was built."""
    rng = np.random.default_rng(seed)
    nb = len(BANDS_NM)
    scene.set_num_bands(nb)
    spectral = []

    def block(*quantities):
        start = len(spectral)
        for q in quantities:
            spectral.extend(q)
        return start

    soil = scene.add_material(0, block(SOIL_R))
    bark = scene.add_material(0, block(BARK_R))
    leaf = scene.add_material(13, block(LEAF_R_FRONT, LEAF_R_BACK, LEAF_T), [0.5, 0.5])
    sun_off = block(SUN_E)
    sky_off = block(SKY_L)
    scene.upload_spectral_params(np.array(spectral, dtype=np.float32))

    ground = vorn_gpu.make_ground_plane(size / 2, size / 2)
    g_mesh = scene.add_mesh(ground["vertices"], ground["normals"], ground["indices"], soil)
    ground_instance = scene.add_instance(g_mesh, size / 2, size / 2, 0.0)

    stem = vorn_gpu.make_cylinder(0.15, 1.0, 10)
    s_mesh = scene.add_mesh(stem["vertices"], stem["normals"], stem["indices"], bark)
    crowns = [scene.add_mesh(**leaf_mesh(leaves_per_tree, 1.6, leaf_size, rng), material_id=leaf)
              for _ in range(3)]

    for i in range(num_trees):
        x, y = rng.uniform(1.5, size - 1.5, size=2)
        trunk = float(rng.uniform(2.0, 3.5))
        xf = np.array([1, 0, 0, x, 0, 1, 0, y, 0, 0, trunk, 0], dtype=np.float32)
        scene.add_instance_xform(s_mesh, xf)
        scene.add_instance(crowns[i % len(crowns)], x, y, trunk + 1.4, 1.0)

    sun_zenith, sun_azimuth = np.radians(35.0), np.radians(135.0)
    sun = np.array([np.sin(sun_zenith) * np.cos(sun_azimuth), np.sin(sun_zenith) * np.sin(sun_azimuth),
                    np.cos(sun_zenith)], dtype=np.float32)
    scene.set_emitter(0, sun, sun_off)
    scene.set_sky(sky_off)
    scene.set_repetitive(4, size, size)
    scene.build()
    leaf_area = num_trees * leaves_per_tree * leaf_size * leaf_size
    return Canopy(size, nb, ground_instance, num_trees, num_trees * leaves_per_tree, leaf_area,
                  scene.max_height())
