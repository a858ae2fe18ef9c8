"""The raster layer under the plots: cells, lines and ticks land where the data says."""

import numpy as np
import pytest
from PIL import Image

from talvek.raster import RED_BLUE, Figure, _dashes, nice_ticks


def test_cells_and_lines_land_at_their_data_coordinates(tmp_path):
    # Four columns on a linear axis, three rows on a logarithmic one (100, 1k, 10k Hz),
    # so a flipped or shifted index, or a linear transform on the log axis, shows.
    fig = Figure(4, 3, dpi=100)
    ax = fig.add_axes(fig.rect(0.2, 0.2, 0.7, 0.7), yscale="log")
    x, y = np.arange(4.0), np.array([100.0, 1000.0, 10000.0])
    values = np.arange(12.0).reshape(3, 4) / 11.0
    ax.cells(x, y, values, RED_BLUE, 0.0, 1.0)
    ax.segment([-0.5, 3.5], [300.0, 300.0], "#00ff00", width=2.0)
    fig.save(tmp_path / "t.png")
    image = np.asarray(Image.open(tmp_path / "t.png").convert("RGB")).astype(int)

    for row in range(3):
        for col in range(4):
            u, v = ax.to_pixels(x[col], y[row])
            assert np.abs(image[int(v), int(u)] - RED_BLUE(values[row, col])).max() <= 2, (row, col)
    u, v = ax.to_pixels(1.0, 300.0)
    assert tuple(image[int(round(v)), int(u)]) == (0, 255, 0)
    # 300 Hz lies at log10(3) of the way from the 100 Hz row's centre to the 1 kHz row's.
    v100, v1k = ax.to_pixels(0.0, 100.0)[1], ax.to_pixels(0.0, 1000.0)[1]
    assert v == pytest.approx(v100 + np.log10(3.0) * (v1k - v100))


@pytest.mark.parametrize("low, high, most", [(0.0, 25.0, 6), (-3.2, 11.7, 9), (55.0, 95.0, 5), (0.013, 0.019, 4),
                                             (-200.0, -137.0, 7), (1.0, 48.0, 9)])
def test_ticks_are_round_evenly_spaced_and_cover_the_range(low, high, most):
    ticks = nice_ticks(low, high, most)
    step = np.diff(ticks)
    assert 2 <= ticks.size <= most
    assert np.allclose(step, step[0])
    assert low - 1e-12 <= ticks[0] and ticks[-1] <= high + 1e-12
    assert ticks[0] - step[0] < low and ticks[-1] + step[0] > high  # none missing at either end
    mantissa = step[0] / 10 ** np.floor(np.log10(step[0]))
    assert min(abs(mantissa - m) for m in (1, 2, 2.5, 5)) < 1e-9


def test_tick_labels_carry_the_decimals_of_their_step():
    from talvek.raster import _tick_label

    cases = [(0.4, 0.2, "0.4"), (5.0, 2.5, "5.0"), (0.5, 0.25, "0.50"), (-10.0, 5.0, "−10"), (-0.0, 0.5, "0.0"),
             (100.0, 20.0, "100"), (0.015, 0.001, "0.015")]
    assert [_tick_label(v, s) for v, s, _ in cases] == [text for _, _, text in cases]


def test_dashes_follow_the_pattern_along_a_bent_line():
    # Along x, then up: vertices every 7 units, one of them exactly on a dash end.
    points = np.array([[0.0, 0.0], [7.0, 0.0], [10.0, 0.0], [14.0, 0.0], [14.0, 7.0], [14.0, 11.0]])
    pieces = _dashes(points, [10.0, 5.0])
    along = [np.concatenate(([0.0], np.cumsum(np.hypot(*np.diff(p, axis=0).T)))) for p in pieces]
    assert [round(a[-1], 9) for a in along] == [10.0, 10.0]  # 0-10 and 15-25 of a 25 long line
    np.testing.assert_array_equal(pieces[0], [[0, 0], [7, 0], [10, 0]])  # the vertex at 10 only as the end
    np.testing.assert_array_equal(pieces[1], [[14, 1], [14, 7], [14, 11]])
