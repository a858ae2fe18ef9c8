#!/usr/bin/env bash
# Every test: installs what is missing, builds, runs the unit tests, the
# host-side tests and the cross-checks through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
make test
