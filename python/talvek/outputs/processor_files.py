"""The processor files read back: filter-set files (``<stem>_box<k>.bef``) and the response file
(``<stem>_SFR.bin``), decoded from their bytes without the library.

Filter-set file, little-endian int32 throughout: header 2, block count (2
with a tweeter block), then per block the delay span (largest stored tap
position + 2), the order (running-sum stages), the rows, the channels, the
tap positions + 1, the weights channel by channel, one shift per channel
and the gain word round(65536 gain). Response file, little-endian doubles:
the frequency count (241), the woofer channel count, the frequencies, the
woofer responses channel by channel as (re, im) pairs, and for two-way
columns the tweeter channel count and responses.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["Block", "FilterSet", "Responses", "FileFormatError", "read_filter_set", "read_responses",
           "response_grid", "block_taps", "fir_response", "SAMPLE_RATE"]

SAMPLE_RATE = 96000.0  # Hz, the processor's
GRID_POINTS = 241


class FileFormatError(ValueError):
    """A processor file whose bytes do not make a whole file of its kind."""


@dataclass
class Block:
    """One section of one box: the stored form of its channels' FIR filters."""

    delay_span: int
    order: int
    positions: np.ndarray   # (rows,) zero-based tap positions
    weights: np.ndarray     # (channels, rows) int
    shifts: np.ndarray      # (channels,) int
    gain_word: int

    @property
    def channels(self) -> int:
        return self.shifts.size


@dataclass
class FilterSet:
    blocks: list  # woofer block, then the tweeter block when the box has one


@dataclass
class Responses:
    freq: np.ndarray   # (241,) Hz
    woofer: np.ndarray   # (Cw, 241) complex
    tweeter: np.ndarray  # (Ct, 241) complex, Ct = 0 for a one-way column


class _Reader:
    def __init__(self, data: bytes, name: str, dtype: str):
        self.data, self.name, self.dtype = data, name, np.dtype(dtype)
        self.at = 0

    def take(self, count: int, what: str) -> np.ndarray:
        size = self.dtype.itemsize
        if count < 0 or self.at + count * size > len(self.data):
            raise FileFormatError(f"{self.name}: ends inside {what} (byte {self.at} of {len(self.data)})")
        out = np.frombuffer(self.data, self.dtype, count, self.at)
        self.at += count * size
        return out

    def one(self, what: str):
        return self.take(1, what)[0]

    def end(self) -> None:
        if self.at != len(self.data):
            raise FileFormatError(f"{self.name}: {len(self.data) - self.at} bytes after the end of its contents")


def read_filter_set(data: bytes, name: str = "filter-set file") -> FilterSet:
    """Decode a filter-set file; raises :class:`FileFormatError` naming the field that does not fit."""
    r = _Reader(data, name, "<i4")
    header = int(r.one("the header"))
    if header != 2:
        raise FileFormatError(f"{name}: header {header}, expected 2")
    count = int(r.one("the block count"))
    if count not in (1, 2):
        raise FileFormatError(f"{name}: block count {count}, expected 1 or 2")
    blocks = []
    for b in range(count):
        section = ("woofer", "tweeter")[b]
        span, order, rows, channels = (int(v) for v in r.take(4, f"the {section} block's sizes"))
        if rows < 0 or channels < 1 or order < 0:
            raise FileFormatError(f"{name}: {section} block with {rows} rows, {channels} channels, order {order}")
        positions = r.take(rows, f"the {section} tap positions").astype(np.int64) - 1
        weights = r.take(rows * channels, f"the {section} weights").astype(np.int64).reshape(channels, rows)
        shifts = r.take(channels, f"the {section} shifts").astype(np.int64)
        gain = int(r.one(f"the {section} gain word"))
        if rows and (np.any(np.diff(positions) <= 0) or positions[0] < 0 or span != positions.max() + 2):
            raise FileFormatError(f"{name}: {section} tap positions do not ascend to the delay span {span}")
        blocks.append(Block(span, order, positions, weights, shifts, gain))
    r.end()
    return FilterSet(blocks)


def response_grid() -> np.ndarray:
    """The response file's frequencies: 241 from 20 Hz to 20 kHz, evenly spaced in log frequency."""
    lo = np.log(20.0)
    return np.exp(lo + np.arange(GRID_POINTS) * ((np.log(20000.0) - lo) / (GRID_POINTS - 1)))


def read_responses(data: bytes, two_way: bool, name: str = "response file") -> Responses:
    """Decode a response file of a one-way or two-way column."""
    r = _Reader(data, name, "<f8")
    count = r.one("the frequency count")
    if count != GRID_POINTS:
        raise FileFormatError(f"{name}: frequency count {count:g}, expected {GRID_POINTS}")
    sections = []
    freq = None
    for s, section in enumerate(("woofer", "tweeter")[:2 if two_way else 1]):
        channels = r.one(f"the {section} channel count")
        if not (channels >= 1 and channels == int(channels) and channels <= 4096):
            raise FileFormatError(f"{name}: {section} channel count {channels:g}")
        if s == 0:
            freq = r.take(GRID_POINTS, "the frequencies").copy()
        values = r.take(2 * GRID_POINTS * int(channels), f"the {section} responses").reshape(int(channels),
                                                                                          GRID_POINTS, 2)
        sections.append(values[..., 0] + 1j * values[..., 1])
    r.end()
    tweeter = sections[1] if two_way else np.zeros((0, GRID_POINTS), complex)
    return Responses(freq, sections[0], tweeter)


def block_taps(block: Block, *, gain: float | None = None) -> np.ndarray:
    """FIR taps of each channel of a block, (channels, L): the stored weights at their
    positions, ``order`` running sums, scaled by 2^-shift and the gain (default the word's, / 65536)."""
    if block.positions.size == 0:
        return np.zeros((block.channels, 0))
    h = np.zeros((block.channels, int(block.positions[-1]) + 1))
    h[:, block.positions] = block.weights
    for _ in range(block.order):
        h = np.cumsum(h, axis=1)  # exact: integers well inside the 53 bits of a double
    g = block.gain_word / 65536.0 if gain is None else gain
    return h * np.exp2(-block.shifts.astype(float))[:, None] * g


def fir_response(taps: np.ndarray, freq: np.ndarray, fs: float = SAMPLE_RATE) -> np.ndarray:
    """Σ_m h[m] e^(-j 2π f m / fs) of each row of ``taps`` at ``freq``: (channels, N) complex."""
    m = np.arange(taps.shape[1])
    return taps @ np.exp(-2j * np.pi * np.outer(m, np.asarray(freq, dtype=float)) / fs)
