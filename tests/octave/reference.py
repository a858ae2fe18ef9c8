"""The Python host's results that the Octave gateway must reproduce bit for bit.

    reference.py OUTDIR

Writes into OUTDIR/cli the processor files of ``talvek design --no-voicing`` for
the church example and for vexal8_options.json (a one-way model with options
and an inactive line), and into OUTDIR the church design's steering-filter
responses and sound power through the ctypes binding, as raw little-endian
doubles, matrices column by column: f, sf_wf_re, sf_wf_im, sf_tw_re, sf_tw_im,
greens_x, greens_z, greens_power and greens_headroom (Greens at frequency
indices 3 to 200, the mounting of the venue).
"""

import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

from talvek.api import Talvek
from talvek.venue import load_venue

HERE = Path(__file__).resolve().parent
CHURCH = HERE.parents[1] / "examples" / "church_nave.json"


def save(folder: Path, name: str, values) -> None:
    np.asfortranarray(values, dtype="<f8").ravel(order="F").tofile(folder / f"{name}.bin")


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    (out / "cli").mkdir(exist_ok=True)
    for venue in (CHURCH, HERE / "vexal8_options.json"):
        # A design owns its output folder whole: one folder each, the files gathered after.
        design = out / "designs" / venue.stem
        subprocess.run([sys.executable, "-m", "talvek", "design", str(venue), "-o", str(design),
                        "--no-voicing", "--no-plots"], check=True, stdout=subprocess.DEVNULL)
        for f in design.glob(f"{venue.stem}_*"):
            shutil.copy(f, out / "cli" / f.name)
    tv = Talvek()
    venue = load_venue(CHURCH)
    tv.select(venue.model.number)
    tv.optimise(venue.height, venue.tilt, venue.item_table())
    # Inside and outside the audio band, and 0 Hz and Nyquist, which the filters answer as given.
    f = np.concatenate([np.geomspace(20.0, 30000.0, 61), [0.0, 48000.0, 123.456]])
    wf, tw = tv.sf_response(f)
    x = np.linspace(0.5, 30.0, 11)
    z = np.linspace(0.0, 6.0, 11)
    power, headroom = tv.greens(x, z, first=3, last=200)
    for name, values in (("f", f), ("sf_wf_re", wf.real), ("sf_wf_im", wf.imag), ("sf_tw_re", tw.real),
                         ("sf_tw_im", tw.imag), ("greens_x", x), ("greens_z", z), ("greens_power", power),
                         ("greens_headroom", [headroom])):
        save(out, name, values)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
