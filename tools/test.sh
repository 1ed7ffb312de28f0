#!/usr/bin/env bash
# All of Corvanel's checks: set-up, the three builds (Linux, Windows x86_64,
# Windows i686), the native suite plain and under ASan/UBSan, the Windows
# suites under wine64 and 32-bit Wine, the packages, and a short run of the
# fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

for preset in linux linux-asan win64 win32; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# Both Windows builds linked, whether or not their suites can run here.
for exe in build/win32/corvanel-cli.exe build/win64/corvanel-cli.exe; do
  [ -s "$exe" ] || { echo "missing $exe" >&2; exit 1; }
done

passed=0
failed=0
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
  echo "== tests: $preset"
  log=$(mktemp)
  status=0
  runner=()
  jobs=-j2
  # The i686 runs queue on one Wine prefix's lock; run side by side, a queued
  # suite's wait would count against its timeout.
  [ "$preset" = win32 ] && runner=(tools/i686-env) && jobs=-j1
  "${runner[@]}" ctest --preset "$preset" "$jobs" 2>&1 | tee "$log" || status=$?
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
echo "== tests: win64 scans of real volumes"
if /usr/bin/python3 tests/volume/real_volumes_test.py build/linux/corvanel-cli tools/wine-run \
    build/win64/corvanel-cli.exe RealVolumesTest.test_windows_build_agrees; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi
# ... and shreds through the mounts (X:\ the mount, \\.\X: the image).
echo "== tests: win64 shreds on real volumes"
if /usr/bin/python3 tests/shred/real_volumes_test.py build/linux/corvanel-cli tools/wine-run \
    build/win64/corvanel-cli.exe WindowsShredTest; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi

# What ships: the installer (its x86_64 build where this kernel runs no 32-bit
# programs), the zip and the .deb, each installed and removed again.
echo "== packages"
package_args=()
/usr/lib/wine/wine --version >/dev/null 2>&1 || package_args=(--x64)
if bash tools/package.sh "${package_args[@]}" >build/package.log 2>&1 &&
    /usr/bin/python3 tests/tools/package_test.py build/dist; then
  passed=$((passed + 1))
else
  tail -n 20 build/package.log >&2
  failed=$((failed + 1))
fi

# The fuzz targets, briefly, as a smoke test (tools/fuzz.sh runs them longer).
echo "== fuzz (smoke)"
bash tools/fuzz.sh 5 || failed=$((failed + 1))

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
