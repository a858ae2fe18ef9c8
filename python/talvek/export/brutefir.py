"""A BruteFIR configuration for an exported design, with its raw coefficient files.

One input channel, one output channel per loudspeaker channel, each through
its own filter; 64-bit processing. The input and the output are raw float64
files in the folder (``input.f64`` in, ``output.f64`` out, interleaved), so
the configuration runs as it is; for a sound card, change the two ``device``
entries. Coefficient paths are relative: run BruteFIR in the folder.
"""

from __future__ import annotations

import math
from pathlib import Path

from . import raw

CONFIG = "brutefir.conf"
PARTITION = 4096  # samples per filter block: 43 ms at 96 kHz; the engine's I/O delay is a multiple of it
INPUT, OUTPUT = "input.f64", "output.f64"


def partitions(length: int) -> int:
    """Filter blocks of ``PARTITION`` samples that hold ``length`` taps."""
    return max(1, math.ceil(length / PARTITION))


def config_text(chains, coefficient_files: list[str]) -> str:
    """The configuration for ``chains`` whose coefficients are in ``coefficient_files``."""
    n = len(chains.names)
    model = " ".join(str(chains.model).split())  # a comment runs to the end of its line
    outputs = ", ".join(f'"{name}"' for name in chains.names)
    lines = [
        f"# BruteFIR: {model}, one input to {n} loudspeaker channels (woofers wf, tweeters tw,",
        "# channel 1 lowest). The engine must run at 96000 Hz; full scale in gives each channel's",
        "# gain in full scale out. Run it in this folder: brutefir " + CONFIG,
        "float_bits: 64;",
        f"sampling_rate: {int(chains.sample_rate)};",
        f"filter_length: {PARTITION},{partitions(chains.impulse_responses.shape[1])};",
        "overflow_warnings: true;",
        "show_progress: false;",
        "allow_poll_mode: false;",
        "lock_memory: false;",
        "monitor_rate: false;",
        "powersave: false;",
        "",
    ]
    lines += [f'coeff "c_{name}" {{ filename: "{file}"; format: "FLOAT64_LE"; }};'
              for name, file in zip(chains.names, coefficient_files)]
    lines += [
        "",
        'input "in" {',
        f'    device: "file" {{ path: "{INPUT}"; }};',
        '    sample: "FLOAT64_LE";',
        "    channels: 1;",
        "};",
        "",
        f"output {outputs} {{",
        f'    device: "file" {{ path: "{OUTPUT}"; }};',
        '    sample: "FLOAT64_LE";',
        f"    channels: {n};",
        "};",
        "",
    ]
    lines += [f'filter "f_{name}" {{ from_inputs: "in"; to_outputs: "{name}"; coeff: "c_{name}"; }};'
              for name in chains.names]
    return "\n".join(lines) + "\n"


def write(folder: Path, chains) -> list[str]:
    """Write the raw coefficients and ``brutefir.conf``; returns the file names."""
    files = raw.write(folder, chains)
    (folder / CONFIG).write_text(config_text(chains, files))
    return files + [CONFIG]
