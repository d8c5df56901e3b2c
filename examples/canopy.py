"""A small procedural canopy for demos: a ground plane, trees made of a stem
(cylinder) and a crown of flat leaves, and optional bushes (icospheres).

Everything is deterministic for a given seed. The scene is laid out inside the
periodic tile [0, size] x [0, size] so it can be repeated without end.
"""
from __future__ import annotations

import dataclasses

import numpy as np

import vorn
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
    description: object = None  # the vorn.Scene it was built from

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


def canopy_scene(size: float = 20.0, num_trees: int = 12, leaves_per_tree: int = 2000,
                 leaf_size: float = 0.15, seed: int = 7) -> vorn.Scene:
    """The canopy as a vorn.Scene: ground (the terrain), stems, crowns, sun and
    sky in the periodic tile [0, size]^2."""
    rng = np.random.default_rng(seed)
    scene = vorn.Scene(
        bands=BANDS_NM,
        materials={"soil": vorn.Lambertian(SOIL_R), "bark": vorn.Lambertian(BARK_R),
                   "leaf": vorn.Leaf(front=LEAF_R_FRONT, back=LEAF_R_BACK, transmittance=LEAF_T,
                                     sampling=(0.5, 0.5))},
        sun=vorn.Sun(SUN_E, zenith=35.0, azimuth=315.0), sky=vorn.UniformSky(SKY_L),
        tile=vorn.Tile(size, size, 4))
    ground = vorn_gpu.make_ground_plane(size / 2, size / 2)
    scene.add_mesh("ground", ground["vertices"], ground["indices"], "soil", ground["normals"])
    scene.add_instance("ground", [[1, 0, 0, size / 2], [0, 1, 0, size / 2], [0, 0, 1, 0]],
                       terrain=True)
    stem = vorn_gpu.make_cylinder(0.15, 1.0, 10)
    scene.add_mesh("stem", stem["vertices"], stem["indices"], "bark", stem["normals"])
    crowns = [f"crown{k}" for k in range(3)]
    for name in crowns:
        scene.meshes[name] = vorn.Mesh(**leaf_mesh(leaves_per_tree, 1.6, leaf_size, rng),
                                       material="leaf")
    for i in range(num_trees):
        x, y = rng.uniform(1.5, size - 1.5, size=2)
        trunk = float(rng.uniform(2.0, 3.5))
        scene.add_instance("stem", [[1, 0, 0, x], [0, 1, 0, y], [0, 0, trunk, 0]])
        scene.add_instance(crowns[i % len(crowns)], [[1, 0, 0, x], [0, 1, 0, y],
                                                     [0, 0, 1, trunk + 1.4]])
    return scene


def build_canopy(scene, size: float = 20.0, num_trees: int = 12, leaves_per_tree: int = 2000,
                 leaf_size: float = 0.15, seed: int = 7) -> Canopy:
    """Fills `scene` (an empty native scene, e.g. EmbreeSceneManager) with the
    canopy of canopy_scene(), builds it, and returns what was built."""
    description = canopy_scene(size, num_trees, leaves_per_tree, leaf_size, seed)
    description.apply_to(scene)
    leaf_area = num_trees * leaves_per_tree * leaf_size * leaf_size
    return Canopy(size, description.num_bands, 0, num_trees, num_trees * leaves_per_tree,
                  leaf_area, scene.max_height(), description)
