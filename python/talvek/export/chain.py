"""Each channel's whole processing chain as one impulse response.

What the prediction of a design assumes a channel does to the processor's
input: the quantised sparse steering FIR (its integer weights summed up
through the integrating stages, placed at their tap delays, scaled by the
channel's output shift and the section gain), then the array type's
crossover sections and, for the eight woofers of a box, the digital
equivalent of the box's roll-off high-pass. The steering taps are decoded
from the processor files the library writes for the design; the section gain
there is rounded to 16.16 fixed point, so its exact value is taken from the
library's own responses of the same filters.
"""

from __future__ import annotations

import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from scipy import signal

from .errors import ExportError
from .processor_files import section_taps
from .recursive import SAMPLE_RATE, analog_rows, crossover_sections, digital_rolloff, impulse_response

DRIVERS_PER_BOX = 8

# Where the decoded taps are checked against the library's responses: the
# grid of its response file, 20 Hz to 20 kHz.
_CHECK_FREQUENCIES = np.geomspace(20.0, 20000.0, 241)


@dataclass
class ChannelChains:
    """The impulse responses of every channel of a design, woofers first.

    Attributes
    ----------
    names : list of str
        ``wf01`` ... for the woofer channels, ``tw01`` ... for the tweeters,
        channel 1 the lowest on the column.
    impulse_responses : (C, L) ndarray
        One row per channel at ``sample_rate``, gain from the input in full
        scale to the channel's output in full scale.
    design_scale : float
        The design's scale: the library predicts the sound field for an
        input of this many full scale (its peak steering gain, which the
        filters are normalised by).
    """

    model: str
    arraytype: int
    names: list
    impulse_responses: np.ndarray
    sample_rate: float = SAMPLE_RATE
    design_scale: float = 1.0
    steering_length: int = 0          # taps of the longest steering FIR
    recursive_lengths: dict = field(default_factory=dict)  # section -> samples kept of its IIR part


def _response(taps: np.ndarray, f: np.ndarray) -> np.ndarray:
    """Responses (C, F) of FIR taps (C, L) at f Hz."""
    m = np.arange(taps.shape[1])
    return taps @ np.exp(-2j * np.pi * np.outer(m, f) / SAMPLE_RATE)


def _exact_gain(taps: np.ndarray, library: np.ndarray, section: str) -> float:
    """The section gain that makes the unit-gain taps give the library's responses."""
    unit = _response(taps, _CHECK_FREQUENCIES)
    energy = np.real(np.vdot(unit, unit))
    gain = float(np.real(np.vdot(unit, library)) / energy) if energy > 0 else 0.0
    misfit = np.abs(library - gain * unit).max()
    if misfit > 1e-9 * np.abs(library).max():
        raise ExportError(f"the processor files of the {section} section do not reproduce the library's "
                          f"steering responses (misfit {misfit:.2g})")
    return gain


def steering_taps(tv) -> tuple[np.ndarray, np.ndarray]:
    """The current design's steering FIR taps: woofers (Cw, Lw) and tweeters (Ct, Lt), Ct = 0 for one-way."""
    with tempfile.TemporaryDirectory(prefix="talvek-export-") as tmp:
        tv.lib.write_files(str(Path(tmp).resolve()) + "/", "design")
        boxes = sorted(Path(tmp).glob("design_box*.bef"), key=lambda p: int(p.stem[len("design_box"):]))
        try:
            woofers, tweeters = section_taps(boxes)
        except (ValueError, KeyError) as e:
            raise ExportError(f"cannot read the processor files of the design: {e}") from None
    wf_response, tw_response = tv.sf_response(_CHECK_FREQUENCIES)
    if woofers.shape[0] != wf_response.shape[0] or (tweeters is not None) != bool(tw_response.size):
        raise ExportError("the processor files hold other channels than the design")
    woofers = woofers * _exact_gain(woofers, wf_response, "woofer")
    if tweeters is None:
        return woofers, np.zeros((0, 1))
    return woofers, tweeters * _exact_gain(tweeters, tw_response, "tweeter")


def design_scale(record) -> float:
    """The design's peak steering gain: the largest woofer response of the record after the crossover.

    The library normalises the steering filters by it and predicts levels for
    an input of that many full scale.
    """
    low, _ = crossover_sections(record.arraytype)
    _, crossover = signal.sosfreqz(low, worN=record.wf_freq, fs=SAMPLE_RATE)
    return float(np.abs(record.wf * crossover[None, :]).max())


def _woofer_rolloffs(document: dict, channels: int) -> list:
    """The digital roll-off row of each woofer channel, or None for a channel outside every box."""
    wf = document["wf"]
    boxes = int(wf.get("Nboxes", 0))
    if boxes <= 0:
        return [None] * channels
    try:
        rows = analog_rows(wf["rolloff_sosa"])
    except (KeyError, ValueError) as e:
        raise ExportError(f"the model's woofer roll-off (rolloff_sosa) is unusable: {e}") from None
    if rows.shape[0] < boxes or DRIVERS_PER_BOX * boxes > channels:
        raise ExportError(f"the model's {boxes} woofer boxes do not match its rolloff_sosa ({rows.shape[0]} rows) "
                          f"and {channels} woofer channels")
    digital = [digital_rolloff(r) for r in rows[:boxes]]
    return [digital[k // DRIVERS_PER_BOX] if k < DRIVERS_PER_BOX * boxes else None for k in range(channels)]


def channel_chains(tv, record, document: dict) -> ChannelChains:
    """Impulse responses of the design ``tv`` holds (made from ``record``) for the model ``document`` describes."""
    woofers, tweeters = steering_taps(tv)
    low, high = crossover_sections(record.arraytype)
    chains = [np.vstack([low, r]) if r is not None else low for r in _woofer_rolloffs(document, woofers.shape[0])]
    chains += [high] * tweeters.shape[0]
    taps = list(woofers) + list(tweeters)

    recursive, lengths = {}, {}
    responses = []
    for k, (h, sos) in enumerate(zip(taps, chains)):
        key = sos.tobytes()
        if key not in recursive:
            try:
                recursive[key] = impulse_response(sos)
            except ValueError as e:
                raise ExportError(f"channel {k + 1}: {e}") from None
        g = recursive[key]
        section = "wf" if k < woofers.shape[0] else "tw"
        lengths[section] = max(lengths.get(section, 0), g.size)
        responses.append(signal.fftconvolve(h, g))
    length = max(r.size for r in responses)
    ir = np.vstack([np.pad(r, (0, length - r.size)) for r in responses])
    names = [f"wf{k + 1:02d}" for k in range(woofers.shape[0])] + [f"tw{k + 1:02d}" for k in range(tweeters.shape[0])]
    return ChannelChains(record.model.name, int(record.arraytype), names, ir, SAMPLE_RATE, design_scale(record),
                         max(woofers.shape[1], tweeters.shape[1] if tweeters.size else 0), lengths)
