"""Leaf and soil optics (extra `optics`: prosail) and band averaging of
spectra onto a scene's bands."""
from __future__ import annotations

import dataclasses

import numpy as np

from ._extras import require
from .scene import Lambertian, Leaf

_trapz = getattr(np, "trapezoid", None) or np.trapz
FWHM_PER_SIGMA = 2.3548200450309493


@dataclasses.dataclass
class Spectrum:
    wavelength: np.ndarray  # nm
    values: np.ndarray


def prospect(n, cab, car, cw, cm, cbrown=0.0, ant=0.0, version="D") -> tuple:
    """PROSPECT leaf reflectance and transmittance, 400-2500 nm every 1 nm,
    from the structure parameter N, chlorophyll a+b and carotenoids (µg cm⁻²),
    equivalent water thickness Cw and dry matter Cm (g cm⁻²), brown pigments
    and anthocyanins; version "D" or "5". Returns (reflectance, transmittance)
    as Spectrum objects."""
    prosail = require("prosail", "optics", "PROSPECT")
    wl, r, t = prosail.run_prospect(n, cab, car, cbrown, cw, cm, ant=ant, prospect_version=version)
    wl = np.asarray(wl, np.float64)
    return Spectrum(wl, np.asarray(r, np.float64)), Spectrum(wl, np.asarray(t, np.float64))


def soil(brightness=1.0, dry=1.0) -> Spectrum:
    """Soil reflectance 400-2500 nm as prosail composes it: `brightness` times
    the mix of its dry and wet soil spectra, the dry one weighted `dry`."""
    prosail = require("prosail", "optics", "Soil spectra")
    lib = prosail.spectral_lib.soil
    r = brightness * (dry * lib.rsoil1 + (1.0 - dry) * lib.rsoil2)
    return Spectrum(np.arange(400.0, 2501.0), np.asarray(r, np.float64))


def band_average(spectrum, centres=None, widths=None, responses=None, response_wavelength=None,
                 shape="box") -> np.ndarray:
    """Averages a spectrum (a Spectrum, or a (wavelength, values) pair) over
    bands, either given by `centres` and `widths` (nm; `shape` "box": flat
    over centre ± width/2, or "gaussian": width is the full width at half
    maximum) or by `responses` (bands × samples) sampled at
    `response_wavelength`. The spectrum is interpolated linearly between its
    samples; a band must lie inside it."""
    wl, val = (spectrum.wavelength, spectrum.values) if isinstance(spectrum, Spectrum) else spectrum
    wl, val = np.asarray(wl, np.float64), np.asarray(val, np.float64)
    if wl.ndim != 1 or wl.shape != val.shape or wl.size < 2 or np.any(np.diff(wl) <= 0):
        raise ValueError("the spectrum needs increasing wavelengths and one value per wavelength")
    out = []
    if responses is not None:
        rw = np.asarray(response_wavelength, np.float64)
        resp = np.atleast_2d(np.asarray(responses, np.float64))
        if resp.shape[1] != rw.size:
            raise ValueError("responses need one value per response_wavelength")
        for k, rk in enumerate(resp):
            inside = rw[rk > 0]
            if inside.size == 0 or inside.min() < wl[0] or inside.max() > wl[-1]:
                raise ValueError(f"band {k}: its response is empty or reaches outside the spectrum")
            x = np.union1d(wl[(wl >= inside.min()) & (wl <= inside.max())], rw[rk > 0])
            w = np.interp(x, rw, rk, left=0.0, right=0.0)
            out.append(_trapz(w * np.interp(x, wl, val), x) / _trapz(w, x)
                       if x.size > 1 else np.interp(x[0], wl, val))
        return np.array(out)
    if shape not in ("box", "gaussian"):
        raise ValueError("shape must be 'box' or 'gaussian'")
    centres = np.atleast_1d(np.asarray(centres, np.float64))
    widths = np.broadcast_to(np.asarray(widths, np.float64), centres.shape)
    if np.any(widths <= 0):
        raise ValueError("band widths must be positive")
    for c, w in zip(centres, widths):
        sigma = w / FWHM_PER_SIGMA
        a, b = (c - w / 2, c + w / 2) if shape == "box" else (c - 4 * sigma, c + 4 * sigma)
        if shape == "box" and (a < wl[0] or b > wl[-1]) or not wl[0] <= c <= wl[-1]:
            raise ValueError(f"band {c:g} ± {w / 2:g} nm reaches outside the spectrum "
                             f"({wl[0]:g}-{wl[-1]:g} nm)")
        a, b = max(a, wl[0]), min(b, wl[-1])  # a Gaussian is cut at the spectrum's ends
        x = np.concatenate([[a], wl[(wl > a) & (wl < b)], [b]])
        weight = np.ones_like(x) if shape == "box" else np.exp(-0.5 * ((x - c) / sigma) ** 2)
        out.append(_trapz(weight * np.interp(x, wl, val), x) / _trapz(weight, x))
    return np.array(out)


def leaf(bands, widths=10.0, n=1.5, cab=40.0, car=8.0, cw=0.01, cm=0.009, cbrown=0.0, ant=0.0,
         **material) -> Leaf:
    """A vorn.Leaf from PROSPECT (same reflectance on both faces), averaged
    over box bands at the centres `bands` (nm) of width `widths` (nm)."""
    r, t = prospect(n, cab, car, cw, cm, cbrown, ant)
    return Leaf(front=band_average(r, bands, widths), transmittance=band_average(t, bands, widths),
                **material)


def soil_material(bands, widths=10.0, brightness=1.0, dry=1.0, **material) -> Lambertian:
    """A Lambertian soil from prosail's soil spectra, averaged over box bands."""
    return Lambertian(band_average(soil(brightness, dry), bands, widths), **material)
