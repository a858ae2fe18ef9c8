#!/usr/bin/python3
"""Generate the bundled Vexal model archives (<name>.bin holding <name>.json).

The measured data of real columns are not ours, so every model is synthesised
from a few physical assumptions, deterministically (no random numbers):

* Geometry: the column is a stack of boxes, bottom box first; the box table of
  the array type (``boxLayouts`` in core/lib_settings.cpp, mirrored below)
  fixes which boxes carry tweeters. A box holds eight woofers at a constant
  spacing (0.1 m; 0.125 m for the larger drivers of Vexal80); a box with
  tweeters holds eight of them. The tweeter boxes are adjacent and their
  tweeters form one unbroken line at 0.04 m pitch centred on those boxes
  together (25 mm domes, 15 mm apart; each box's eight stay inside it): a
  gap between per-box groups would add a two-source interference pattern
  that no weighting removes, and a pitch below half a wavelength up to
  ~4.3 kHz keeps grating lobes off a typical audience. One channel per
  driver position, channel 1 lowest. The column's reference point
  is its bottom end; ``yshift`` is a section's centre above it and
  ``driverpos`` the positions relative to that centre (metres).
* Directivity: each driver is a rigid circular piston in an infinite baffle,
  far-field pressure 2 J1(x) / x with x = k a sin(theta), theta the angle from
  the driver's axis in the vertical plane, k = 2 pi f / 343 m/s. Woofer radius
  0.04 m (0.05 m in Vexal80), tweeter radius 0.0125 m.
* Frequency response: sensitivity times analog sections evaluated at
  s = j 2 pi f, which makes the phase minimum phase: woofer = closed-box
  high-pass (90 Hz, Q 0.8) times a cone break-up low-pass (5 kHz, Q 0.9) and
  a first-order 8 kHz low-pass; tweeter = second-order high-pass (1 kHz,
  Q 0.75) times a dome roll-off low-pass (28 kHz, Q 0.7).
* Signal chain and units. The library treats a steering response as a
  dimensionless gain from the processor's input to a channel's digital
  output, both in full-scale units (FS), and predicts pressure as that gain
  times the transfer data ``H``. So ``H`` is what a measurement through the
  processor gives: RMS pascals at 1 m for a full-scale sine (peak 1 FS) at
  the DAC,

      H = (driver sensitivity, Pa per V RMS) x (amplifier gain, V peak per FS) / sqrt 2,

  and ``Talvek_Greens`` then returns mean-square pressure (Pa^2, so dB SPL
  directly) for a full-scale sine in. ``Hdacamp.H`` is the amplifier gain in
  V peak per FS and ``Vclip`` the peak voltage at which the amplifier clips,
  so Vclip / Hdacamp is the clip point in full-scale units and the library's
  headroom (that over the design's peak gain) means what it says. The
  figures, typical of column components of this size:

  - woofer: 4" cone (5" in Vexal80), 4 ohm, 86 dB SPL for 1 W at 1 m
    (88 dB for the 5"), 30 W (AES) rating; 80 dB for 1 V (82 dB);
  - tweeter: 1" dome, 6 ohm, 90 dB SPL for 1 W at 1 m (82.2 dB for 1 V),
    rated for a few watts above its 2 kHz crossover;
  - amplifier, one channel per driver, the same module for every channel:
    35 W into 4 ohm, so it clips at sqrt(2 x 35 x 4) = 16.7 V peak (23 W
    into a 6 ohm tweeter); 14 V per full scale puts a full-scale sine 1.5 dB
    below clip. A tweeter line has a third of the woofers' channels and needs
    the same level above the crossover: on a smaller amplifier it would need
    steering gains far above the woofers' and clip first.

  One woofer then makes about 101 dB SPL at 1 m at clip, and a column of a
  few dozen well over 100 dB SPL at 20 m before steering takes its share:
  the class of a speech and music column, not of a concert system.
* Measured prototypes: one or two per section, on a 2-degree grid from -90 to
  +90 degrees and on exactly the library's 215-point output grid
  f_i = 50 * 480^(i/214) Hz. Each prototype's acoustic centre sits a few
  millimetres off the nominal position along the column axis, a phase of
  exp(+j k d sin(theta)), so a driver mounted upside down (negative ``chp``
  entry) really differs from an upright one.
* ``driver_delay``: the acoustic centre's depth behind the baffle,
  depth * cos(theta) / 343 s, plus a few microseconds of assembly tolerance
  per driver position; one column per driver position.
* Electronics: one amplifier channel per driver (``Hdacamp`` rows): the flat
  gain above with a 5 Hz DC-blocking high-pass and a 45 kHz output-filter
  low-pass, and its clip voltage; ``rolloff_sosa`` is the excursion-protection
  high-pass of each woofer box (45 Hz, Q 0.707, analog).
* Design settings: crossover at 2 kHz over one octave, Linkwitz-Riley order 4
  for the array types whose fixed crossover is the squared second-order pair
  (2 and 4) and 8 otherwise; ``beta`` slightly above 1, one per box where a
  section has several; 5 solver iterations for both sections (the
  desired-magnitude iteration keeps the shape but lets the absolute level
  drift upwards the longer it runs, by about 30 dB over 15 iterations, and
  then into frequency-to-frequency erratic weights; equal counts keep the two
  sections at the same level across the crossover); a gentle timbre
  tilt; ``f_flatten`` at 12 kHz, the bottom of the top octave.

The physics, the document and the archive are those of the column builder
(python/talvek/columns), which `talvek model build` uses for columns of a
user's own; this file only describes the ten bundled columns to it.

Usage: make_models.py --output-dir DIR
"""

import argparse
import os
import sys
from dataclasses import dataclass

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
from talvek.columns.archive import write_archive  # noqa: E402
from talvek.columns.document import (MEASURED_ANGLES_DEG, ColumnPlan, SectionPlan,  # noqa: E402
                                     output_frequencies)
from talvek.columns.document import model_document as plan_document  # noqa: E402
from talvek.columns.piston import Piston, prototype_response  # noqa: E402
from talvek.models import MODELS as BUNDLED  # noqa: E402

DRIVERS_PER_BOX = 8
TWEETER_PITCH = 0.04  # m: below half a wavelength up to 4.3 kHz

# Box tables of the ten array types: rows (first wf, last wf, first tw, last tw),
# channels counted from 1, 0 0 for a box without tweeters (the host's table,
# the same as boxLayouts in core/lib_settings.cpp; the C++ tests compare the
# generated channel counts).
BOX_LAYOUTS = {m.number: [tuple(b) for b in m.boxes] for m in BUNDLED}


@dataclass(frozen=True)
class Amplifier:
    """One amplifier channel: rated power (W) into the driver's impedance
    (ohm) and gain (V peak per digital full scale)."""
    watts: float
    impedance: float
    volts_per_full_scale: float

    @property
    def clip_volts(self) -> float:
        return round(float(np.sqrt(2 * self.watts * self.impedance)), 2)


AMPLIFIER = Amplifier(35.0, 4.0, 14.0)


@dataclass(frozen=True)
class Model:
    name: str
    arraytype: int
    mounting: str  # "upright", "alternate" (every second driver upside down), "upper" (upper boxes upside down)
    woofer_prototypes: int  # 2: the drivers at either end of a box use a second prototype
    large_woofers: bool = False


MODELS = [
    Model("Vexal8", 1, "upright", 1),
    Model("Vexal16", 2, "alternate", 1),
    Model("Vexal24", 3, "upper", 1),
    Model("Vexal32", 4, "upright", 1),
    Model("Vexal40", 5, "upper", 1),
    Model("Vexal48", 6, "alternate", 2),
    Model("Vexal64", 7, "upper", 2),
    Model("Vexal80", 8, "upper", 2, large_woofers=True),
    Model("Vexal56", 9, "alternate", 2),
    Model("Vexal32LS", 10, "upright", 1),
]


# ---------------------------------------------------------------- geometry

@dataclass
class Section:
    positions: list  # absolute heights above the column bottom, m, ascending
    boxes: list      # box index of each position
    slot: list       # position within its box, 0..7
    nboxes: int


def column_sections(model):
    """Woofer and tweeter driver positions from the box table."""
    spacing = 0.125 if model.large_woofers else 0.1
    box_height = DRIVERS_PER_BOX * spacing
    layout = BOX_LAYOUTS[model.arraytype]
    wf = Section([], [], [], 0)
    tw = Section([], [], [], 0)
    # One unbroken tweeter line centred on the (adjacent) tweeter boxes; no gap between boxes.
    tw_boxes = [b for b, row in enumerate(layout) if row[2] > 0]
    tw_count = sum(row[3] - row[2] + 1 for row in layout if row[2] > 0)
    tw_centre = (tw_boxes[0] + tw_boxes[-1] + 1) * box_height / 2 if tw_boxes else 0.0
    for b, (w1, w2, t1, t2) in enumerate(layout):
        bottom = b * box_height
        for k in range(w2 - w1 + 1):
            wf.positions.append(bottom + (k + 0.5) * spacing)
            wf.boxes.append(b)
            wf.slot.append(k)
        wf.nboxes += 1
        if t1 > 0:
            for k in range(t2 - t1 + 1):
                index = t1 - 1 + k  # place in the whole tweeter line
                tw.positions.append(tw_centre + (index - (tw_count - 1) / 2) * TWEETER_PITCH)
                tw.boxes.append(b)
                tw.slot.append(k)
            tw.nboxes += 1
    return wf, tw


def mounting_sign(model, section, i, total_boxes):
    if model.mounting == "alternate":
        return -1 if i % 2 else 1
    if model.mounting == "upper":
        return -1 if 2 * section.boxes[i] >= total_boxes + (total_boxes % 2) else 1
    return 1


# ---------------------------------------------------------------- the plan

def woofer(radius, sensitivity, centre_offset):
    # closed-box high-pass, cone break-up low-pass and a first-order 8 kHz low-pass
    return Piston(radius, sensitivity, 4.0, (90.0, 0.8), (5000.0, 0.9), 8000.0, centre_offset)


def tweeter():
    return Piston(0.0125, 90.0, 6.0, (1000.0, 0.75), (28000.0, 0.7), None, 0.002)


def section_plan(section, drivers, chp, depth, beta, f):
    theta_m = np.radians(MEASURED_ANGLES_DEG)
    n = len(section.positions)
    return SectionPlan(
        positions=section.positions, boxes=section.boxes, nboxes=section.nboxes,
        prototypes=[prototype_response(d, f, theta_m, AMPLIFIER.volts_per_full_scale) for d in drivers],
        chp=chp, depth=depth, volts_per_fs=AMPLIFIER.volts_per_full_scale, clip_volts=AMPLIFIER.clip_volts,
        beta=beta, iterations=5,
        extra_delay=3e-6 * np.sin(2.4 * np.arange(n) + 0.7))  # assembly spread, s


def column_plan(model):
    f = output_frequencies()
    wf, tw = column_sections(model)
    total_boxes = len(BOX_LAYOUTS[model.arraytype])

    radius = 0.05 if model.large_woofers else 0.04
    sens = 88.0 if model.large_woofers else 86.0
    woofers = [woofer(radius, sens, 0.003)]
    if model.woofer_prototypes == 2:
        woofers.append(woofer(radius, sens - 0.5, -0.0015))  # end-of-box chamber

    def packing(section, prototypes):
        chp = []
        for i in range(len(section.positions)):
            p = 2 if prototypes == 2 and section.slot[i] in (0, DRIVERS_PER_BOX - 1) else 1
            chp.append(p * mounting_sign(model, section, i, total_boxes))
        return chp

    return ColumnPlan(
        arraytype=model.arraytype,
        wf=section_plan(wf, woofers, packing(wf, len(woofers)), depth=0.018, beta=1.02, f=f),
        tw=section_plan(tw, [tweeter()], packing(tw, 1), depth=0.004, beta=1.01, f=f) if tw.nboxes else None,
        flo=75.0 if model.large_woofers else 90.0,
        xover_order=4 if model.arraytype in (2, 4) else 8)


def model_document(model):
    return plan_document(column_plan(model))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output-dir", required=True, help="folder for the <name>.bin archives")
    args = parser.parse_args()
    os.makedirs(args.output_dir, exist_ok=True)
    for model in MODELS:
        write_archive(args.output_dir, model.name, model_document(model))


if __name__ == "__main__":
    main()
