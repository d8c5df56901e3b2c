#!/usr/bin/env python3
"""The CPU backward renderer beside Mitsuba 3's vectorised CPU backend.

Both renderers get the same scene, built from the same NumPy arrays:

- a ground square (reflectance 0.2) under randomly oriented diamond leaves
  (two triangles each, two-sided Lambertian, reflectance 0.45, no normals);
- a sun 30 degrees from the zenith delivering E = 1000 on a plane normal to it,
  and a uniform sky of radiance 30;
- an orthographic nadir camera framing the plot, a box pixel filter.

Scenes: "comparison" (10 m plot, 4,000 leaf triangles) and "periodic" (a 20 m
tile of 100,000 leaf triangles repeated periodically: VORN's periodic tile
with `--wraps` crossings, Mitsuba's tile instanced over a (2 wraps + 1)^2 grid,
so its paths may wander as far; the two agree up to that edge effect).

Our max_depth counts scattering events and samples the sun at each of them,
Mitsuba's counts path vertices, so Mitsuba runs with max_depth + 1 (and Russian
roulette from one vertex later, the same path length). The renderers run
alternately, each repetition a full render with `--threads` threads; paths/s
counts one path per pixel sample. Agreement: the image means, and 8 x 8 pixel
block means compared against the noise of both images (VORN's from two
independent halves of its passes, Mitsuba's from the spread of its seeds).

Mitsuba is optional (pip install mitsuba); its LLVM variants need LLVM's
shared library (Debian: libllvm19), found through DRJIT_LIBLLVM_PATH or in the
usual places. Without either the benchmark says so and exits 0.

    python bench/peer_mitsuba.py [--scene comparison|periodic|both] [--spp 32]
                                 [--reps 5] [--depth 8] [--threads 2]

`--write-triangles FILE` writes the comparison scene's triangles (float32,
9 per triangle, the ground's two first) for bench_backward, which then times
our renderer on this scene beside raw Embree on its queries, and exits.
"""
import argparse
import glob
import os
import statistics
import sys
import time

# NumPy's BLAS threads would otherwise spin now and then beside both renderers.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import vorn_gpu  # noqa: E402

SUN_ZENITH_DEG = 30.0
SUN_IRRADIANCE = 1000.0
SKY_RADIANCE = 30.0
GROUND_RHO = 0.2
LEAF_RHO = 0.45
RR_DEPTH = 3  # simulate_cpu's Russian-roulette depth (scattering events)
BLOCK = 8  # pixels per side of the blocks whose means are compared

SCENES = {
    # name: plot side (m), leaves, leaf height range (m), leaf length range (m), wraps
    "comparison": dict(extent=10.0, leaves=2000, z=(0.5, 3.0), length=(0.3, 0.5)),
    "periodic": dict(extent=20.0, leaves=50000, z=(0.5, 5.0), length=(0.15, 0.25)),
}


# ---- the shared arrays -------------------------------------------------------

def leaf_arrays(rng, n, extent, z, length):
    """n diamond leaves (4 vertices, 2 triangles each) with normals facing up."""
    centre = np.column_stack([rng.uniform(0, extent, n), rng.uniform(0, extent, n),
                              rng.uniform(*z, n)])
    normal = rng.normal(size=(n, 3))
    normal /= np.linalg.norm(normal, axis=1, keepdims=True)
    normal[:, 2] = np.abs(normal[:, 2])
    helper = np.where(np.abs(normal[:, 2:3]) < 0.9, [[0.0, 0.0, 1.0]], [[1.0, 0.0, 0.0]])
    a = np.cross(normal, helper)
    a /= np.linalg.norm(a, axis=1, keepdims=True)
    w = np.cross(normal, a)
    ln = rng.uniform(*length, n)[:, None]
    half_w = 0.4 * ln
    verts = np.stack([centre - 0.5 * ln * a, centre + half_w * w,
                      centre + 0.5 * ln * a, centre - half_w * w], axis=1)
    base = 4 * np.arange(n)[:, None]
    tris = np.concatenate([base + [[0, 1, 2]], base + [[0, 2, 3]]], axis=1)
    return verts.reshape(-1, 3).astype(np.float32), tris.reshape(-1, 3).astype(np.int32)


def scene_arrays(name, seed=20240611):
    p = SCENES[name]
    e = p["extent"]
    rng = np.random.default_rng(seed)
    leaves = leaf_arrays(rng, p["leaves"], e, p["z"], p["length"])
    ground = (np.array([[0, 0, 0], [e, 0, 0], [e, e, 0], [0, e, 0]], np.float32),
              np.array([[0, 1, 2], [0, 2, 3]], np.int32))
    return dict(name=name, extent=e, ground=ground, leaves=leaves)


def sun_direction():
    z = np.radians(SUN_ZENITH_DEG)
    return np.array([np.sin(z), 0.0, np.cos(z)], np.float32)  # towards the sun


# ---- VORN --------------------------------------------------------------------

def build_vorn(arr, size, wraps):
    s = vorn_gpu.EmbreeSceneManager()
    s.set_num_bands(1)
    s.upload_spectral_params(np.array([GROUND_RHO, LEAF_RHO, SUN_IRRADIANCE, SKY_RADIANCE],
                                      np.float32))
    s.add_material(0, 0)  # Lambertian: both faces reflect
    s.add_material(0, 1)
    no_normals = np.zeros((0, 3), np.float32)
    for mesh_id, (v, i) in enumerate([arr["ground"], arr["leaves"]]):
        s.add_mesh(v, no_normals, i, mesh_id)
        s.add_instance(mesh_id)
    s.set_emitter(0, sun_direction(), 2)
    s.set_sky(3)
    e = arr["extent"]
    cam = np.array([1, 0, 0, e / 2, 0, 1, 0, e / 2, 0, 0, 1, 20, 0, 0, 0, 1], np.float32)
    s.set_sensor(0, size, size, e, e, cam)
    if wraps > 0:
        s.set_repetitive(wraps, e, e)
    s.build()
    return s


def render_vorn(scene, spp, depth, threads):
    kwargs = {}
    if threads and "num_threads" in (vorn_gpu.simulate_cpu.__doc__ or ""):
        kwargs["num_threads"] = threads
    t0, c0 = time.perf_counter(), time.process_time()
    img = vorn_gpu.simulate_cpu(scene, spp, depth, **kwargs)
    return np.asarray(img, np.float64)[..., 0], (time.perf_counter() - t0,
                                                 time.process_time() - c0)


# ---- Mitsuba -----------------------------------------------------------------

def import_mitsuba():
    """The mitsuba module in llvm_ad_mono, or None with the reason printed."""
    if "DRJIT_LIBLLVM_PATH" not in os.environ:
        for pattern in ("/usr/lib/x86_64-linux-gnu/libLLVM-1[5-9]*.so*",
                        "/usr/lib/llvm-*/lib/libLLVM*.so*"):
            found = sorted(glob.glob(pattern))
            if found:
                os.environ["DRJIT_LIBLLVM_PATH"] = found[-1]
                break
    try:
        import mitsuba as mi
        mi.set_variant("llvm_ad_mono")
        return mi
    except Exception as exc:  # not installed, or no LLVM for its JIT
        print(f"skipped: Mitsuba 3 llvm_ad_mono unavailable ({type(exc).__name__}: {exc})")
        return None


def mitsuba_mesh(mi, name, verts, tris, rho):
    props = mi.Properties()
    props["bsdf"] = mi.load_dict({"type": "twosided",
                                  "bsdf": {"type": "diffuse", "reflectance": rho}})
    mesh = mi.Mesh(name, len(verts), len(tris), props=props)
    p = mi.traverse(mesh)
    p["vertex_positions"] = np.ascontiguousarray(verts, np.float32).ravel()
    p["faces"] = np.ascontiguousarray(tris, np.uint32).ravel()
    p.update()
    return mesh


def build_mitsuba(mi, arr, size, depth, wraps):
    e = arr["extent"]
    shapes = {"ground": mitsuba_mesh(mi, "ground", *arr["ground"], GROUND_RHO),
              "leaves": mitsuba_mesh(mi, "leaves", *arr["leaves"], LEAF_RHO)}
    T = mi.ScalarTransform4f
    scene = {
        "type": "scene",
        "integrator": {"type": "path", "max_depth": depth + 1, "rr_depth": RR_DEPTH + 1},
        "sensor": {
            "type": "orthographic",
            "to_world": T().look_at(origin=[e / 2, e / 2, 20], target=[e / 2, e / 2, 0],
                                    up=[0, 1, 0]) @ T().scale([e / 2, e / 2, 1]),
            "film": {"type": "hdrfilm", "width": size, "height": size,
                     "rfilter": {"type": "box"}, "pixel_format": "luminance"},
            "sampler": {"type": "independent"},
        },
        "sun": {"type": "directional", "direction": (-sun_direction()).tolist(),
                "irradiance": SUN_IRRADIANCE},
        "sky": {"type": "constant", "radiance": SKY_RADIANCE},
    }
    if wraps == 0:
        scene.update(shapes)
    else:  # the tile copied over every tile a wrapped path can reach
        scene["tile"] = dict(type="shapegroup", **shapes)
        for i in range(-wraps, wraps + 1):
            for j in range(-wraps, wraps + 1):
                scene[f"tile_{i}_{j}"] = {
                    "type": "instance", "shapegroup": {"type": "ref", "id": "tile"},
                    "to_world": T().translate([i * e, j * e, 0])}
    return mi.load_dict(scene)


def render_mitsuba(mi, scene, spp, seed):
    t0, c0 = time.perf_counter(), time.process_time()
    img = np.array(mi.render(scene, spp=spp, seed=seed), np.float64)[..., 0]
    # Mitsuba's row 0 is the top of the view (largest y), ours the bottom.
    return img[::-1], (time.perf_counter() - t0, time.process_time() - c0)


# ---- comparison ----------------------------------------------------------------

def blocks(img):
    n = img.shape[0] // BLOCK
    return img[:n * BLOCK, :n * BLOCK].reshape(n, BLOCK, n, BLOCK).mean(axis=(1, 3))


def agreement(vorn, vorn_var, mts, mts_var):
    """Image means and block means measured in units of their combined noise."""
    mean_v, mean_m = vorn.mean(), mts.mean()
    sigma = np.sqrt((vorn_var.sum() + mts_var.sum())) / vorn.size
    var_b = (blocks(vorn_var) + blocks(mts_var)) / BLOCK**2
    z = (blocks(vorn) - blocks(mts)) / np.sqrt(np.maximum(var_b, 1e-30))
    return dict(mean_vorn=mean_v, mean_mts=mean_m, rel=(mean_v - mean_m) / mean_m,
                z_mean=(mean_v - mean_m) / sigma, chi2_dof=float(np.mean(z**2)),
                beyond_4=int(np.sum(np.abs(z) > 4)), blocks=z.size)


def stats(times, paths):
    """Median and minimum paths/s over wall times, and the median over CPU
    times (all threads of the process), which a loaded machine disturbs less."""
    rates = [paths / wall for wall, _ in times]
    return statistics.median(rates), min(rates), statistics.median(paths / c for _, c in times)


def run_scene(mi, name, args):
    arr = scene_arrays(name)
    wraps = args.wraps if name == "periodic" else 0
    size, spp = args.size, args.spp
    tris = len(arr["leaves"][1])
    vs = build_vorn(arr, size, wraps)
    ms = build_mitsuba(mi, arr, size, args.depth, wraps)
    render_mitsuba(mi, ms, spp, seed=1000)  # compiles the kernels once
    t_v, t_m, mts_imgs = [], [], []
    for rep in range(args.reps):
        img_v, dt = render_vorn(vs, spp, args.depth, args.threads)
        t_v.append(dt)
        img_m, dt = render_mitsuba(mi, ms, spp, seed=rep)
        t_m.append(dt)
        mts_imgs.append(img_m)
    # Passes are seeded by their index: passes spp/2 .. spp-1 are independent of
    # the first half, so the two halves give VORN's per-pixel noise.
    half, _ = render_vorn(vs, spp // 2, args.depth, args.threads)
    second = 2.0 * img_v - half
    vorn_var = (half - second) ** 2 / 4.0
    mts = np.mean(mts_imgs, axis=0)
    mts_var = np.var(mts_imgs, axis=0, ddof=1) / len(mts_imgs)
    a = agreement(img_v, vorn_var, mts, mts_var)

    paths = float(size * size * spp)
    (vmed, vmin, vcpu), (mmed, mmin, mcpu) = stats(t_v, paths), stats(t_m, paths)
    load = os.getloadavg()
    print(f"\n[{name}] ground + {tris} leaf triangles, plot {arr['extent']:.0f} m"
          + (f", periodic tile, {wraps} wraps (Mitsuba: {2 * wraps + 1}^2 instances)"
             if wraps else "")
          + f", {size}x{size}, spp {spp}, depth {args.depth}, {args.threads} threads, "
          f"{args.reps} alternating reps, load {load[0]:.2f} {load[1]:.2f}")
    print(f"  VORN simulate_cpu     : median {vmed:10.0f} paths/s   min {vmin:10.0f}"
          f"   per CPU second {vcpu:10.0f}")
    print(f"  Mitsuba llvm_ad_mono  : median {mmed:10.0f} paths/s   min {mmin:10.0f}"
          f"   per CPU second {mcpu:10.0f}")
    print(f"  VORN / llvm_ad_mono   : median {vmed / mmed:.2f}   min {vmin / mmin:.2f}"
          f"   per CPU second {vcpu / mcpu:.2f}")
    print(f"  image mean: VORN {a['mean_vorn']:.4f}  Mitsuba {a['mean_mts']:.4f}  "
          f"({100 * a['rel']:+.3f} %, {a['z_mean']:+.1f} sigma); {a['blocks']} blocks of "
          f"{BLOCK}x{BLOCK}: chi2/dof {a['chi2_dof']:.2f}, {a['beyond_4']} beyond 4 sigma")
    agree = abs(a["z_mean"]) < 4 and a["chi2_dof"] < 1.5
    print("  images agree within Monte Carlo noise" if agree else
          "  images DIFFER beyond Monte Carlo noise" +
          (" (the periodic tile against a finite instance grid)" if wraps else ""))
    return agree


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scene", choices=["comparison", "periodic", "both"], default="both")
    ap.add_argument("--spp", type=int, default=32)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--depth", type=int, default=8)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--size", type=int, default=128)
    ap.add_argument("--wraps", type=int, default=2)
    ap.add_argument("--write-triangles", metavar="FILE")
    args = ap.parse_args()
    if args.write_triangles:
        arr = scene_arrays("comparison")
        tris = np.concatenate([v[i].reshape(-1, 9) for v, i in (arr["ground"], arr["leaves"])])
        tris.astype("<f4").tofile(args.write_triangles)
        print(f"{len(tris)} triangles written to {args.write_triangles}")
        return 0
    mi = import_mitsuba()
    if mi is None:
        return 0
    import drjit as dr
    dr.set_thread_count(args.threads)
    names = ["comparison", "periodic"] if args.scene == "both" else [args.scene]
    for name in names:
        run_scene(mi, name, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
