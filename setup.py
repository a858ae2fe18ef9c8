"""Keeps setuptools' scratch files out of the source tree.

By default setuptools writes build/lib (and build/ is CMake's build folder
here) and python/talvek.egg-info while pip builds the package; this points
both at a temporary folder that is removed when the build ends. Everything
else is in pyproject.toml.
"""

import atexit
import shutil
import tempfile

from setuptools import setup

scratch = tempfile.mkdtemp(prefix="talvek-setuptools-")
atexit.register(shutil.rmtree, scratch, ignore_errors=True)
setup(options={
    "build": {"build_base": f"{scratch}/build"},
    "egg_info": {"egg_base": scratch},
    "bdist_wheel": {"bdist_dir": f"{scratch}/bdist"},
})
