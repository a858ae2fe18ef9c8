"""A design's FIR taps, from the filter-set files the library writes for it.

The files are decoded by :mod:`talvek.outputs.processor_files`, the same
decoder ``talvek verify`` uses; here the boxes' channels are put in order.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

from ..outputs.processor_files import block_taps, read_filter_set


def section_taps(files: list[Path]) -> tuple[np.ndarray, np.ndarray | None]:
    """Taps of every channel from a design's box files at unit section gain, in channel order.

    Returns the woofer taps (Cw, Lw) and the tweeter taps (Ct, Lt), or None
    for a one-way design. The boxes hold consecutive channel ranges, so
    concatenating them in box order gives the channels in order.

    Raises
    ------
    talvek.outputs.processor_files.FileFormatError
        (a ValueError) for a file that is not a whole filter-set file.
    """
    woofers, tweeters = [], []
    for path in files:
        for parts, block in zip((woofers, tweeters), read_filter_set(Path(path).read_bytes(), str(path)).blocks):
            parts.append(block_taps(block, gain=1.0))

    def stack(parts):
        length = max(p.shape[1] for p in parts)
        return np.vstack([np.pad(p, ((0, 0), (0, length - p.shape[1]))) for p in parts])

    return stack(woofers), (stack(tweeters) if tweeters else None)
