#!/usr/bin/env bash
# The main job: designs the church example and leaves the processor files, the
# SFIO record, report.json and the plots in out/church. Expects the library
# and the model archives in build/ (`make` builds them; `make demo` does both).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${TALVEK_BUILD:-build}
export TALVEK_LIBRARY=${TALVEK_LIBRARY:-$build/libtalvek.so}
export TALVEK_MODEL_DIR=${TALVEK_MODEL_DIR:-$build/models}
out=out/church

bin/talvek check
bin/talvek design examples/church_nave.json -o "$out"
echo
echo "plots of the church design: $out/coverage.png $out/levels.png $out/filters.png"
echo "summary: $out/report.json"
