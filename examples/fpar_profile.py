"""Vertical profile of absorbed PAR (fPAR per layer) of a canopy, from the CPU
forward photon tracer, printed as a table and drawn as a bar chart (PNG).

    python examples/fpar_profile.py --out out

Photons from the sun and the sky enter the canopy from above; the fraction of
the incident PAR absorbed in each horizontal layer is that layer's fPAR. The
incident energy is what the photons bring in: everything absorbed plus
everything escaping upwards, which is exact when a ground closes the scene
from below (the tracer conserves energy up to Monte Carlo error).
"""
from __future__ import annotations

import argparse
import dataclasses
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import vorn_gpu  # noqa: E402


@dataclasses.dataclass
class FparProfile:
    layer_heights: np.ndarray  # nz + 1 boundaries (m); layer 0 is the ground slab
    absorbed: np.ndarray       # (nz, bands) absorbed energy per layer and band
    escaped: np.ndarray        # (bands,) energy leaving upwards
    par_bands: tuple           # band indices counted as PAR

    @property
    def incident(self) -> np.ndarray:
        """(bands,) energy brought in by the photons."""
        return self.absorbed.sum(axis=0) + self.escaped

    @property
    def fpar(self) -> np.ndarray:
        """(nz,) fraction of the incident PAR absorbed in each layer."""
        b = list(self.par_bands)
        return self.absorbed[:, b].sum(axis=1) / self.incident[b].sum()


def fpar_profile(scene, num_bands: int, par_bands=None, num_layers: int = 10,
                 ground_height: float = 0.05, num_photons: int = 1_000_000,
                 prob_sun: float = 0.8, progress=None) -> FparProfile:
    """Runs simulate_forward_cpu on the built `scene` and returns its absorbed
    PAR per layer: one ground slab below `ground_height`, then `num_layers`
    equal layers up to the canopy top (hits outside the boundaries count in
    the nearest border layer). The scene's measurement plane is set to
    its top so that photons start just above the canopy. `par_bands` (default:
    every band) are the bands summed as PAR."""
    top = float(scene.max_height())
    if top <= ground_height:
        raise ValueError(f"the canopy top ({top} m) must lie above the ground slab")
    scene.set_measurement_plane(top)
    layers = np.concatenate([[-1.0], np.linspace(ground_height, top, num_layers + 1)])
    r = vorn_gpu.simulate_forward_cpu(scene, layer_heights=layers.astype(np.float32),
                                      num_photons=num_photons, num_bands=num_bands,
                                      brf_directions=[0.0, 0.0, 1.0], num_brf_dirs=1,
                                      prob_sun=prob_sun, progress=progress)
    absorbed = r["grid"].sum(axis=(1, 2)).astype(np.float64)  # (nz, bands)
    par = tuple(range(num_bands)) if par_bands is None else tuple(par_bands)
    return FparProfile(layers, absorbed, r["albedo"].astype(np.float64), par)


def format_profile(p: FparProfile) -> str:
    """The profile as a table, top layer first."""
    lines = ["layer (m)          fPAR"]
    fpar = p.fpar
    for i in range(len(fpar) - 1, -1, -1):
        lo = "ground" if i == 0 else f"{p.layer_heights[i]:6.2f}"
        hi = f"{p.layer_heights[i + 1]:6.2f}"
        lines.append(f"{lo:>6} - {hi}   {fpar[i]:7.4f}  " + "#" * int(round(60 * fpar[i])))
    total = fpar.sum()
    lines.append(f"canopy {fpar[1:].sum():.4f}, ground {fpar[0]:.4f}, "
                 f"absorbed {total:.4f}, reflected {1.0 - total:.4f}")
    return "\n".join(lines)


def plot_profile(p: FparProfile, path):
    """Draws the profile as a bar chart (needs matplotlib): one horizontal bar per
    layer spanning its heights, its length the layer's fPAR; the ground slab is
    drawn as a thin band under 0 m. Writes a PNG to `path` and returns the
    chart's matplotlib Axes."""
    from matplotlib.figure import Figure  # no pyplot: no GUI backend, no global state

    fpar = p.fpar
    z = p.layer_heights.copy()
    z[0] = -0.1 * (z[-1] - z[1])
    fig = Figure(figsize=(6.4, 4.8), dpi=100, layout="constrained")
    ax = fig.add_subplot()
    ax.barh(z[1:-1], fpar[1:], height=np.diff(z[1:]), align="edge", color="#3c963c",
            edgecolor="white", label="canopy layer")
    ax.barh(z[0], fpar[0], height=z[1] - z[0], align="edge", color="#966432",
            edgecolor="white", label=f"ground (below {p.layer_heights[1]:g} m)")
    ax.axhline(0.0, color="black", linewidth=0.8)
    ax.set_xlabel("fPAR: fraction of the incident PAR absorbed in the layer (dimensionless)")
    ax.set_ylabel("height above ground (m)")
    ax.set_title(f"Absorbed PAR per layer: canopy {fpar[1:].sum():.3f}, ground {fpar[0]:.3f}")
    ax.set_xlim(0.0, 1.1 * max(float(fpar.max()), 1e-12))
    ax.set_ylim(z[0], z[-1])
    ax.legend(loc="upper right")
    fig.savefig(path)
    return ax


def main(argv=None) -> int:
    from canopy import build_canopy

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out", help="output folder")
    parser.add_argument("--photons", type=int, default=1_000_000)
    args = parser.parse_args(argv)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    scene = vorn_gpu.EmbreeSceneManager()
    canopy = build_canopy(scene)
    # Blue and red lie in the PAR range (400-700 nm); the third band is near infrared.
    profile = fpar_profile(scene, canopy.num_bands, par_bands=(0, 1), num_photons=args.photons)
    print(format_profile(profile))
    plot_profile(profile, out / "fpar_profile.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
