#!/usr/bin/env bash
# Every test: installs what is missing, builds, runs the unit tests, the
# host-side tests and the cross-checks through CTest; installs into a fresh
# virtual environment and uses the installation; then the unit tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer, a short fuzz run of
# the model loader (40 s per target, to keep the whole within about 11
# minutes; `make fuzz` alone runs FUZZ_SECONDS, 60 by default) and a short
# session under valgrind's memcheck. Most of the time is compiling.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
make test
make install-check
make sanitize
make fuzz FUZZ_SECONDS=40
make valgrind
