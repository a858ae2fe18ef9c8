#!/usr/bin/env python3
"""Fail when a library file includes from a layer above its own.

The library folders form layers, lowest first. A file may include from its
own folder and from lower layers; the folders that share a level (optimiser,
acoustics, selfcheck) stay out of each other. include/talvek.h, the public
header, is open to everyone.

Usage: check_layers.py [source-dir]
"""
import pathlib
import re
import sys

LEVEL = {"core": 0, "filters": 1, "model": 2,
         "optimiser": 3, "acoustics": 3, "selfcheck": 3, "api": 4}
PUBLIC = {"include/talvek.h", "talvek.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


def violations(root):
    for folder, level in LEVEL.items():
        for path in sorted((root / folder).glob("*")):
            if path.suffix not in {".h", ".c", ".cpp"}:
                continue
            for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
                head = target.split("/")[0]
                if target in PUBLIC or head not in LEVEL or head == folder:
                    continue
                if LEVEL[head] >= level:
                    yield f"{path.relative_to(root)} includes {target}"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    missing = [f for f in LEVEL if not (root / f).is_dir()]
    found = list(violations(root))
    for line in [f"missing layer folder {f}/" for f in missing] + found:
        print(line)
    return 1 if missing or found else 0


if __name__ == "__main__":
    sys.exit(main())
