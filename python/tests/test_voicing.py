"""Voicing: one smooth, bounded gain per frequency and section, and a design
without it is exactly the library's."""

import numpy as np
import pytest
from hostpaths import EXAMPLES, needs_library

from talvek.cli import main
from talvek.design.voicing import BOOST_LIMIT_DB, smooth_log, voice


def test_smoothing_keeps_straight_lines_and_spreads_a_step_over_its_width():
    freq = 50.0 * 480.0 ** (np.arange(215) / 214)  # 1/24 octave
    octaves = np.log2(freq)
    line = 3.0 * octaves - 10.0
    # A symmetric window leaves a straight line (in log f) alone away from the ends.
    inner = (octaves > octaves[0] + 0.5) & (octaves < octaves[-1] - 0.5)
    np.testing.assert_allclose(smooth_log(freq, line, 1 / 3)[inner], line[inner], atol=1e-9)
    # A 10 dB step is spread over the window's width (1/3 octave = 8 steps) and no further.
    step = np.where(freq < 1000.0, 0.0, 10.0)
    smoothed = smooth_log(freq, step, 1 / 3)
    assert np.all(np.diff(smoothed) >= -1e-12)
    moved = np.flatnonzero((smoothed > 1e-9) & (smoothed < 10 - 1e-9))
    assert 6 <= moved.size <= 8


@pytest.fixture(scope="module")
def voiced(tv, church):
    church.tv.select(church.venue.model.name)
    optimised = tv.optimise(church.venue.height, church.venue.tilt, church.venue.item_table())
    record, result = voice(tv, church.venue, optimised)
    yield optimised, record, result
    church.restore()


@needs_library
def test_one_real_gain_per_frequency_for_every_channel_of_a_section(voiced):
    optimised, record, result = voiced
    for f, before, after, gain in ((optimised.wf_freq, optimised.wf, record.wf, result.wf_db),
                                   (optimised.tw_freq, optimised.tw, record.tw, result.tw_db)):
        ratio = after / before
        # The steering shape (relation between channels) is untouched ...
        np.testing.assert_allclose(ratio, np.broadcast_to(ratio[:1], ratio.shape), rtol=1e-9)
        np.testing.assert_allclose(ratio.imag, 0.0, atol=1e-9 * np.abs(ratio).max())
        # ... and the gain is the one reported for that frequency.
        k = np.searchsorted(result.freq, f - 1e-6)
        np.testing.assert_allclose(20 * np.log10(ratio[0].real), gain[k], atol=1e-9)


@needs_library
def test_correction_is_smooth_bounded_and_meets_the_targets_on_average(voiced):
    _, _, result = voiced
    band = (result.freq > 177.0) & (result.freq < 11300.0)
    # 1/24-octave steps of a curve smoothed over 1/6 octave: no step beyond 1.5 dB.
    assert np.max(np.abs(np.diff(result.total_db))) < 1.5
    # The boost limit holds against the mean of the final curve (to the 1e-6 dB its fixed point settles to),
    # and the sections' caps only ever cut.
    assert result.total_db.max() <= result.total_db[band].mean() + BOOST_LIMIT_DB + 1e-3
    for gain in (result.wf_db, result.tw_db):
        playing = np.isfinite(gain)
        assert np.all(gain[playing] <= result.total_db[playing] + 1e-9)
    # The stripes are gone: the mean deviation per frequency is small everywhere it was not limited.
    assert np.median(np.abs(result.error_after_db[band])) < 0.3
    assert np.median(np.abs(result.error_before_db[band])) > 1.0


@needs_library
def test_no_voicing_gives_exactly_the_libraries_design(tv, church, tmp_path):
    venue = EXAMPLES / "church_nave.json"
    code = main(["design", str(venue), "-o", str(tmp_path / "cli"), "--no-voicing", "--no-plots", "--grid", "4", "4"])
    assert code == 0
    church.restore()  # the library's own optimisation of the same venue
    tv.write_files(tmp_path, "church_nave")
    written = sorted((tmp_path / "cli").glob("church_nave_*"))
    assert written
    for path in written:
        assert (tmp_path / path.name).read_bytes() == path.read_bytes(), path.name
