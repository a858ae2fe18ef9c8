"""Where the host-side tests find the source tree, the library and the models.

A module of its own (not conftest) so that test files can import it by a name
no other test folder uses.
"""

import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
if str(REPO / "python") not in sys.path:
    sys.path.insert(0, str(REPO / "python"))

from talvek.api import find_models_dir  # noqa: E402
from talvek.binding import find_library  # noqa: E402


def _locations():
    # TALVEK_LIBRARY / TALVEK_MODEL_DIR first (CTest sets them), then the build tree.
    try:
        library = find_library()
        return library, find_models_dir(library=library)
    except FileNotFoundError:
        return None, None


LIBRARY, MODELS = _locations()
needs_library = pytest.mark.skipif(LIBRARY is None, reason="libtalvek.so or the model archives not built")
