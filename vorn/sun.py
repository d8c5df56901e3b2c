"""Sun position (extra `optics`: pvlib): zenith, azimuth and the direction VORN
expects, from time and place. Times without a time zone are taken as UTC."""
from __future__ import annotations

import dataclasses

import numpy as np

from ._extras import require
from .scene import Sun


@dataclasses.dataclass
class SunPosition:
    zenith: np.ndarray     # degrees from the vertical (refracted when refraction=True)
    azimuth: np.ndarray    # degrees clockwise from north
    direction: np.ndarray  # (..., 3) unit vectors towards the sun, x east, y north, z up


def position(time, latitude, longitude, altitude=0.0, pressure=None, temperature=12.0,
             refraction=True, delta_t=67.0) -> SunPosition:
    """Sun position by the NREL solar position algorithm (pvlib) at `time`
    (a timestamp, string or sequence of them), `latitude`/`longitude` in
    degrees (east positive), `altitude` in metres; `pressure` in Pa (default:
    from the altitude) and `temperature` in °C enter the refraction correction,
    which `refraction=False` leaves out (true geometric zenith)."""
    pvlib = require("pvlib", "optics", "Sun position")
    pd = require("pandas", "optics", "Sun position")
    times = pd.DatetimeIndex(np.atleast_1d(pd.to_datetime(time)))
    if times.tz is None:
        times = times.tz_localize("UTC")
    if pressure is None:
        pressure = pvlib.atmosphere.alt2pres(altitude)
    sp = pvlib.solarposition.get_solarposition(times, latitude, longitude, altitude=altitude,
                                               pressure=pressure, temperature=temperature,
                                               method="nrel_numpy", delta_t=delta_t)
    zen = sp["apparent_zenith" if refraction else "zenith"].to_numpy(np.float64)
    azi = sp["azimuth"].to_numpy(np.float64)
    z, a = np.radians(zen), np.radians(azi)
    d = np.stack([np.sin(z) * np.sin(a), np.sin(z) * np.cos(a), np.cos(z)], axis=-1)
    if np.ndim(time) == 0 and not isinstance(time, (list, tuple)):
        zen, azi, d = zen[0], azi[0], d[0]
    return SunPosition(zen, azi, d)


def at(time, latitude, longitude, irradiance, **kwargs) -> Sun:
    """A vorn.Sun with the given band irradiance, placed where the sun stands at
    `time` over `latitude`, `longitude` (options as for position())."""
    p = position(time, latitude, longitude, **kwargs)
    if np.ndim(p.zenith) != 0:
        raise ValueError("at() takes one time")
    return Sun(irradiance, zenith=float(p.zenith), azimuth=float(p.azimuth))
