#!/usr/bin/env bash
# All of Corvanel's checks: set-up, the three builds (Linux, Windows x86_64,
# Windows i686), the native suite plain and under ASan/UBSan, the Windows
# suites under wine64 and 32-bit Wine, the packages, and short runs of the
# fuzz targets and of the differential test against The Sleuth Kit. Each
# stage's time is printed at the end, with the total.
set -euo pipefail
cd "$(dirname "$0")/.."

stage_names=()
stage_seconds=()
stage_started=0
begin_stage() { # NAME
  end_stage
  stage_names+=("$1")
  stage_started=$(date +%s)
  echo "== $1"
}
end_stage() {
  [ "$stage_started" -eq 0 ] && return
  stage_seconds+=($(($(date +%s) - stage_started)))
  stage_started=0
}
print_stage_times() {
  end_stage
  local i total=0
  echo "== stage times"
  for i in "${!stage_names[@]}"; do
    printf '%7ss  %s\n' "${stage_seconds[$i]}" "${stage_names[$i]}"
    [ "$i" -gt 0 ] && total=$((total + stage_seconds[i]))  # set-up is not the suite's
  done
  printf '%7ss  total, set-up excluded (%dm%02ds)\n' "$total" $((total / 60)) $((total % 60))
}
trap print_stage_times EXIT

begin_stage "set-up"
bash tools/setup.sh full

for preset in linux linux-asan win64 win32; do
  begin_stage "build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# Both Windows builds linked, whether or not their suites can run here.
for exe in build/win32/corvanel-cli.exe build/win64/corvanel-cli.exe; do
  [ -s "$exe" ] || { echo "missing $exe" >&2; exit 1; }
done

passed=0
failed=0
count() { # STATUS
  if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}
# The shipping i686 build's suites run where the 32-bit Wine loader does,
# natively or through qemu-user (tools/i686-env says which, or why not).
presets=(linux linux-asan win64)
if i686_how=$(tools/i686-env --check); then
  presets+=(win32)
  echo "== i686 suites: $i686_how"
else
  echo "== i686 suites SKIPPED: $i686_how"
fi
for preset in "${presets[@]}"; do
  begin_stage "tests: $preset"
  log=$(mktemp)
  status=0
  runner=()
  # (The suites that share a Wine prefix take turns on it: tests/CMakeLists.txt.)
  [ "$preset" = win32 ] && runner=(tools/i686-env)
  "${runner[@]}" ctest --preset "$preset" -j2 2>&1 | tee "$log" || status=$?
  summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$summary" ]; then
    echo "no test summary from $preset" >&2
    exit 1
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$status" -eq 0 ] || { echo "tests failed: $preset" >&2; }
done
# The Windows build scans the real test volumes the way the Linux build does.
begin_stage "tests: win64 scans of real volumes"
status=0
/usr/bin/python3 tests/volume/real_volumes_test.py build/linux/corvanel-cli tools/wine-run \
  build/win64/corvanel-cli.exe RealVolumesTest.test_windows_build_agrees || status=$?
count "$status"
# ... and shreds through the mounts (X:\ the mount, \\.\X: the image).
begin_stage "tests: win64 shreds on real volumes"
status=0
/usr/bin/python3 tests/shred/real_volumes_test.py build/linux/corvanel-cli tools/wine-run \
  build/win64/corvanel-cli.exe WindowsShredTest || status=$?
count "$status"
# ... and names the disk-image formats it has no reader for.
begin_stage "tests: win64 on disk images"
status=0
/usr/bin/python3 tests/volume/disk_images_test.py build/linux/corvanel-cli tools/wine-run \
  build/win64/corvanel-cli.exe DiskImagesTest.test_the_windows_build_names_what_it_cannot_read || status=$?
count "$status"

# What ships: the installer (its x86_64 build where this kernel runs no 32-bit
# programs), the zip and the .deb, each installed and removed again.
begin_stage "packages"
package_args=()
/usr/lib/wine/wine --version >/dev/null 2>&1 || package_args=(--x64)
status=0
if bash tools/package.sh "${package_args[@]}" >build/package.log 2>&1; then
  /usr/bin/python3 tests/tools/package_test.py build/dist || status=$?
else
  tail -n 20 build/package.log >&2
  status=1
fi
count "$status"

# The fuzz targets, briefly, as a smoke test (tools/fuzz.sh runs them longer).
begin_stage "fuzz (smoke)"
status=0
bash tools/fuzz.sh 5 || status=$?
count "$status"

# corvanel-cli against The Sleuth Kit on generated and damaged volumes, for a
# minute with a fixed seed (tools/difftest.py runs as long as it is given).
begin_stage "difftest (smoke)"
status=0
/usr/bin/python3 tools/difftest.py 60 --seed 1 || status=$?
count "$status"

print_stage_times
trap - EXIT
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
