"""A CamillaDSP configuration for an exported design, with its raw coefficient files.

A mixer copies the one input channel to every loudspeaker channel, then each
channel runs its own convolution filter (``Conv`` of type ``Raw``, float64
coefficients). Capture and playback are standard input and output in
float64, so ``camilladsp camilladsp.yml < in.raw > out.raw`` runs it on
files; for a sound card, change the two devices. The YAML is written out
here rather than through a YAML library: it is a fixed shape, and the host
then needs no YAML package at run time.
"""

from __future__ import annotations

import json
from pathlib import Path

from . import raw

CONFIG = "camilladsp.yml"
CHUNK = 4096     # samples per chunk: 43 ms at 96 kHz; longer filters run segmented
FORMAT = "F64_LE"
MIXER = "to_channels"


def _quoted(text: str) -> str:
    return json.dumps(text)  # a JSON string is a valid double-quoted YAML scalar


def config_text(chains, coefficient_files: list[str]) -> str:
    """The configuration for ``chains`` whose coefficients are in ``coefficient_files``."""
    n = len(chains.names)
    lines = [
        f"title: {_quoted(f'{chains.model} steering filters')}",
        "description: " + _quoted(f"One input to {n} loudspeaker channels (woofers wf, tweeters tw, channel 1 "
                                  "lowest); full scale in gives each channel its gain in full scale out."),
        "devices:",
        f"  samplerate: {int(chains.sample_rate)}",
        f"  chunksize: {CHUNK}",
        "  capture:",
        "    type: Stdin",
        "    channels: 1",
        f"    format: {FORMAT}",
        "  playback:",
        "    type: Stdout",
        f"    channels: {n}",
        f"    format: {FORMAT}",
        "mixers:",
        f"  {MIXER}:",
        f"    description: {_quoted('the input to every channel')}",
        "    channels:",
        "      in: 1",
        f"      out: {n}",
        "    mapping:",
    ]
    for k in range(n):
        lines += [f"      - dest: {k}", "        sources:", "          - channel: 0", "            gain: 0",
                  "            inverted: false"]
    lines.append("filters:")
    for name, file in zip(chains.names, coefficient_files):
        lines += [f"  {name}:", "    type: Conv", "    parameters:", "      type: Raw",
                  f"      filename: {_quoted(file)}", f"      format: {FORMAT}"]
    lines += ["pipeline:", "  - type: Mixer", f"    name: {MIXER}"]
    for k, name in enumerate(chains.names):
        lines += ["  - type: Filter", f"    channels: [{k}]", f"    names: [{name}]"]
    return "\n".join(lines) + "\n"


def write(folder: Path, chains) -> list[str]:
    """Write the raw coefficients and ``camilladsp.yml``; returns the file names.

    The coefficient paths are relative, which CamillaDSP resolves against the
    configuration file's folder.
    """
    files = raw.write(folder, chains)
    (folder / CONFIG).write_text(config_text(chains, files))
    return files + [CONFIG]
