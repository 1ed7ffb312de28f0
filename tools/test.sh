#!/usr/bin/env bash
# All of Corvanel's checks: set-up, the three builds (Linux, Windows x86_64,
# Windows i686), the native suite plain and under ASan/UBSan, the Windows
# suite under wine64, and a short run of the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

for preset in linux linux-asan win64 win32; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# The shipping target cannot run here; make sure it linked.
for exe in build/win32/corvanel-cli.exe build/win64/corvanel-cli.exe; do
  [ -s "$exe" ] || { echo "missing $exe" >&2; exit 1; }
done

passed=0
failed=0
for preset in linux linux-asan win64; do
  echo "== tests: $preset"
  log=$(mktemp)
  status=0
  ctest --preset "$preset" -j2 2>&1 | tee "$log" || status=$?
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

# The fuzz targets, briefly, as a smoke test (tools/fuzz.sh runs them longer).
echo "== fuzz (smoke)"
bash tools/fuzz.sh 5 || failed=$((failed + 1))

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
