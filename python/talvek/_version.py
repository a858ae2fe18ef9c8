"""The one version number of Talvek: library, packages and this host.

It is kept in the file VERSION at the top of the source tree, which CMake and
the Python package metadata both read. An installed package answers from its
metadata; a source checkout reads the file itself, so a run from the tree
never reports the version of some other installed copy.
"""

from pathlib import Path


def _version() -> str:
    checkout = Path(__file__).resolve().parents[2]
    if (checkout / "VERSION").is_file() and (checkout / "pyproject.toml").is_file():
        return (checkout / "VERSION").read_text().strip()
    from importlib import metadata  # only an installed package needs it, and it is slow to import

    try:
        return metadata.version("talvek")
    except metadata.PackageNotFoundError:
        return "unknown"


__version__ = _version()
