"""Decoding the processor's filter-set files back into FIR taps.

A ``<name>_box<k>.bef`` file holds, per driver section of the box, the sparse
integer weights of its channels: the tap positions (plus one), the number of
running sums that turn the weights into the filter, the weights channel by
channel, each channel's output shift and the section gain in 16.16 fixed
point. All values are little-endian 32-bit integers.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

_HEADER = 2


@dataclass
class SectionBlock:
    """One section's channels of one box, as stored."""

    order: int              # running sums from weights to taps
    delays: np.ndarray      # (K,) zero-based tap positions of the stored rows
    weights: np.ndarray     # (K, channels) integer weights
    shifts: np.ndarray      # (channels,) output shifts, powers of two
    gain_word: int          # section gain x 65536, rounded

    def taps(self) -> np.ndarray:
        """FIR taps of each channel at unit section gain, (channels, L).

        L is one past the last stored tap position. The running sums are exact:
        the integers stay far below 2**53.
        """
        length = int(self.delays[-1]) + 1 if self.delays.size else 0
        h = np.zeros((self.weights.shape[1], length))
        h[:, self.delays] = self.weights.T
        for _ in range(max(self.order, 0)):
            h = np.cumsum(h, axis=1)
        return h * np.ldexp(1.0, -self.shifts.astype(int))[:, None]


def _read_block(words: np.ndarray, at: int, where: str) -> tuple[SectionBlock, int]:
    try:
        _, order, rows, channels = (int(v) for v in words[at:at + 4])
        at += 4
        delays = words[at:at + rows].astype(np.int64) - 1
        at += rows
        weights = words[at:at + rows * channels].astype(np.int64).reshape(channels, rows).T
        at += rows * channels
        shifts = words[at:at + channels].astype(np.int64)
        at += channels
        gain = int(words[at])
        at += 1
    except (ValueError, IndexError):
        raise ValueError(f"{where}: truncated filter-set block") from None
    if rows < 0 or channels < 0 or delays.size != rows or shifts.size != channels:
        raise ValueError(f"{where}: truncated filter-set block")
    return SectionBlock(order, delays, weights, shifts, gain), at


def read_filter_set(path: str | Path) -> list[SectionBlock]:
    """The section blocks of one ``.bef`` file: woofers, then tweeters when the box has them.

    Raises
    ------
    ValueError
        For a file that is not a filter-set file.
    """
    words = np.fromfile(path, dtype="<i4")
    if words.size < 2 or words[0] != _HEADER or words[1] not in (1, 2):
        raise ValueError(f"{path}: not a filter-set file")
    blocks, at = [], 2
    for _ in range(int(words[1])):
        block, at = _read_block(words, at, str(path))
        blocks.append(block)
    if at != words.size:
        raise ValueError(f"{path}: {words.size - at} words after the last block")
    return blocks


def section_taps(files: list[Path]) -> tuple[np.ndarray, np.ndarray | None, list[int]]:
    """Taps of every channel from a design's box files, in channel order.

    Returns the woofer taps (Cw, Lw), the tweeter taps (Ct, Lt) or None for a
    one-way design, and the section gain words (woofer, then tweeter). The
    boxes hold consecutive channel ranges, so concatenating them in box order
    gives the channels in order.
    """
    woofers, tweeters = [], []
    for path in files:
        for parts, block in zip((woofers, tweeters), read_filter_set(path)):
            parts.append(block.taps())

    def stack(parts):
        length = max(p.shape[1] for p in parts)
        return np.vstack([np.pad(p, ((0, 0), (0, length - p.shape[1]))) for p in parts])

    return stack(woofers), (stack(tweeters) if tweeters else None)
