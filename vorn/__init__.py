"""vorn: a toolkit over the VORN engine (vorn_gpu) for scientists.

Declarative scenes saved to one file (vorn.Scene), mesh import (vorn.io),
leaf and soil optics (vorn.optics), sun position (vorn.sun), labelled results
(vorn.render, vorn.absorb, vorn.scan), parameter sweeps on Dask (vorn.sweep)
and LiDAR acquisitions written to LAS (vorn.lidar). The optional libraries
come with the extras of the vorn_gpu wheel: io, optics, sweep, lidar, all.
"""
from .scene import (FORMAT_VERSION, Compiled, Fisheye, Instance, Lambertian, Leaf, Mesh,  # noqa: F401
                    Orthographic, ParametricSky, Perspective, Rpv, Scene, SceneError, Sun, Tile,
                    UniformSky, angles, direction, look_at)
from .simulate import CpuBackend, GpuBackend, absorb, render, scan  # noqa: F401
from .sweep import SweepError, sweep  # noqa: F401
from . import io, lidar, optics, sun  # noqa: F401,E402  (optional libraries load on use)

__version__ = "0.1.0"
