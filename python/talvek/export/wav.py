"""Impulse responses as WAV files: one mono 32-bit float file per channel."""

from __future__ import annotations

from pathlib import Path


def write(folder: Path, chains) -> list[str]:
    """Write ``<channel>.wav`` for every channel; returns the file names."""
    import soundfile

    names = []
    for name, ir in zip(chains.names, chains.impulse_responses):
        soundfile.write(folder / f"{name}.wav", ir, int(chains.sample_rate), subtype="FLOAT", format="WAV")
        names.append(f"{name}.wav")
    return names
