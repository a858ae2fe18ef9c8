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
  cabinet's width w, f_b = 115 / w Hz (w in metres), far behind:
  B(f) = 1 / (1 + (f / f_b)^2). At the front plane (|az| = 90 deg, psi = 90 deg)
  the field is the front's, V(el) D^2(ka) / D^2(el), and just behind it the
  front field bends round the cabinet's edge into the shadow. That part is taken
  as the creeping wave on a rigid convex body (Fock's shadow-zone asymptotics,
  as in Keller's geometrical theory of diffraction) of radius a = w / 2: its
  energy falls as exp(-2 tau sin(60 deg) m beta), m = (k a / 2)^(1/3), tau = 1.0188
  the first zero of Ai', beta the angle behind the front plane (sin beta =
  -cos el cos az). The rear factor R adds it to the far rear sound:
  R(f, beta) = B + (D^2(ka) - B) exp(-1.765 m beta), and behind the plane
  p^2(el, az) = V(el) * R(f, beta) / D^2(el). R equals the front value at the
  plane, so the field has no step there; at 4 kHz it falls about 10 dB per
  radian (0.17 dB per degree) towards B, and directly behind it stands within
  1.5 dB of B; at low frequencies D^2 and B are both near 1. Against the exact
  series of a line source on a rigid circular cylinder the exponential follows
  the mean fall over the first 45 degrees behind the plane within about 1.5 dB
  (at ka 4 to 9; the exact field there also combs where the two waves round the
  two sides meet, which the band averages out).
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

__all__ = ["piston", "horizontal_factor", "sphere_power", "driver_radius", "cabinet_width", "baffle_step_hz",
           "baffle_factor",
           "shadow_decay", "rear_factor", "SPEED_OF_SOUND"]

SPEED_OF_SOUND = 343.0     # m/s, as in the library
WOOFER_RADIUS = 0.04       # m, the bundled models' woofers (Vexal80: 0.05)
LARGE_WOOFER_RADIUS = 0.05
TWEETER_RADIUS = 0.0125    # m
CROSSOVER_HZ = 2000.0      # where the tweeter line takes over in two-way models
_AZIMUTH_NODES = 24        # Gauss-Legendre nodes over the front half of the azimuth
_ELEVATION_NODES = 46      # 2-degree grid of |el| on which the horizontal factor is formed
# Energy decay of the creeping wave per radian and per Fock parameter m: 2 tau sin(60 deg), tau = 1.01879
# the first zero of the derivative of the Airy function (the rigid body's first creeping mode).
_CREEPING_DECAY = 2.0 * 1.01879 * math.sin(math.pi / 3.0)


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
    rear : (F,) array_like or callable
        Rear radiation R relative to the piston's axis, energy: the same at
        every angle behind the front plane, or a function of those angles
        (rad, an array of any shape S) that gives R as an (F, *S) array
        (:func:`rear_factor` with the model bound).
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
    az = 0.25 * math.pi * (nodes + 1.0)             # 0 .. pi/2: a quarter (the other by symmetry)
    weights = 0.25 * math.pi * weights
    cos_psi = np.cos(el_grid)[None, :, None] * np.cos(az)[None, None, :]
    front = piston(ka, np.sqrt(np.maximum(0.0, 1.0 - cos_psi**2))) ** 2
    if callable(rear):
        # The rear quarter, az from 90 to 180 degrees: sin(behind) = cos el sin(az - 90 deg).
        behind = np.arcsin(np.cos(el_grid)[:, None] * np.sin(az)[None, :])
        rear_integral = 2.0 * np.sum(np.asarray(rear(behind), dtype=float) * weights, axis=2)
    else:
        rear_integral = math.pi * np.asarray(rear, dtype=float)[:, None]
    integral = 2.0 * np.sum(front * weights, axis=2) + rear_integral
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
    ka : (F,) array_like
    rear : (F,) array_like or callable
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


def cabinet_width(model) -> float:
    """Width of the cabinet's front, m: three woofer radii."""
    return 3.0 * (LARGE_WOOFER_RADIUS if model.woofer_spacing > 0.1 else WOOFER_RADIUS)


def baffle_step_hz(model) -> float:
    """Baffle step of the cabinet, Hz: 115 / width."""
    return 115.0 / cabinet_width(model)


def baffle_factor(freq, model) -> np.ndarray:
    """Rear radiation far behind the front plane relative to the front axis, energy: 1 / (1 + (f / f_b)^2)."""
    return 1.0 / (1.0 + (np.asarray(freq, dtype=float) / baffle_step_hz(model)) ** 2)


def shadow_decay(ka_body) -> np.ndarray:
    """Energy decay of the creeping wave round a rigid body of radius a, per radian: 1.765 (ka / 2)^(1/3)."""
    return _CREEPING_DECAY * np.cbrt(0.5 * np.asarray(ka_body, dtype=float))


def rear_factor(freq, model, behind) -> np.ndarray:
    """Rear radiation relative to the driver's axis, energy, at angles behind the front plane.

    Parameters
    ----------
    freq : (F,) array_like
        Frequencies, Hz.
    model : talvek.models.ModelInfo
        The column: its drivers' radius and its cabinet's width.
    behind : array_like, shape S
        Angles behind the front plane, rad (0 on the plane, pi/2 straight
        behind); negative ones are taken as 0.

    Returns
    -------
    (F, *S) ndarray
        R(f, beta) = B + (D^2(ka) - B) exp(-shadow_decay(k w / 2) beta) (see the module text).
    """
    freq = np.asarray(freq, dtype=float)
    behind = np.maximum(0.0, np.asarray(behind, dtype=float))
    k = 2.0 * math.pi * freq / SPEED_OF_SOUND
    plane = piston(k * driver_radius(freq, model), 1.0) ** 2
    floor = baffle_factor(freq, model)
    half_width = 0.5 * cabinet_width(model)
    expand = (slice(None),) + (None,) * behind.ndim
    decay = np.exp(-shadow_decay(k * half_width)[expand] * behind[None, ...])
    return floor[expand] + (plane - floor)[expand] * decay
