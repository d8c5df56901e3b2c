"""Declarative scenes: meshes, named materials with per-band spectra, instances,
sun, sky, sensor and periodic tile, checked as a whole before anything reaches
the engine, laid out into the engine's flat spectral array, built on either
backend, pickled, and saved to one versioned file.

Axes: x east, y north, z up, metres. Angles are in degrees; an azimuth is
measured clockwise from north (+y) towards east (+x), so a direction of zenith
angle z and azimuth a is (sin z sin a, sin z cos a, cos z).
"""
from __future__ import annotations

import dataclasses
import json
import math
import pathlib
from typing import Optional

import numpy as np

FORMAT = "vorn.scene"
FORMAT_VERSION = 1

LAMBERTIAN, RPV, LEAF = 0, 1, 13
ORTHOGRAPHIC, PERSPECTIVE, FISHEYE = 0, 1, 4
PROJECTIONS = {"equisolid": 0, "equidistant": 1, "orthographic": 2, "stereographic": 3}


class SceneError(ValueError):
    """A scene description that cannot be built; the message names the part at fault."""


def direction(zenith: float, azimuth: float) -> np.ndarray:
    """Unit vector of a zenith angle and a compass azimuth (degrees)."""
    z, a = math.radians(zenith), math.radians(azimuth)
    return np.array([math.sin(z) * math.sin(a), math.sin(z) * math.cos(a), math.cos(z)])


def angles(vector) -> tuple:
    """(zenith, azimuth) in degrees of a direction vector; the inverse of direction()."""
    x, y, z = (float(c) for c in np.asarray(vector, np.float64) / np.linalg.norm(vector))
    return math.degrees(math.acos(max(-1.0, min(1.0, z)))), math.degrees(math.atan2(x, y)) % 360.0


def look_at(eye, target, up=(0.0, 1.0, 0.0)) -> np.ndarray:
    """4 × 4 camera-to-world matrix of a camera at `eye` looking at `target`
    (the camera looks along its −z axis, its y axis points as near `up` as it can)."""
    eye, target = np.asarray(eye, np.float64), np.asarray(target, np.float64)
    z = eye - target
    if not np.linalg.norm(z) > 0:
        raise SceneError("look_at: eye and target coincide")
    z /= np.linalg.norm(z)
    up = np.asarray(up, np.float64)
    if np.linalg.norm(np.cross(up, z)) < 1e-9:
        up = np.array([1.0, 0.0, 0.0]) if abs(z[0]) < 0.9 else np.array([0.0, 1.0, 0.0])
    x = np.cross(up, z)
    x /= np.linalg.norm(x)
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = x, np.cross(z, x), z, eye
    return m


# ---- scene parts ----------------------------------------------------------

@dataclasses.dataclass(eq=False)
class Lambertian:
    """Diffuse surface: per-band reflectance (read as emissivity in thermal mode,
    where the surface reflects 1 − value). Temperatures in kelvin: a uniform one,
    or a sunlit and a shaded one (both > 0) chosen by a shadow test."""
    reflectance: object
    temperature: float = 0.0
    sunlit_temperature: float = 0.0
    shaded_temperature: float = 0.0
    TYPE = LAMBERTIAN
    QUANTITIES = ("reflectance",)


@dataclasses.dataclass(eq=False)
class Leaf:
    """Two-sided leaf: per-band front and back reflectance and transmittance
    (`back` defaults to `front`); `sampling` weighs reflection against
    transmission when a direction is drawn (it does not change the physics)."""
    front: object
    transmittance: object
    back: object = None
    sampling: tuple = (0.5, 0.5)
    temperature: float = 0.0
    sunlit_temperature: float = 0.0
    shaded_temperature: float = 0.0
    TYPE = LEAF
    QUANTITIES = ("front", "back", "transmittance")


@dataclasses.dataclass(eq=False)
class Rpv:
    """RPV bidirectional reflectance, per band: amplitude rho0, exponent k,
    asymmetry theta and hot-spot parameter rho_c."""
    rho0: object
    k: object
    theta: object
    rho_c: object
    temperature: float = 0.0
    sunlit_temperature: float = 0.0
    shaded_temperature: float = 0.0
    TYPE = RPV
    QUANTITIES = ("rho0", "k", "theta", "rho_c")


@dataclasses.dataclass(eq=False)
class Mesh:
    """Triangles in object space: vertices (n, 3), indices (m, 3) into them,
    optional per-vertex normals (n, 3), and the name of the scene's material."""
    vertices: object
    indices: object
    material: str
    normals: object = None


@dataclasses.dataclass(eq=False)
class Instance:
    """A placed copy of the named mesh: `transform` is 3 × 4 or 4 × 4 (object to
    world; identity when None). `terrain` marks the ground: its absorption is
    tallied apart and LiDAR returns on it are classified as ground."""
    mesh: str
    transform: object = None
    terrain: bool = False


@dataclasses.dataclass(eq=False)
class Sun:
    """Directional source: per-band irradiance on a plane normal to the sun
    (W m⁻² nm⁻¹), from `zenith` and `azimuth` (degrees) or a `direction`
    vector pointing from the scene towards the sun."""
    irradiance: object
    zenith: Optional[float] = None
    azimuth: Optional[float] = None
    direction: object = None

    def vector(self) -> np.ndarray:
        if self.direction is not None:
            d = np.asarray(self.direction, np.float64)
            return d / np.linalg.norm(d)
        return direction(self.zenith, self.azimuth)


@dataclasses.dataclass(eq=False)
class UniformSky:
    """Isotropic sky radiance per band (W m⁻² sr⁻¹ nm⁻¹)."""
    radiance: object


@dataclasses.dataclass(eq=False)
class ParametricSky:
    """Parametric sky: per band the nine coefficients A..I (shape (bands, 9))
    and the zenith radiance. The model's sun is the scene's sun unless
    `sun_direction` is given."""
    coefficients: object
    zenith_radiance: object
    sun_direction: object = None


@dataclasses.dataclass(eq=False)
class Orthographic:
    """Parallel rays along the camera's −z axis from an `extent` = (width, height)
    rectangle in metres. Pose: `transform` (camera to world, 3 × 4 or 4 × 4) or
    `position` with the camera looking straight down, x east and y north."""
    width: int
    height: int
    extent: tuple
    transform: object = None
    position: object = None
    terrain_following: bool = False
    TYPE = ORTHOGRAPHIC


@dataclasses.dataclass(eq=False)
class Perspective:
    """Pinhole camera of vertical field of view `fov` (degrees)."""
    width: int
    height: int
    fov: float = 60.0
    transform: object = None
    position: object = None
    TYPE = PERSPECTIVE


@dataclasses.dataclass(eq=False)
class Fisheye:
    """Fisheye camera of full field of view `fov` (degrees) with a named
    projection: equisolid, equidistant, orthographic or stereographic."""
    width: int
    height: int
    fov: float = 180.0
    projection: str = "equisolid"
    transform: object = None
    position: object = None
    TYPE = FISHEYE


@dataclasses.dataclass(eq=False)
class Tile:
    """Periodic tile [0, size_x] × [0, size_y] repeated without end; rays wrap
    through its sides at most `repetitions` times (0 only sets the extent)."""
    size_x: float
    size_y: float
    repetitions: int = 4


_TYPES = {c.__name__: c for c in (Lambertian, Leaf, Rpv, Mesh, Instance, Sun, UniformSky,
                                  ParametricSky, Orthographic, Perspective, Fisheye, Tile)}


# ---- checks ----------------------------------------------------------------

def _array(value, what, shape=None, dtype=np.float64, finite=True, minimum=None):
    """`value` as a NumPy array of `dtype` and `shape` (None entries: any), or SceneError."""
    try:
        a = np.asarray(value)
        if a.dtype.kind not in "biuf":
            raise TypeError
    except (TypeError, ValueError):
        raise SceneError(f"{what} must hold numbers") from None
    if dtype is np.int32 and a.size and (np.any(a != np.round(a)) or a.min() < -2**31
                                         or a.max() > 2**31 - 1):
        raise SceneError(f"{what} must hold 32-bit integers")
    a = a.astype(dtype)
    if shape is not None and (a.ndim != len(shape) or any(
            s is not None and n != s for n, s in zip(a.shape, shape))):
        want = " × ".join("n" if s is None else str(s) for s in shape) or "a scalar"
        raise SceneError(f"{what} must have shape {want}, got {a.shape}")
    if finite and not np.all(np.isfinite(a)):
        raise SceneError(f"{what} holds a value that is not finite")
    if minimum is not None and a.size and a.min() < minimum:
        raise SceneError(f"{what} must not be below {minimum}, got {a.min()}")
    return a


def _spectrum(value, nb, what, lo=None, hi=None):
    a = _array(value, what)
    if a.ndim == 0:
        a = np.full(nb, float(a))
    if a.shape != (nb,):
        raise SceneError(f"{what} has {a.size} values, the scene has {nb} bands")
    if lo is not None and a.min() < lo or hi is not None and a.max() > hi:
        rng = f"lie in [{lo:g}, {hi:g}]" if hi is not None else f"not be below {lo:g}"
        raise SceneError(f"{what} must {rng}, got {a.min():g} to {a.max():g}")
    return a


def _transform(value, what, camera=False) -> np.ndarray:
    """3 × 4 (or 3 × 4 part of an affine 4 × 4) transform from a 3 × 4, 4 × 4 or flat 12/16 array."""
    a = _array(value, what)
    if a.shape in ((12,), (16,)):
        a = a.reshape(-1, 4)
    if a.shape not in ((3, 4), (4, 4)):
        raise SceneError(f"{what} must be 3 × 4 or 4 × 4, got shape {a.shape}")
    if a.shape == (4, 4) and not np.array_equal(a[3], [0.0, 0.0, 0.0, 1.0]):
        raise SceneError(f"{what}: the last row of a 4 × 4 transform must be 0 0 0 1")
    if abs(np.linalg.det(a[:3, :3])) < 1e-12:
        raise SceneError(f"{what} is singular" + (" (camera axes are degenerate)" if camera else ""))
    return a[:3]


def _sensor_matrix(sensor, what) -> np.ndarray:
    if sensor.transform is not None:
        return _transform(sensor.transform, f"{what} transform", camera=True)
    if sensor.position is None:
        raise SceneError(f"{what} needs a transform or a position")
    m = np.eye(4)[:3]
    m[:, 3] = _array(sensor.position, f"{what} position", (3,))
    return m


# ---- the scene ---------------------------------------------------------------

class Scene:
    """A whole scene as plain Python data; `build` turns it into a native scene.

    `bands` are the band centre wavelengths (nm); every spectrum has one value
    per band (a scalar stands for the same value in every band)."""

    def __init__(self, bands, materials=None, meshes=None, instances=None, sun=None, sky=None,
                 sensor=None, tile=None, thermal=False):
        self.bands = np.asarray(bands, dtype=np.float64).reshape(-1)
        self.materials = dict(materials or {})
        self.meshes = dict(meshes or {})
        self.instances = list(instances or [])
        self.sun, self.sky, self.sensor, self.tile = sun, sky, sensor, tile
        self.thermal = bool(thermal)

    @property
    def num_bands(self) -> int:
        return int(self.bands.size)

    def add_material(self, name: str, material) -> str:
        self.materials[name] = material
        return name

    def add_mesh(self, name: str, vertices, indices, material: str, normals=None) -> str:
        self.meshes[name] = Mesh(vertices, indices, material, normals)
        return name

    def add_instance(self, mesh: str, transform=None, terrain: bool = False) -> int:
        """Places the named mesh; returns the instance id the engines report."""
        self.instances.append(Instance(mesh, transform, terrain))
        return len(self.instances) - 1

    def copy(self, **changes) -> "Scene":
        """A shallow copy with some top-level attributes replaced (sun=..., sensor=...)."""
        s = Scene.__new__(Scene)
        s.__dict__.update(self.__dict__, materials=dict(self.materials), meshes=dict(self.meshes),
                          instances=list(self.instances))
        for k, v in changes.items():
            if k not in s.__dict__:
                raise TypeError(f"Scene has no attribute {k!r}")
            setattr(s, k, v)
        return s

    # -- checking and layout ----------------------------------------------------

    def compile(self) -> "Compiled":
        """Checks the whole description and lays it out for the engine; raises
        SceneError naming the band list, material, mesh, instance, sun, sky,
        sensor or tile at fault. Nothing native is touched."""
        return Compiled(self)

    def validate(self) -> None:
        self.compile()

    # -- native scenes ------------------------------------------------------------

    def build(self, backend: str = "cpu", ctx=None):
        """A built native scene: `EmbreeSceneManager` for "cpu", or the GPU
        `SceneManager` on the OptiXContext `ctx` for "gpu" (keep `ctx` alive
        for as long as the scene is used). The description is checked first."""
        import vorn_gpu
        compiled = self.compile()
        if backend == "cpu":
            native = vorn_gpu.EmbreeSceneManager()
        elif backend == "gpu":
            if compiled.nb > 128:
                raise SceneError(f"bands: the GPU scene holds at most 128 bands, got {compiled.nb}")
            if ctx is None:
                raise ValueError("build('gpu', ctx) needs the vorn_gpu.OptiXContext to build on")
            if not hasattr(vorn_gpu, "SceneManager"):
                raise RuntimeError("this vorn_gpu has no GPU SceneManager")
            native = vorn_gpu.SceneManager(ctx)
        else:
            raise ValueError(f"backend must be 'cpu' or 'gpu', got {backend!r}")
        compiled.apply(native)
        return native

    def apply_to(self, native) -> "Compiled":
        """Fills an empty native scene (either backend) with this scene and builds it."""
        compiled = self.compile()
        compiled.apply(native)
        return compiled

    # -- derived geometry ---------------------------------------------------------

    def bounds(self) -> tuple:
        """(lower, upper) corners of the world-space box around every instance."""
        c = self.compile()
        if not c.instances:
            return np.zeros(3), np.zeros(3)
        pts = np.concatenate([c.world_vertices(i) for i in range(len(c.instances))])
        return pts.min(axis=0), pts.max(axis=0)

    def triangle_areas(self) -> np.ndarray:
        """World-space area (m²) of every triangle of every instance, in the
        engines' primitive order (instances in order, then the mesh's triangles)."""
        c = self.compile()
        out = []
        for i, (mesh_name, _, _) in enumerate(c.instances):
            v = c.world_vertices(i)
            t = c.meshes[mesh_name][2]
            out.append(0.5 * np.linalg.norm(np.cross(v[t[:, 1]] - v[t[:, 0]], v[t[:, 2]] - v[t[:, 0]]),
                                            axis=1))
        return np.concatenate(out) if out else np.zeros(0)

    # -- files ----------------------------------------------------------------------

    def to_json(self, arrays: Optional[dict] = None) -> str:
        """The description as JSON; arrays go into `arrays` (name -> array) and the
        JSON refers to them by name. Without `arrays` they are summarised."""
        return json.dumps({"format": FORMAT, "version": FORMAT_VERSION,
                           "scene": _encode(self.__dict__, arrays, "scene")})

    def save(self, path) -> None:
        """Writes the checked scene to one NumPy .npz file with a JSON header."""
        self.compile()
        arrays = {}
        header = self.to_json(arrays)
        with open(path, "wb") as f:  # keeps the name as given (savez would add .npz)
            np.savez(f, __header__=np.array(header), **arrays)

    @staticmethod
    def load(path) -> "Scene":
        """Reads a scene written by save(); refuses files of a newer format."""
        with np.load(path, allow_pickle=False) as f:
            if "__header__" not in f.files:
                raise ValueError(f"{path}: not a vorn scene file (no header)")
            header = json.loads(str(f["__header__"]))
            if header.get("format") != FORMAT:
                raise ValueError(f"{path}: not a vorn scene file")
            version = header.get("version")
            if not isinstance(version, int) or version < 1:
                raise ValueError(f"{path}: bad scene file format version {version!r}")
            if version > FORMAT_VERSION:
                raise ValueError(f"{path}: scene file format version {version} is newer than "
                                 f"this vorn reads ({FORMAT_VERSION}); upgrade vorn to load it")
            state = _decode(header["scene"], {k: f[k] for k in f.files})
        scene = Scene.__new__(Scene)
        scene.__dict__.update(state)
        return scene

    def __repr__(self):
        return (f"Scene({self.num_bands} bands, {len(self.materials)} materials, "
                f"{len(self.meshes)} meshes, {len(self.instances)} instances)")


def _encode(value, arrays, path):
    if isinstance(value, np.ndarray):
        if arrays is None:
            return {"$array": list(value.shape), "dtype": value.dtype.str}
        arrays[path] = value
        return {"$array": path}
    if dataclasses.is_dataclass(value):
        return {"$type": type(value).__name__,
                **{f.name: _encode(getattr(value, f.name), arrays, f"{path}.{f.name}")
                   for f in dataclasses.fields(value)}}
    if isinstance(value, dict):
        return {"$dict": [[k, _encode(v, arrays, f"{path}.{k}")] for k, v in value.items()]}
    if isinstance(value, (list, tuple)):
        return {"$list" if isinstance(value, list) else "$tuple":
                [_encode(v, arrays, f"{path}.{i}") for i, v in enumerate(value)]}
    if isinstance(value, (np.generic,)):
        return value.item()
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    raise SceneError(f"{path}: cannot store a value of type {type(value).__name__}")


def _decode(value, arrays):
    if isinstance(value, dict):
        if "$array" in value:
            return arrays[value["$array"]]
        if "$type" in value:
            cls = _TYPES[value["$type"]]
            return cls(**{k: _decode(v, arrays) for k, v in value.items() if k != "$type"})
        if "$dict" in value:
            return {k: _decode(v, arrays) for k, v in value["$dict"]}
        if "$list" in value:
            return [_decode(v, arrays) for v in value["$list"]]
        if "$tuple" in value:
            return tuple(_decode(v, arrays) for v in value["$tuple"])
        raise ValueError("corrupt scene header")
    return value


class Compiled:
    """A checked scene laid out for the engine: the float32 spectral array, the
    offset of every material, of the sun and of the sky in it, mesh and
    instance ids. `apply(native)` replays it on a native scene of either backend."""

    def __init__(self, scene: Scene):
        bands = _array(scene.bands, "bands", (None,))
        nb = bands.size
        if nb < 1:
            raise SceneError("bands: the scene needs at least one band")
        if bands.min() <= 0:
            raise SceneError("bands: wavelengths must be positive (nm)")
        self.bands, self.nb, self.thermal = bands, nb, scene.thermal
        spectral, self.material_offsets, self.material_ids, self.material_params = [], {}, {}, []
        self.material_types = []

        def block(*quantities):
            start = sum(len(q) for q in spectral)
            spectral.extend(quantities)
            return start

        for kind, names in (("material", scene.materials), ("mesh", scene.meshes)):
            for name in names:
                if not isinstance(name, str) or not name:
                    raise SceneError(f"{kind} names must be non-empty strings, got {name!r}")
        for name, m in scene.materials.items():
            what = f"material {name!r}"
            if not isinstance(m, (Lambertian, Leaf, Rpv)):
                raise SceneError(f"{what} must be a Lambertian, Leaf or Rpv, got {type(m).__name__}")
            temps = [float(_array(getattr(m, t), f"{what} {t}", (), minimum=0.0))
                     for t in ("temperature", "sunlit_temperature", "shaded_temperature")]
            params = [0.0, 0.0] + temps
            if isinstance(m, Lambertian):
                q = [_spectrum(m.reflectance, nb, f"{what} reflectance", 0.0, 1.0)]
            elif isinstance(m, Leaf):
                front = _spectrum(m.front, nb, f"{what} front reflectance", 0.0, 1.0)
                back = front if m.back is None else _spectrum(m.back, nb, f"{what} back reflectance",
                                                              0.0, 1.0)
                t = _spectrum(m.transmittance, nb, f"{what} transmittance", 0.0, 1.0)
                for side, r in (("front", front), ("back", back)):
                    if np.any(r + t > 1.0 + 1e-9):
                        raise SceneError(f"{what}: {side} reflectance + transmittance exceeds 1 "
                                         f"(band {int(np.argmax(r + t))})")
                w = _array(m.sampling, f"{what} sampling", (2,), minimum=0.0)
                if w.sum() <= 0:
                    raise SceneError(f"{what} sampling weights must not both be 0")
                q, params[:2] = [front, back, t], [float(w[0]), float(w[1])]
            else:
                q = [_spectrum(getattr(m, n), nb, f"{what} {n}") for n in Rpv.QUANTITIES]
                if q[0].min() < 0:
                    raise SceneError(f"{what} rho0 must not be negative")
            self.material_ids[name] = len(self.material_ids)
            self.material_types.append(m.TYPE)
            self.material_params.append(params)
            self.material_offsets[name] = block(*q)

        self.meshes = {}
        for name, mesh in scene.meshes.items():
            what = f"mesh {name!r}"
            if not isinstance(mesh, Mesh):
                raise SceneError(f"{what} must be a vorn.Mesh, got {type(mesh).__name__}")
            v = _array(mesh.vertices, f"{what} vertices", (None, 3), np.float32)
            t = _array(mesh.indices, f"{what} indices", (None, 3), np.int32, finite=False)
            if len(t) == 0:
                raise SceneError(f"{what} has no triangles")
            if t.min() < 0 or t.max() >= len(v):
                raise SceneError(f"{what} indices must lie in [0, {len(v) - 1}], got "
                                 f"{t.min()} to {t.max()}")
            n = np.zeros((0, 3), np.float32) if mesh.normals is None else _array(
                mesh.normals, f"{what} normals", (len(v), 3), np.float32)
            if mesh.material not in self.material_ids:
                raise SceneError(f"{what} names material {mesh.material!r}, which the scene "
                                 f"does not have")
            self.meshes[name] = (len(self.meshes), v, t, n, self.material_ids[mesh.material])

        self.instances = []
        for i, inst in enumerate(scene.instances):
            what = f"instance {i}"
            if not isinstance(inst, Instance):
                raise SceneError(f"{what} must be a vorn.Instance, got {type(inst).__name__}")
            if inst.mesh not in self.meshes:
                raise SceneError(f"{what} names mesh {inst.mesh!r}, which the scene does not have")
            xf = np.eye(4)[:3] if inst.transform is None else _transform(
                inst.transform, f"{what} ({inst.mesh!r}) transform")
            self.instances.append((inst.mesh, xf, bool(inst.terrain)))

        sun = scene.sun
        if sun is None:  # a zero source straight overhead: the engines then see sky light only
            self.sun_direction = np.array([0.0, 0.0, 1.0])
            self.sun_offset = block(np.zeros(nb))
            self.sun_irradiance = np.zeros(nb)
        else:
            if not isinstance(sun, Sun):
                raise SceneError(f"sun must be a vorn.Sun, got {type(sun).__name__}")
            if sun.direction is not None:
                if sun.zenith is not None or sun.azimuth is not None:
                    raise SceneError("sun: give zenith and azimuth, or a direction, not both")
                d = _array(sun.direction, "sun direction", (3,))
                if not np.linalg.norm(d) > 0:
                    raise SceneError("sun direction must not be zero")
            elif sun.zenith is None or sun.azimuth is None:
                raise SceneError("sun needs a zenith and an azimuth (degrees), or a direction")
            else:
                z = float(_array(sun.zenith, "sun zenith", ()))
                _array(sun.azimuth, "sun azimuth", ())
                if not 0.0 <= z <= 180.0:
                    raise SceneError(f"sun zenith must lie in [0, 180] degrees, got {z}")
            self.sun_direction = sun.vector()
            self.sun_irradiance = _spectrum(sun.irradiance, nb, "sun irradiance", 0.0)
            self.sun_offset = block(self.sun_irradiance)

        sky, self.sky_kind, self.sky_offset = scene.sky, None, -1
        if isinstance(sky, UniformSky):
            self.sky_kind = "uniform"
            self.sky_radiance = _spectrum(sky.radiance, nb, "sky radiance", 0.0)
            self.sky_offset = block(self.sky_radiance)
        elif isinstance(sky, ParametricSky):
            self.sky_kind = "parametric"
            coeffs = _array(sky.coefficients, "sky coefficients", (nb, 9))
            lz = _spectrum(sky.zenith_radiance, nb, "sky zenith radiance", 0.0)
            self.sky_coefficients = np.concatenate([coeffs, lz[:, None]], axis=1)  # (nb, 10)
            s = self.sun_direction if sky.sun_direction is None else _array(
                sky.sun_direction, "sky sun_direction", (3,))
            if not np.linalg.norm(s) > 0:
                raise SceneError("sky sun_direction must not be zero")
            self.sky_sun = s / np.linalg.norm(s)
            self.sky_offset = block(self.sky_coefficients.reshape(-1))
        elif sky is not None:
            raise SceneError(f"sky must be a UniformSky or ParametricSky, got {type(sky).__name__}")

        self.sensor = None
        sensor = scene.sensor
        if sensor is not None:
            what = f"sensor ({type(sensor).__name__})"
            if not isinstance(sensor, (Orthographic, Perspective, Fisheye)):
                raise SceneError(f"sensor must be Orthographic, Perspective or Fisheye, got "
                                 f"{type(sensor).__name__}")
            for k in ("width", "height"):
                n = getattr(sensor, k)
                if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or not 1 <= n <= 65536:
                    raise SceneError(f"{what} {k} must be an integer in [1, 65536], got {n!r}")
            cam = np.vstack([_sensor_matrix(sensor, what), [0.0, 0.0, 0.0, 1.0]])
            ortho, fov, proj, follow = (0.0, 0.0), 60.0, 0, False
            if isinstance(sensor, Orthographic):
                ortho = tuple(_array(sensor.extent, f"{what} extent", (2,)))
                if min(ortho) <= 0:
                    raise SceneError(f"{what} extent must be positive, got {ortho}")
                follow = bool(sensor.terrain_following)
            else:
                fov = float(_array(sensor.fov, f"{what} fov", ()))
                top = 180.0 if isinstance(sensor, Perspective) else 360.0
                if not 0.0 < fov < top or (isinstance(sensor, Fisheye) and fov == top):
                    raise SceneError(f"{what} fov must lie in (0, {top:g}) degrees, got {fov}")
            if isinstance(sensor, Fisheye):
                if sensor.projection not in PROJECTIONS:
                    raise SceneError(f"{what} projection must be one of {', '.join(PROJECTIONS)}, "
                                     f"got {sensor.projection!r}")
                proj = PROJECTIONS[sensor.projection]
            self.sensor = dict(type=sensor.TYPE, width=int(sensor.width), height=int(sensor.height),
                               ortho_w=float(ortho[0]), ortho_h=float(ortho[1]),
                               cam_xform=cam.astype(np.float32).reshape(-1), fov=fov,
                               projection_type=proj, terrain_following=follow)

        self.tile = None
        if scene.tile is not None:
            t = scene.tile
            if not isinstance(t, Tile):
                raise SceneError(f"tile must be a vorn.Tile, got {type(t).__name__}")
            sx, sy = (float(_array(v, f"tile {k}", ())) for k, v in (("size_x", t.size_x),
                                                                   ("size_y", t.size_y)))
            if sx <= 0 or sy <= 0:
                raise SceneError(f"tile sizes must be positive, got {sx} × {sy}")
            reps = t.repetitions
            if isinstance(reps, bool) or not isinstance(reps, (int, np.integer)) or not \
                    0 <= reps <= 1_000_000:
                raise SceneError(f"tile repetitions must be an integer in [0, 1000000], got {reps!r}")
            self.tile = (int(reps), sx, sy)

        self.spectral = (np.concatenate(spectral) if spectral else np.zeros(0)).astype(np.float32)

    @property
    def terrain_instances(self) -> list:
        return [i for i, (_, _, terrain) in enumerate(self.instances) if terrain]

    def world_vertices(self, i: int) -> np.ndarray:
        mesh, xf, _ = self.instances[i]
        v = self.meshes[mesh][1].astype(np.float64)
        return v @ xf[:, :3].T + xf[:, 3]

    def extent(self):
        """(W, H) of the forward tracer's tile: the periodic tile, else the
        orthographic footprint; None when neither is set."""
        if self.tile is not None:
            return self.tile[1], self.tile[2]
        if self.sensor is not None and self.sensor["type"] == ORTHOGRAPHIC:
            return self.sensor["ortho_w"], self.sensor["ortho_h"]
        return None

    def apply(self, native) -> None:
        """Replays the scene on an empty native scene and builds it."""
        native.set_num_bands(self.nb)
        for ty, off, params in zip(self.material_types, self.material_offsets.values(),
                                   self.material_params):
            native.add_material(ty, off, [float(p) for p in params])
        native.upload_spectral_params(self.spectral)
        for mesh_id, v, t, n, mat in self.meshes.values():
            native.add_mesh(v, n, t, mat)
        for mesh, xf, _ in self.instances:
            native.add_instance_xform(self.meshes[mesh][0], xf.astype(np.float32).reshape(-1))
        native.set_emitter(0, self.sun_direction.astype(np.float32), self.sun_offset)
        if self.sky_kind == "uniform":
            native.set_sky(self.sky_offset)
        elif self.sky_kind == "parametric":
            native.set_hw_sky(self.sky_offset, *(float(c) for c in self.sky_sun))
        if self.sensor is not None:
            native.set_sensor(**self.sensor)
        if self.tile is not None:
            native.set_repetitive(*self.tile)
        if self.thermal:
            native.set_thermal_mode(True, [float(b) for b in self.bands])
        native.build()

    def sky_irradiance(self) -> np.ndarray:
        """Per band, the sky's irradiance on a horizontal plane, ∫ L cos θ dω."""
        if self.sky_kind == "uniform":
            return math.pi * self.sky_radiance
        if self.sky_kind != "parametric":
            return np.zeros(self.nb)
        # midpoint rule on a 180 × 360 grid of the hemisphere, in cos θ (so dω = d(cos θ) dφ)
        mu = (np.arange(180) + 0.5) / 180.0
        phi = (np.arange(360) + 0.5) * (2 * math.pi / 360)
        mu, phi = np.meshgrid(mu, phi, indexing="ij")
        st = np.sqrt(1 - mu * mu)
        d = np.stack([st * np.cos(phi), st * np.sin(phi), mu], axis=-1)
        return np.array([(sky_radiance(self.sky_coefficients[b], d, self.sky_sun) * mu).mean()
                         * 2 * math.pi for b in range(self.nb)])

    def incident(self) -> np.ndarray:
        """Per band, the down-welling irradiance on a horizontal plane (sun and sky)."""
        return self.sun_irradiance * max(float(self.sun_direction[2]), 0.0) + self.sky_irradiance()


def sky_radiance(c, d, s) -> np.ndarray:
    """The parametric sky's radiance towards directions `d` (..., 3) for one band's
    ten values c = A..I, zenith radiance, with the model's sun `s`."""
    A, B, C, D, E, F, G, H, I, lz = (float(x) for x in c)
    if lz <= 0:
        return np.zeros(d.shape[:-1])
    ct = np.maximum(0.001, d[..., 2])
    cg = np.clip(d @ s, -1, 1)
    g = np.arccos(cg)
    f = (1 + A * np.exp(B / ct)) * (1 + C * np.exp(D * g) + E * cg * cg + F * np.exp(G * g * g)
                                    + H * np.sqrt(ct) + I)
    ts = math.acos(min(max(float(s[2]), 0.0), 1.0))
    f0 = max((1 + A * math.exp(B)) * (1 + C * math.exp(D * ts) + E * math.cos(ts) ** 2
                                      + F * math.exp(G * ts * ts) + H + I), 0.001)
    return np.maximum(0.0, lz * f / f0)
