#!/usr/bin/env bash
# Runs the model-loader fuzz targets side by side for a bounded time.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
# Each target grows its working corpus in BUILD_DIR/fuzz-corpus/<target>
# (seeded from the generated seeds, kept between runs) and writes any crash,
# leak, timeout or out-of-memory input to BUILD_DIR/findings/. Exits non-zero
# when a target found something.
set -euo pipefail
# Absolute: the archive target works in a private folder of its own.
build=$(realpath "${1:?build folder}")
seconds=${2:?seconds per target}
seeds=$build/tests/fuzz/seeds
mkdir -p "$build/findings"

declare -A seed_dirs=([fuzz_model_archive]=archive [fuzz_model_json]=json)
pids=()
for target in fuzz_model_archive fuzz_model_json; do
  corpus=$build/fuzz-corpus/$target
  mkdir -p "$corpus"
  # -rss_limit_mb also caps single allocations; -timeout is per input (s).
  "$build/tests/fuzz/$target" "$corpus" "$seeds/${seed_dirs[$target]}" \
    -dict="$seeds/model.dict" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$build/findings/$target-" -print_final_stats=1 \
    >"$build/findings/$target.log" 2>&1 &
  pids+=($!)
done

status=0
i=0
for target in fuzz_model_archive fuzz_model_json; do
  if ! wait "${pids[$i]}"; then
    status=1
    echo "fuzz: $target found a problem; last lines of $build/findings/$target.log:"
    tail -n 40 "$build/findings/$target.log"
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/findings/$target.log" | grep -o '[0-9]*$' || echo '?')
  echo "fuzz: $target: $runs executions in ${seconds} s"
  i=$((i + 1))
done
exit $status
