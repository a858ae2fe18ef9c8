"""Where the host looks for libtalvek.so and the model archives, in which order."""

import pytest
from hostpaths import REPO  # noqa: F401  (puts the source tree's package on the path)

from talvek import binding
from talvek.api import find_models_dir
from talvek.binding import find_library

SONAME = binding.LIBRARY_NAMES[0]  # libtalvek.so.<major>


@pytest.fixture
def places(tmp_path, monkeypatch):
    """Every place the lookup knows, redirected into tmp_path and empty at first."""
    root = {name: tmp_path / name for name in ("env", "prefix", "ldpath", "ldcache", "tree", "elsewhere")}
    for folder in root.values():
        folder.mkdir()
    for var in ("TALVEK_LIBRARY", "TALVEK_MODEL_DIR"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("LD_LIBRARY_PATH", str(root["ldpath"]))
    monkeypatch.setattr(binding, "install_prefixes", lambda: [root["prefix"]])
    monkeypatch.setattr(binding, "source_checkout", lambda: root["tree"])
    cache = root["ldcache"] / SONAME
    monkeypatch.setattr(binding, "_ld_cache", lambda: cache if cache.is_file() else None)
    return root


def make(root, *paths):
    for p in paths:
        target = root / p
        target.parent.mkdir(parents=True, exist_ok=True)
        if p.endswith("/"):
            target.mkdir(exist_ok=True)
        else:
            target.write_bytes(b"")


LIBRARIES = {
    "env": "env/libtalvek.so",
    "prefix": f"prefix/lib/{SONAME}",
    "prefix-unversioned": "prefix/lib/libtalvek.so",
    "ldpath": "ldpath/libtalvek.so",
    "ldcache": f"ldcache/{SONAME}",
    "tree": "tree/build/libtalvek.so",
}


@pytest.mark.parametrize("present, found", [
    (list(LIBRARIES), "env"),
    (["prefix", "prefix-unversioned", "ldpath", "ldcache", "tree"], "prefix"),  # the SONAME first
    (["prefix-unversioned", "ldpath", "tree"], "prefix-unversioned"),
    (["ldpath", "ldcache", "tree"], "ldpath"),
    (["ldcache", "tree"], "ldcache"),
    (["tree"], "tree"),
])
def test_library_lookup_order(places, monkeypatch, present, found):
    make(places["env"].parent, *(LIBRARIES[k] for k in present))
    if "env" in present:
        monkeypatch.setenv("TALVEK_LIBRARY", str(places["env"]))
    assert find_library() == places["env"].parent / LIBRARIES[found]


@pytest.mark.parametrize("library, present, found", [
    (None, ["env/", "prefix/share/talvek/models/", "tree/build/models/"], "env/"),
    # An installed library brings its own prefix's models, before this environment's.
    ("elsewhere/lib/libtalvek.so.0", ["elsewhere/share/talvek/models/", "prefix/share/talvek/models/"],
     "elsewhere/share/talvek/models/"),
    # A library in a build tree has them beside it.
    ("elsewhere/build/libtalvek.so", ["elsewhere/build/models/", "prefix/share/talvek/models/"],
     "elsewhere/build/models/"),
    ("elsewhere/build/libtalvek.so", ["prefix/share/talvek/models/", "tree/build/models/"],
     "prefix/share/talvek/models/"),
    (None, ["tree/build/models/"], "tree/build/models/"),
])
def test_models_lookup_order(places, monkeypatch, library, present, found):
    make(places["env"].parent, *present)
    if "env/" in present:
        monkeypatch.setenv("TALVEK_MODEL_DIR", str(places["env"]))
    lib = places["env"].parent / library if library else None
    assert find_models_dir(library=lib) == places["env"].parent / found.rstrip("/")


def test_missing_library_and_models_name_every_place(places):
    for find, places_named in ((find_library, (places["prefix"] / "lib", places["ldpath"], "ldconfig",
                                                f"{places['tree']}/build*/")),
                               (find_models_dir, (places["prefix"] / "share/talvek/models",
                                                  places["tree"] / "build/models"))):
        with pytest.raises(FileNotFoundError) as e:
            find()
        for where in places_named:
            assert str(where) in str(e.value)
