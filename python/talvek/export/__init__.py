"""Filters for open convolution engines: ``talvek export``.

Each channel's whole processing chain (:mod:`.chain`) as one impulse
response at the design's 96 kHz, written for BruteFIR (raw float64
coefficients and a configuration), CamillaDSP (the same coefficients and a
YAML configuration) or as float WAV files, with a manifest ``export.json``
that says what the levels mean. The folder is written whole or not at all.
"""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np

from . import brutefir, camilladsp, wav
from .chain import ChannelChains, channel_chains
from .errors import ExportError
from .model_document import read_model_document
from .staging import MANIFEST, check_target, write_folder

__all__ = ["ENGINES", "ExportError", "ChannelChains", "export_design", "channel_chains", "read_model_document"]

ENGINES = {"brutefir": brutefir.write, "camilladsp": camilladsp.write, "wav": wav.write}


def _manifest(chains: ChannelChains, engine: str, files: list[str], source: str) -> dict:
    ir = chains.impulse_responses
    spectrum = np.abs(np.fft.rfft(ir, 1 << int(np.ceil(np.log2(4 * ir.shape[1]))), axis=1))
    peak_db = 20 * np.log10(np.maximum(spectrum.max(axis=1), 1e-300))
    return {
        "model": chains.model,
        "arraytype": chains.arraytype,
        "record": source,
        "engine": engine,
        "sample_rate": int(chains.sample_rate),
        "taps": int(chains.impulse_responses.shape[1]),
        "levels": "gain from the input in full scale to each channel's output in full scale (the DAC of "
                  "its amplifier); the predicted levels of the design are for an input of design_scale "
                  "full scale (design_scale_db re full scale)",
        "design_scale": chains.design_scale,
        "design_scale_db": round(20 * np.log10(chains.design_scale), 2),
        "truncation": "recursive parts cut where the dropped tail sums below -120 dB of their peak gain",
        "steering_taps": chains.steering_length,
        "recursive_taps": chains.recursive_lengths,
        "channels": [{"name": n, "section": "woofer" if n.startswith("wf") else "tweeter",
                      "channel": int(n[2:]), "peak_gain_db": round(float(g), 2)}
                     for n, g in zip(chains.names, peak_db)],
        "files": files,
    }


def export_design(tv, record, engine: str, folder: str | Path, *, source: str = "") -> Path:
    """Design from ``record`` and write its channel filters for ``engine`` into ``folder``.

    Parameters
    ----------
    tv : Talvek
        The session; it ends up holding the design of ``record``.
    record : SFIORecord
        The stored design; ``record.model`` names the model it was made for.
    engine : {"brutefir", "camilladsp", "wav"}
    folder : path
        Created whole, or replaced when it holds an earlier export.

    Raises
    ------
    ExportError
        A model that is not installed, a folder that cannot be written; nothing is written then.
    """
    if engine not in ENGINES:
        raise ExportError(f"unknown engine {engine!r} (one of {', '.join(ENGINES)})")
    check_target(folder)
    try:
        info = record.model_in(tv.models_dir)
    except ValueError as e:
        raise ExportError(f"{source or 'the record'}: {e}") from None
    document = read_model_document(tv.models_dir, info.number, shown_as=info.name)
    where = source or "the record"
    if int(document.get("arraytype", -1)) != int(record.arraytype):
        raise ExportError(f"{where}: made for array type {record.arraytype}, but the installed {info.name} "
                          f"has array type {document.get('arraytype')}")
    tv.redesign(record)
    chains = channel_chains(tv, record, document)
    if len(document["wf"].get("driverpos", ())) != sum(n.startswith("wf") for n in chains.names):
        raise ExportError(f"{where}: the design's woofer channels do not match the installed {info.name}")

    def fill(staging: Path) -> None:
        files = ENGINES[engine](staging, chains)
        (staging / MANIFEST).write_text(json.dumps(_manifest(chains, engine, files, source), indent=2) + "\n")

    return write_folder(folder, fill)
