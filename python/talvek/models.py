"""The column models, bundled and the user's own, and where their archives are found.

A models folder holds the ten bundled archives (or links to them: the
library's start-up check wants them beside any other) and, for columns of the
user's own, their archives ``Vexal<8k>.bin`` for model numbers k from 11 up and
the table ``columns.json`` from the user's names to those numbers, which
``talvek model build`` keeps.

Nothing here needs numpy: the command line looks a venue's model up while
numpy is still being imported (:mod:`talvek.preload`).
"""

from __future__ import annotations

import contextlib
import json
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

from . import binding

__all__ = ["ModelTableError", "ModelInfo", "MODELS", "model_info", "model_for_arraytype", "MODELS_SUBDIR", "find_models_dir",
           "inside_models_dir", "COLUMNS_TABLE", "FIRST_USER_NUMBER", "LAST_USER_NUMBER", "archive_stem",
           "user_models", "all_models", "register_column"]

COLUMNS_TABLE = "columns.json"  # in a models folder: the user's columns by name
FIRST_USER_NUMBER = 11
LAST_USER_NUMBER = 999


@dataclass(frozen=True)
class ModelInfo:
    """One column model.

    ``number`` is the number the library knows it by (``Talvek_Setup_Speaker``);
    a bundled model's number is its array type, a user's column has a number
    from 11 up and shares the array type of a bundled model. ``boxes`` holds
    one row per loudspeaker box: first and last woofer channel, first and last
    tweeter channel, counted from 1; 0, 0 for a box without tweeters (the
    library's box table of the model's array type).
    """

    number: int
    name: str
    boxes: tuple
    woofer_spacing: float = 0.1  # m, nominal; only used to draw the column
    type_number: int = 0         # array type of a user's column; 0: the number itself
    length: float = 0.0          # m, a user's column as described; 0: from the woofer spacing
    tweeter_pitch: float = 0.04  # m, mean spacing of the tweeter line
    crossover_hz: float = 2000.0  # between the sections of a two-way column

    @property
    def arraytype(self) -> int:
        return self.type_number or self.number

    @property
    def user(self) -> bool:
        """True for a column of the user's own."""
        return self.number >= FIRST_USER_NUMBER

    @property
    def archive(self) -> str:
        """File name of the archive the library opens for this model."""
        return archive_stem(self.number) + ".bin"

    @property
    def column_length(self) -> float:
        """Nominal length of the column from its bottom reference point, m."""
        return self.length or self.woofer_channels * self.woofer_spacing

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


def archive_stem(number: int) -> str:
    """The archive name (without ``.bin``) that ``Talvek_Setup_Speaker(number)`` opens."""
    special = {7: "Vexal64", 8: "Vexal80", 9: "Vexal56", 10: "Vexal32LS"}
    return special.get(number, f"Vexal{8 * number}")


class ModelTableError(ValueError):
    """A models folder's ``columns.json`` that cannot be read; one line."""


def user_models(models_dir: str | os.PathLike | None) -> tuple[ModelInfo, ...]:
    """The user's columns listed in ``models_dir/columns.json`` (none without a table).

    Raises
    ------
    ModelTableError
        For a table that cannot be read or is not one ``talvek model build`` writes.
    """
    if models_dir is None:
        return ()
    path = Path(models_dir, COLUMNS_TABLE)
    try:
        table = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return ()
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise ModelTableError(f"{path}: cannot read the table of columns ({e})") from None
    out = []
    rows = table.get("columns") if isinstance(table, dict) else None
    if not isinstance(rows, list):
        raise ModelTableError(f"{path}: columns: expected a list of columns")
    for k, row in enumerate(rows, start=1):
        try:
            arraytype = int(row["arraytype"])
            out.append(ModelInfo(int(row["number"]), str(row["name"]), _bundled(arraytype).boxes,
                                 type_number=arraytype, length=float(row["length"]),
                                 tweeter_pitch=float(row.get("tweeter_pitch", 0.04)),
                                 crossover_hz=float(row.get("crossover_hz", 2000.0))))
        except (KeyError, TypeError, ValueError, StopIteration) as e:
            raise ModelTableError(f"{path}: columns[{k}]: not a column entry ({type(e).__name__}: {e})") from None
    return tuple(out)


def _bundled(arraytype: int) -> ModelInfo:
    return next(m for m in MODELS if m.number == arraytype)


def _default_models_dir():
    try:
        return find_models_dir()
    except FileNotFoundError:
        return None


def all_models(models_dir: str | os.PathLike | None = None) -> tuple[ModelInfo, ...]:
    """The bundled models and the user's columns of ``models_dir`` (default: the one found)."""
    return MODELS + user_models(models_dir if models_dir is not None else _default_models_dir())


def model_info(model: int | str, models_dir: str | os.PathLike | None = None) -> ModelInfo:
    """Look a model up by number (also as text) or by name (any case).

    The bundled models come first, then the user's columns listed in the
    models folder ``models_dir`` (default: the one :func:`find_models_dir` finds).

    Raises
    ------
    ValueError
        For a model that is neither bundled nor in the folder's table, naming the known ones.
    """
    if isinstance(model, str) and model.strip().isdigit():
        model = int(model.strip())

    def find(models):
        for info in models:
            if isinstance(model, int) and not isinstance(model, bool):
                if model == info.number:
                    return info
            elif str(model).strip().lower() == info.name.lower():
                return info
        return None

    # The bundled models do not depend on the folder (nor on its table being readable).
    found = find(MODELS)
    if found is not None:
        return found
    models = all_models(models_dir)
    found = find(models)
    if found is not None:
        return found
    known = ", ".join(f"{m.number} {m.name}" for m in models)
    raise ValueError(f"unknown model {model!r} (known: {known})")


def model_for_arraytype(arraytype: int) -> ModelInfo:
    """The bundled model of an array type."""
    for info in MODELS:
        if info.number == int(arraytype):
            return info
    raise ValueError(f"no bundled model has array type {arraytype}")


def register_column(models_dir: str | os.PathLike, info: ModelInfo) -> None:
    """Enter (or replace, by number) a user's column in the folder's table, atomically."""
    rows = [{"name": m.name, "number": m.number, "arraytype": m.arraytype, "length": m.length,
             "tweeter_pitch": m.tweeter_pitch, "crossover_hz": m.crossover_hz} for m in user_models(models_dir) if m.number != info.number]
    rows.append({"name": info.name, "number": info.number, "arraytype": info.arraytype, "length": info.length,
                 "tweeter_pitch": info.tweeter_pitch, "crossover_hz": info.crossover_hz})
    rows.sort(key=lambda r: r["number"])
    text = json.dumps({"columns": rows}, indent=1) + "\n"
    fd, partial = tempfile.mkstemp(dir=models_dir, prefix=".columns-", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(text)
        os.chmod(partial, 0o644)
        os.replace(partial, Path(models_dir, COLUMNS_TABLE))
    except BaseException:
        Path(partial).unlink(missing_ok=True)
        raise


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
