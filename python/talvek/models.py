"""The bundled column models, and where their archives are found.

Nothing here needs numpy: the command line looks a venue's model up while
numpy is still being imported (:mod:`talvek.preload`).
"""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass
from pathlib import Path

from . import binding

__all__ = ["ModelInfo", "MODELS", "model_info", "model_for_arraytype", "MODELS_SUBDIR", "find_models_dir",
           "inside_models_dir"]


@dataclass(frozen=True)
class ModelInfo:
    """One bundled column model.

    ``boxes`` holds one row per loudspeaker box: first and last woofer channel,
    first and last tweeter channel, counted from 1; 0, 0 for a box without
    tweeters (the library's box table of the model's array type).
    """

    number: int
    name: str
    boxes: tuple
    woofer_spacing: float = 0.1  # m, nominal; only used to draw the column

    @property
    def column_length(self) -> float:
        """Nominal length of the column from its bottom reference point, m."""
        return self.woofer_channels * self.woofer_spacing

    @property
    def woofer_channels(self) -> int:
        return max(b[1] for b in self.boxes)

    @property
    def tweeter_channels(self) -> int:
        return max(b[3] for b in self.boxes)

    @property
    def two_way(self) -> bool:
        return self.tweeter_channels > 0


_SIX_BOXES = ((1, 8, 0, 0), (9, 16, 0, 0), (17, 24, 1, 8), (25, 32, 9, 16), (33, 40, 0, 0), (41, 48, 0, 0))

# Model number k is array type k; names follow Talvek_Setup_Speaker.
MODELS = (
    ModelInfo(1, "Vexal8", ((1, 8, 0, 0),)),
    ModelInfo(2, "Vexal16", ((1, 8, 1, 8),)),
    ModelInfo(3, "Vexal24", ((1, 8, 0, 0), (9, 16, 1, 8))),
    ModelInfo(4, "Vexal32", ((1, 8, 1, 8), (9, 16, 9, 16))),
    ModelInfo(5, "Vexal40", ((1, 8, 0, 0), (9, 16, 1, 8), (17, 24, 9, 16))),
    ModelInfo(6, "Vexal48", ((1, 8, 0, 0), (9, 16, 1, 8), (17, 24, 9, 16), (25, 32, 0, 0))),
    ModelInfo(7, "Vexal64", _SIX_BOXES),
    ModelInfo(8, "Vexal80", _SIX_BOXES, 0.125),
    ModelInfo(9, "Vexal56", ((1, 8, 0, 0), (9, 16, 0, 0), (17, 24, 1, 8), (25, 32, 9, 16), (33, 40, 0, 0))),
    ModelInfo(10, "Vexal32LS", ((1, 8, 0, 0), (9, 16, 1, 8), (17, 24, 0, 0))),
)


def model_info(model: int | str) -> ModelInfo:
    """Look a model up by number (1-10, also as text) or by name (any case).

    Raises
    ------
    ValueError
        For a model that is not bundled, naming the known ones.
    """
    if isinstance(model, str) and model.strip().isdigit():
        model = int(model.strip())
    for info in MODELS:
        if isinstance(model, int) and not isinstance(model, bool):
            if model == info.number:
                return info
        elif str(model).strip().lower() == info.name.lower():
            return info
    known = ", ".join(f"{m.number} {m.name}" for m in MODELS)
    raise ValueError(f"unknown model {model!r} (known: {known})")


def model_for_arraytype(arraytype: int) -> ModelInfo:
    return model_info(int(arraytype))


# Below an installation prefix, as CMake installs them (CMAKE_INSTALL_DATADIR/talvek/models).
MODELS_SUBDIR = Path("share", "talvek", "models")


def find_models_dir(path: str | os.PathLike | None = None, library: Path | None = None) -> Path:
    """Locate the folder of model archives.

    Order: the explicit ``path``; the environment variable ``TALVEK_MODEL_DIR``;
    the folder that belongs to ``library`` (``models/`` beside it in a build
    tree, ``<prefix>/share/talvek/models`` when it is installed under a prefix);
    ``share/talvek/models`` of the installation prefixes
    (:func:`talvek.binding.install_prefixes`); last ``build/models`` of the
    source checkout this package runs from.

    Raises
    ------
    FileNotFoundError
        With every place that was searched.
    """
    for given in (path, os.environ.get("TALVEK_MODEL_DIR")):
        if given:
            p = Path(given)
            if not p.is_dir():
                raise FileNotFoundError(f"models folder {p} does not exist")
            return p.resolve()
    candidates = []
    if library is not None:
        candidates.append(Path(library).parent / "models")
        prefix = binding.prefix_of(library)
        if prefix is not None:
            candidates.append(prefix / MODELS_SUBDIR)
    candidates += [prefix / MODELS_SUBDIR for prefix in binding.install_prefixes()]
    tree = binding.source_checkout()
    if tree is not None:
        candidates.append(tree / "build" / "models")
    candidates = list(dict.fromkeys(candidates))
    for p in candidates:
        if p.is_dir():
            return p.resolve()
    raise FileNotFoundError(f"cannot find the model archives; looked in TALVEK_MODEL_DIR (not set), "
                            f"{', '.join(map(str, candidates))}. Install them with {binding.install_command()}, "
                            "build them with `make`, or name the folder with "
                            "--models / TALVEK_MODEL_DIR")


@contextlib.contextmanager
def inside_models_dir(folder: Path):
    """The current directory is ``folder`` for the block: the library opens model
    archives relative to it. The previous directory is always restored."""
    previous = os.getcwd()
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(previous)
