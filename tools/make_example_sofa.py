#!/usr/bin/python3
"""Write a small AES69 (SOFA) file of the FreeFieldDirectivityTF convention:
a baffled piston driver "measured" in the vertical plane, for trying
``talvek model build`` with measured data and for its tests.

The "measurement": one source at the origin, receivers on a circle of
``--distance`` m in the vertical plane in front (azimuth 0, elevation -90 to
+90 degrees in ``--step`` degree steps), frequencies logarithmically spaced
from 40 Hz to 25 kHz. The data are the complex pressure per volt RMS of a
piston of ``--radius`` m and ``--sensitivity`` dB SPL (1 W, 1 m) into
``--impedance`` ohm, with second-order roll-offs at 90 Hz (Q 0.8) and 5 kHz
(Q 0.9), including the propagation exp(-j k r) / r to the receivers.

Usage: make_example_sofa.py OUT.sofa [--step DEG] [--distance M] [--radius M] ...
"""

import argparse
import os
import sys

import h5py
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
from talvek.columns.piston import SPEED_OF_SOUND, Piston, piston_directivity  # noqa: E402


def piston_measurement(step=1.0, distance=2.0, radius=0.04, sensitivity=86.0, impedance=4.0, count=400):
    """(frequencies (N,), elevations (R,) degrees, data (R, N) complex) of the measurement."""
    freq = np.geomspace(40.0, 25000.0, count)
    elevation = np.arange(-90.0, 90.0 + step / 2, step)
    driver = Piston(radius, sensitivity, impedance, (90.0, 0.8), (5000.0, 0.9))
    k = 2 * np.pi * freq / SPEED_OF_SOUND
    on_axis = driver.pascal_per_volt * driver.band(2j * np.pi * freq)
    data = on_axis[:, None] * piston_directivity(k * radius, np.radians(elevation))
    data = data * np.exp(-1j * k * distance)[:, None] / distance
    return freq, elevation, data.T


def write_sofa(path, freq, elevation, data, distance, *, conventions="FreeFieldDirectivityTF"):
    """A SOFA file of one measurement with receivers at (azimuth 0, elevation, distance)."""
    r = len(elevation)
    with h5py.File(path, "w") as f:
        for key, value in {"Conventions": "SOFA", "Version": "2.1", "SOFAConventions": conventions,
                           "SOFAConventionsVersion": "1.1", "DataType": "TF", "RoomType": "free field",
                           "Title": "baffled piston", "APIName": "talvek tools", "APIVersion": "1"}.items():
            f.attrs[key] = np.bytes_(value)
        f["Data.Real"] = data.real[None, :, :]
        f["Data.Imag"] = data.imag[None, :, :]
        f["N"] = freq
        f["N"].attrs["Units"] = np.bytes_("hertz")
        positions = np.column_stack([np.zeros(r), elevation, np.full(r, distance)])
        f["ReceiverPosition"] = positions[:, :, None]
        f["ReceiverPosition"].attrs["Type"] = np.bytes_("spherical")
        f["ReceiverPosition"].attrs["Units"] = np.bytes_("degree, degree, metre")
        f["SourcePosition"] = np.zeros((1, 3))
        f["SourcePosition"].attrs["Type"] = np.bytes_("cartesian")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="the .sofa file to write")
    parser.add_argument("--step", type=float, default=1.0, help="angle step, degrees (default 1)")
    parser.add_argument("--distance", type=float, default=2.0, help="receiver distance, m (default 2)")
    parser.add_argument("--radius", type=float, default=0.04, help="piston radius, m (default 0.04)")
    parser.add_argument("--sensitivity", type=float, default=86.0, help="dB SPL, 1 W at 1 m (default 86)")
    parser.add_argument("--impedance", type=float, default=4.0, help="ohm (default 4)")
    args = parser.parse_args()
    freq, elevation, data = piston_measurement(args.step, args.distance, args.radius, args.sensitivity,
                                               args.impedance)
    write_sofa(args.output, freq, elevation, data, args.distance)


if __name__ == "__main__":
    main()
