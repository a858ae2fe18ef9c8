"""Shared fixtures of the host-side tests.

The library keeps one state per process, so every test that needs a design
asks for one through ``church`` (made once per session) and a test that
changes the library's model or design puts the church design back with
``church.restore()`` before it ends.
"""

import os

import pytest
from hostpaths import EXAMPLES, LIBRARY, MODELS, REPO

from talvek.api import SFIORecord, Talvek
from talvek.venue import load_venue


@pytest.fixture(scope="session")
def tv():
    if LIBRARY is None:
        pytest.skip("libtalvek.so or the model archives not built")
    return Talvek(LIBRARY, MODELS)


class ChurchDesign:
    """The church example optimised once; ``restore`` makes it the current design again."""

    def __init__(self, tv: Talvek):
        self.tv = tv
        self.venue = load_venue(EXAMPLES / "church_nave.json")
        tv.select(self.venue.model.name)
        self.record: SFIORecord = tv.optimise(self.venue.height, self.venue.tilt, self.venue.item_table())

    def restore(self):
        # Optimising again, because the library refuses a stored record of one
        # array type while it holds a design of another.
        self.tv.select(self.venue.model.name)
        self.tv.optimise(self.venue.height, self.venue.tilt, self.venue.item_table())


@pytest.fixture(scope="session")
def church(tv):
    design = ChurchDesign(tv)
    yield design


@pytest.fixture(scope="session")
def env_for_subprocess():
    """Environment for running the command line as a separate process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(REPO / "python") + os.pathsep + env.get("PYTHONPATH", "")
    if LIBRARY is not None:
        env["TALVEK_LIBRARY"] = str(LIBRARY)
        env["TALVEK_MODEL_DIR"] = str(MODELS)
    return env
