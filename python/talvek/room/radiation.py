"""Sound power of the column from its directivity over the whole sphere.

The library predicts the field in the vertical plane through the column
only. The rest of the sphere follows from how the column is built: a
vertical line of drivers, each a rigid piston in the cabinet's front baffle.

* The line's interference depends only on the angle to the column's axis, so
  the vertical pattern V(el) holds for every azimuth; the drivers' own
  pattern depends on the angle psi from their axis, cos psi = cos el cos az.
  In front of the baffle the pressure is therefore
  p^2(el, az) = V(el) * D^2(psi) / D^2(el), with D = 2 J1(ka sin psi) / (ka sin psi)
  the baffled piston, the same pistons the models are made of.
* Behind the baffle the cabinet radiates what diffracts round it: at low
  frequencies as much as in front (the column is then omnidirectional
  horizontally), falling at 6 dB per octave above the baffle step of the
  cabinet's width w, f_b = 115 / w Hz (w in metres):
  p^2(el, az) = V(el) * B(f) / D^2(el), B = 1 / (1 + (f / f_b)^2), for |az| > 90 deg.
  A column on a wall or a pillar sends part of that rear sound into it; the
  estimate counts it as radiated, so it errs towards more reflected sound.

The power is the integral of p^2 over a sphere of radius R, in the terms of
dB SPL: ``10 log10(power / p0^2)`` with p0 = 20 uPa is the sound power level
re 1 pW for a characteristic impedance of 400 rayl, the convention of
Lp = Lw + 10 log10(Q / (4 pi r^2)).
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["piston", "horizontal_factor", "sphere_power", "driver_radius", "baffle_step_hz", "rear_factor",
           "SPEED_OF_SOUND"]

SPEED_OF_SOUND = 343.0     # m/s, as in the library
WOOFER_RADIUS = 0.04       # m, the bundled models' woofers (Vexal80: 0.05)
LARGE_WOOFER_RADIUS = 0.05
TWEETER_RADIUS = 0.0125    # m
CROSSOVER_HZ = 2000.0      # where the tweeter line takes over in two-way models
_AZIMUTH_NODES = 24        # Gauss-Legendre nodes over the front half of the azimuth
_ELEVATION_NODES = 46      # 2-degree grid of |el| on which the horizontal factor is formed


def _j1(x: np.ndarray) -> np.ndarray:
    """Bessel function J1 by its power series: exact to rounding for 0 <= x <= 6."""
    x = np.asarray(x, dtype=float)
    half = 0.5 * x
    term = half.copy()
    total = term.copy()
    for m in range(1, 30):
        term = term * (-(half * half) / (m * (m + 1)))
        total = total + term
    return total


def piston(ka, sin_angle) -> np.ndarray:
    """Far-field pressure of a baffled piston relative to its axis, 2 J1(x) / x with x = ka sin(angle).

    Valid for ka up to 6 (the bundled drivers stay below 3 in the analysed bands).
    """
    x = np.abs(np.asarray(ka, dtype=float) * np.asarray(sin_angle, dtype=float))
    safe = np.where(x > 1e-8, x, 1.0)
    return np.where(x > 1e-8, 2.0 * _j1(safe) / safe, 1.0)


def horizontal_factor(ka, rear, elevation) -> np.ndarray:
    """The azimuth integral of p^2 at each elevation, relative to the vertical plane's p^2 there.

    Parameters
    ----------
    ka : (F,) array_like
        Piston's wavenumber times radius per frequency.
    rear : (F,) array_like
        Rear radiation B relative to the piston's axis, energy.
    elevation : (A,) array_like
        Elevations from the forward normal towards the column's axis, rad.

    Returns
    -------
    (F, A) ndarray
        integral over az of p^2(el, az) d az, divided by p^2(el, 0), rad.
    """
    ka = np.asarray(ka, dtype=float)[:, None, None]
    el_grid = np.linspace(0.0, 0.5 * math.pi, _ELEVATION_NODES)
    nodes, weights = np.polynomial.legendre.leggauss(_AZIMUTH_NODES)
    az = 0.25 * math.pi * (nodes + 1.0)             # 0 .. pi/2, the front quarter (the rest by symmetry)
    cos_psi = np.cos(el_grid)[None, :, None] * np.cos(az)[None, None, :]
    front = piston(ka, np.sqrt(np.maximum(0.0, 1.0 - cos_psi**2))) ** 2
    integral = 2.0 * np.sum(front * (0.25 * math.pi * weights), axis=2) \
        + math.pi * np.asarray(rear, dtype=float)[:, None]
    in_plane = np.maximum(piston(ka[:, :, 0], np.sin(el_grid)[None, :]) ** 2, 1e-6)
    ratio = integral / in_plane
    el = np.abs(np.asarray(elevation, dtype=float))
    return np.stack([np.interp(el, el_grid, row) for row in ratio])


def sphere_power(vertical, elevation, radius: float, ka, rear, *, factor=None) -> np.ndarray:
    """Integral of p^2 over the sphere, Pa^2 m^2, from the vertical plane's p^2.

    Parameters
    ----------
    vertical : (F, A) array_like
        p^2 on an arc of ``radius`` round the column's centre in its vertical
        plane, Pa^2, at ``elevation`` (rad, from -pi/2 to pi/2, increasing).
    radius : float
        The arc's radius, m.
    ka, rear : (F,) array_like
        See :func:`horizontal_factor`.
    factor : (F, A) array_like, keyword-only
        :func:`horizontal_factor` of ``ka``, ``rear`` and ``elevation``, when
        the caller has it already (it depends on the column, not the design).

    Returns
    -------
    (F,) ndarray
        Divided by p0^2, the sound power (see the module text).
    """
    el = np.asarray(elevation, dtype=float)
    factor = horizontal_factor(ka, rear, el) if factor is None else np.asarray(factor, dtype=float)
    integrand = np.asarray(vertical, dtype=float) * factor * np.cos(el)[None, :]
    # The trapezoidal rule over elevation.
    return radius**2 * np.sum(0.5 * (integrand[:, 1:] + integrand[:, :-1]) * np.diff(el)[None, :], axis=1)


def driver_radius(freq, model) -> np.ndarray:
    """Radius of the pistons that play each frequency in ``model`` (a :class:`talvek.models.ModelInfo`), m."""
    woofer = LARGE_WOOFER_RADIUS if model.woofer_spacing > 0.1 else WOOFER_RADIUS
    freq = np.asarray(freq, dtype=float)
    if not model.two_way:
        return np.full(freq.shape, woofer)
    return np.where(freq < CROSSOVER_HZ, woofer, TWEETER_RADIUS)


def baffle_step_hz(model) -> float:
    """Baffle step of the cabinet, Hz: 115 / width, the width three woofer radii."""
    woofer = LARGE_WOOFER_RADIUS if model.woofer_spacing > 0.1 else WOOFER_RADIUS
    return 115.0 / (3.0 * woofer)


def rear_factor(freq, model) -> np.ndarray:
    """Rear radiation relative to the front axis, energy: 1 / (1 + (f / f_b)^2)."""
    return 1.0 / (1.0 + (np.asarray(freq, dtype=float) / baffle_step_hz(model)) ** 2)
