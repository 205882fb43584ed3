#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR for SECONDS each on its seed corpus (only read). New inputs go
# to BUILD_DIR/fuzz-work/<target>/, findings to BUILD_DIR/fuzz-findings/. Exits non-zero when a
# target found a crash, a hang, a leak or a sanitizer report.
set -euo pipefail
build_dir=${1:?usage: run.sh BUILD_DIR SECONDS}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build_dir/fuzz-findings"
failed=()
for seeds in "$here"/corpus/*/; do
  target=$(basename "$seeds")
  binary="$build_dir/tests/fuzz/fuzz_$target" work="$build_dir/fuzz-work/$target" log="$build_dir/fuzz-work/$target.log"
  [ -x "$binary" ] || { echo "fuzz: $binary is missing"; failed+=("$target"); continue; }
  mkdir -p "$work"
  echo "fuzz: $target for ${seconds}s"
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build_dir/fuzz-findings/$target-" "$work" "$seeds" >"$log" 2>&1 ||
    { failed+=("$target"); tail -n 40 "$log"; }
  echo "$(grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$log" | tr '\n' ' ')"
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz: findings in: ${failed[*]} (inputs in $build_dir/fuzz-findings/)"; exit 1; }
echo "fuzz: no findings"
