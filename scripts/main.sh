#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and the bundled
# model archives, checks the archives, and designs a column for a sample venue.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
make all
if [ -f scripts/demo.sh ]; then
  bash scripts/demo.sh
fi
