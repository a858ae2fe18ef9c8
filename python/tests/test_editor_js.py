"""The editor page's own logic (venue text, column edits, the results' file list),
kept in small pure scripts and tested with Node's built-in runner."""

import shutil
import subprocess
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


def test_page_scripts_under_node():
    node = shutil.which("node") or shutil.which("nodejs")
    if not node:
        pytest.skip("node not installed")
    tests = sorted(str(p) for p in (HERE / "editor_js").glob("*.test.js"))
    result = subprocess.run([node, "--test", *tests], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]
