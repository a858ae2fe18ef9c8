"""The model document: one JSON object holding a column's geometry, measured
prototypes, electronics and design settings, in the form the library loads.

Every column, bundled or the user's, is first brought into a
:class:`ColumnPlan` (physical values on the model's grids) and then written
out here, so there is one place that knows the document's keys.

Grids: frequencies are exactly the library's 215-point output grid
f_i = 50 * 480^(i/214) Hz; prototypes are given on a 2-degree grid from -90
to +90 degrees (the library resamples them to its fine grid when it loads
a packed model).
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .piston import SPEED_OF_SOUND, amplifier_gain, analog_highpass_section

__all__ = ["MEASURED_ANGLES_DEG", "output_frequencies", "SectionPlan", "ColumnPlan", "model_document",
           "rounded"]

MEASURED_ANGLES_DEG = np.linspace(-90.0, 90.0, 91)  # 2-degree grid
PROCESSING_LATENCY = 2 / 96000.0  # s: two samples of DAC processing


def output_frequencies() -> list:
    """The library's output grid, bit for bit: 50 * (24000/50)^(i/214) Hz, 215 values."""
    n = 215
    return [50.0 * (24000.0 / 50.0) ** (i / (n - 1)) for i in range(n)]


@dataclass
class SectionPlan:
    """One driver section.

    positions : driver centres above the column's bottom end, m, ascending;
    one channel per driver, channel 1 lowest.
    boxes : box index (0-based) of each position; nboxes the section's boxes.
    prototypes : (F, A) complex arrays on the model grids, one per measured
    prototype: RMS pascals at 1 m for a full-scale sine at the DAC.
    chp : per position, the 1-based prototype and by its sign the mounting
    (negative: upside down, directivity mirrored in angle).
    depth : acoustic centre behind the baffle, m (``driver_delay``).
    extra_delay : (n,) s added per position (assembly tolerance), or None.
    """

    positions: list
    boxes: list
    nboxes: int
    prototypes: list
    chp: list
    depth: float
    volts_per_fs: float
    clip_volts: float
    beta: float
    iterations: int
    extra_delay: np.ndarray | None = None


@dataclass
class ColumnPlan:
    """A whole column; ``tw`` None for a one-way column."""

    arraytype: int
    wf: SectionPlan
    tw: SectionPlan | None = None
    flo: float = 90.0
    f_flatten: float = 12000.0
    rolloff_order: int = 2
    f_timbre: list = field(default_factory=lambda: [250.0, 2000.0, 16000.0])
    dB_timbre: list = field(default_factory=lambda: [1.0, 0.0, -1.5])
    fx: float = 2000.0
    xover_order: int = 8
    bwx: float = 1.0
    box_highpass: tuple = (45.0, 0.707)  # excursion protection of each woofer box, analog (Hz, Q)


def rounded(a, digits=6):
    """Nested lists of floats with ``digits`` significant digits (compact JSON)."""
    a = np.asarray(a, dtype=float)
    flat = [float(f"{v:.{digits}g}") for v in a.ravel()]
    return np.array(flat).reshape(a.shape).tolist()


def section_document(section: SectionPlan, f) -> dict:
    theta_m = np.radians(MEASURED_ANGLES_DEG)
    n = len(section.positions)
    centre = (section.positions[0] + section.positions[-1]) / 2
    H = np.stack(section.prototypes, axis=2)  # (F, A, P)

    tolerance = np.zeros(n) if section.extra_delay is None else section.extra_delay
    delay = section.depth * np.cos(theta_m)[:, None] / SPEED_OF_SOUND + tolerance[None, :]
    gains = amplifier_gain(f, section.volts_per_fs)

    if section.nboxes > 1:
        # End boxes load a little more: their drivers see less mutual coupling.
        beta_values = [section.beta + (0.02 if b in (0, section.nboxes - 1) else 0.0)
                       for b in range(section.nboxes)]
    else:
        beta_values = [section.beta]

    return {
        "Nboxes": section.nboxes,
        "yshift": round(centre, 6),
        "beta": beta_values,
        "phi": MEASURED_ANGLES_DEG.tolist(),
        "driverpos": [round(p - centre, 6) for p in section.positions],
        "f": f,
        "ChDacAmp": [section.volts_per_fs] * n,
        "driver_delay": rounded(delay, 4),
        "H": {"re": rounded(H.real), "im": rounded(H.imag)},
        "Hdacamp": {
            "H": rounded(np.tile(gains, (n, 1))),
            "delay": [round(PROCESSING_LATENCY, 9)] * n,
            "Vclip": [section.clip_volts] * n,
            "Nch": n,
        },
        "itpars": [section.iterations],
        "chp": section.chp,
    }


def model_document(plan: ColumnPlan) -> dict:
    """The JSON object of the model archive."""
    f = output_frequencies()
    doc = {
        "flo": plan.flo,
        "f_flatten": plan.f_flatten,
        "rolloff_order": plan.rolloff_order,
        "twoway": plan.tw is not None,
        "f_timbre": plan.f_timbre,
        "dB_timbre": plan.dB_timbre,
        "arraytype": plan.arraytype,
        "ispacked": True,
    }
    if plan.tw is not None:
        doc["fx"] = plan.fx
        doc["iir_xover_order"] = plan.xover_order
        doc["bwx"] = plan.bwx
        doc["tw"] = section_document(plan.tw, f)
    doc["wf"] = section_document(plan.wf, f)
    doc["wf"]["rolloff_sosa"] = [analog_highpass_section(*plan.box_highpass) for _ in range(plan.wf.nboxes)]
    return doc
