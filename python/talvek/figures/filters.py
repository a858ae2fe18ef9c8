"""The steering filters: magnitude and group delay of every channel, per section."""

from __future__ import annotations

import numpy as np

from .style import PAGE, hz_axis, mpl, new_figure

__all__ = ["filters_figure", "group_delay"]


def group_delay(response, freq: np.ndarray, *, step: float = 1.0) -> np.ndarray:
    """Group delay -dφ/dω of ``response(f) -> (..., N)`` complex at ``freq``, seconds.

    Central difference over ``step`` Hz taken as the angle of a ratio, which
    needs no phase unwrapping: exact for a pure delay and accurate while the
    delay stays well below 1 / step seconds.
    """
    f = np.asarray(freq, dtype=float)
    return _delay_between(response(f - step / 2), response(f + step / 2), step)


def _delay_between(low: np.ndarray, high: np.ndarray, step: float) -> np.ndarray:
    return -np.angle(high * np.conj(low)) / (2 * np.pi * step)


def filters_figure(responses, *, title: str = ""):
    """Magnitude and group delay of the designed steering filters, per section
    (sampled by :func:`talvek.analysis.filter_responses`)."""
    m = mpl()
    freq, both, step = responses.freq, responses.values, responses.step
    points = freq.size
    sections = [("woofer section", both[0])] + ([("tweeter section", both[1])] if both[1].shape[0] else [])
    fig = new_figure(PAGE)
    grid = fig.add_gridspec(2, len(sections), left=0.07, right=0.95, bottom=0.07, top=0.9, wspace=0.3,
                            hspace=0.3)
    axes = [[fig.add_subplot(grid[row, col]) for col in range(len(sections))] for row in range(2)]
    cmap = m.colormaps["viridis"]
    for col, (name, all_H) in enumerate(sections):
        H = all_H[:, :points]
        delay = _delay_between(all_H[:, points:2 * points], all_H[:, 2 * points:], step) * 1e3
        # Near a notch the phase turns abruptly and the delay means nothing; leave out
        # whatever lies 40 dB or more below the section's peak.
        delay[np.abs(H) < np.abs(H).max() * 0.01] = np.nan
        magnitude = 20 * np.log10(np.maximum(np.abs(H), 1e-12))
        channels = H.shape[0]
        norm = m.colors.Normalize(1, max(channels, 2))
        for ax, values in ((axes[0][col], magnitude), (axes[1][col], delay)):
            lines = m.collections.LineCollection([np.column_stack((freq, v)) for v in values], linewidths=0.9,
                                                 cmap=cmap, norm=norm)
            lines.set_array(np.arange(1, channels + 1))
            ax.add_collection(lines)
            hz_axis(ax, freq[0], freq[-1])
            ax.grid(True)
            ax.set_xlabel("frequency, Hz")
        peak = 20 * np.log10(np.abs(H).max() + 1e-300)
        axes[0][col].set_ylim(max(peak - 60, -200), peak + 3)
        finite = delay[np.isfinite(delay)]
        if finite.size:
            low, high = float(finite.min()), float(finite.max())
            pad = 0.05 * (high - low) if high > low else 0.5
            axes[1][col].set_ylim(low - pad, high + pad)
        axes[0][col].set_title(f"{name}: magnitude ({channels} channels)")
        axes[0][col].set_ylabel("magnitude, dB")
        axes[1][col].set_title(f"{name}: group delay")
        axes[1][col].set_ylabel("group delay, ms")
        axes[1][col].text(0.01, 0.98, "(not drawn more than 40 dB below the peak)", fontsize=8.5, color="#666666",
                          transform=axes[1][col].transAxes, va="top")
        bar = fig.colorbar(lines, ax=[axes[0][col], axes[1][col]], fraction=0.04, pad=0.02)
        bar.set_label("channel (1 = lowest)")
    fig.suptitle(title or "steering filters")
    return fig
