#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for SECONDS (default 60) from the
# seeds and regression inputs in tests/fuzz/corpus/<target>. A crash, or an
# input that runs longer than 10 s (a hang), leaves its input in
# build/fuzz/crashes/ and fails the run; keep such inputs in the corpus as
# regression tests once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

log=$(mktemp)
if ! { cmake --preset fuzz && cmake --build --preset fuzz; } >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  rm -f "$log"
  echo "fuzz: the build failed" >&2
  exit 1
fi
rm -f "$log"
mkdir -p build/fuzz/crashes
for target in file_record boot_sector fat_walk index gif lznt1 attribute_list exfat_sets partition_table; do
  work=$(mktemp -d)
  echo "fuzz: $target for ${seconds}s"
  status=0
  build/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -artifact_prefix=build/fuzz/crashes/${target}- \
    "$work" "tests/fuzz/corpus/$target" >"$work.log" 2>&1 || status=$?
  grep -E '^Done [0-9]+ runs|ERROR|SUMMARY' "$work.log" || tail -n 5 "$work.log"
  rm -rf "$work" "$work.log"
  [ "$status" -eq 0 ] || { echo "fuzz: $target failed" >&2; exit 1; }
done
