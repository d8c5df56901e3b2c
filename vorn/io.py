"""Mesh import (extra `io`: trimesh): OBJ, PLY, STL and glTF files into
vorn.Mesh objects, one per group (OBJ `g`/`o`) or node (glTF), keyed by name."""
from __future__ import annotations

import numpy as np

from ._extras import require
from .scene import Mesh

UNITS = {"m": 1.0, "cm": 0.01, "mm": 0.001, "km": 1000.0, "in": 0.0254, "ft": 0.3048}
# rotations taking the file's up axis to +z (x stays x where it can)
UP = {"z": np.eye(3),
      "y": np.array([[1.0, 0, 0], [0, 0, -1], [0, 1, 0]]),
      "x": np.array([[0.0, 0, -1], [0, 1, 0], [1, 0, 0]])}


def load_mesh(path, units="m", up="z", materials=None, normals=False) -> dict:
    """Reads a mesh file into {name: vorn.Mesh}, one entry per group or node
    (node transforms applied). `units` is the file's length unit (a name from
    UNITS or metres per unit); `up` the file's up axis ("z", or "y" as glTF
    and many OBJ exporters use), turned to +z. Each mesh's material is
    `materials[name]` when given (a dict, or one name for all), else its group
    name, ready to be assigned scene materials. `normals=True` keeps the
    file's (or trimesh's) vertex normals; by default the engine uses the
    triangles' own normals."""
    trimesh = require("trimesh", "io", "Mesh import")
    scale = UNITS[units] if isinstance(units, str) else float(units)
    if up not in UP:
        raise ValueError(f"up must be one of {', '.join(UP)}, got {up!r}")
    rot = UP[up] * scale
    scene = trimesh.load(str(path), force="scene", process=False, split_objects=True,
                         split_groups=True, group_material=False)
    out = {}
    for node in scene.graph.nodes_geometry:
        transform, geom_name = scene.graph[node]
        geom = scene.geometry[geom_name]
        if not hasattr(geom, "faces") or len(geom.faces) == 0:
            continue  # point clouds and paths carry no triangles
        v = np.asarray(geom.vertices, np.float64) @ transform[:3, :3].T + transform[:3, 3]
        name = str(node)
        material = name if materials is None else (
            materials if isinstance(materials, str) else materials.get(name, name))
        n = None
        if normals:
            n = (np.asarray(geom.vertex_normals, np.float64) @ np.linalg.inv(transform[:3, :3])
                 @ UP[up].T)
            n = (n / np.maximum(np.linalg.norm(n, axis=1, keepdims=True), 1e-30)).astype(np.float32)
        out[name] = Mesh((v @ rot.T).astype(np.float32), np.asarray(geom.faces, np.int32),
                         material, n)
    if not out:
        raise ValueError(f"{path}: no triangles found")
    return dict(sorted(out.items()))
