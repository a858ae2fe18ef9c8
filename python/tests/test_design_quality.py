"""Every example venue, designed as `talvek design` does, meets its targets in
the mid bands and can play at them.

Slow-ish (an optimisation, voicing and refinement per venue); no plots and a
coarse coverage grid keep it to the designs themselves.
"""

import pytest
from hostpaths import EXAMPLES, needs_library

from talvek.design import pipeline
from talvek.venue import load_venue

MID_BANDS = (500, 1000, 2000, 4000)
MID_RMS_DB, MID_WORST_DB = 1.5, 3.5


@needs_library
@pytest.mark.parametrize("example", sorted(p.stem for p in EXAMPLES.glob("*.json")))
def test_mid_bands_meet_the_targets_with_headroom(tv, church, tmp_path, example):
    venue = load_venue(EXAMPLES / f"{example}.json")
    try:
        rep = pipeline.design_venue(tv, venue, tmp_path, example, grid=(4, 4))
    finally:
        church.restore()
    for band in rep["bands"]:
        if band["band_hz"] in MID_BANDS:
            assert band["rms_db"] <= MID_RMS_DB and abs(band["worst_db"]) <= MID_WORST_DB, band
    assert rep["headroom_at_targets_db"] >= 0.0
