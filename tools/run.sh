#!/usr/bin/env bash
# Set-up (the native tier only), the build of corvanel-cli, and Corvanel's main
# job on a demo volume: make a small NTFS image with a few deleted files (once),
# list them, recover them into a fresh folder and check that they are what was
# deleted.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh native
cmake --preset cli >/dev/null
cmake --build --preset cli >/dev/null
cli=./build/cli/corvanel-cli
image=$(bash tools/demo-volume.sh)
echo "== corvanel-cli info $image"
"$cli" info "$image"
echo
echo "== corvanel-cli scan $image"
"$cli" scan "$image"

out=$(mktemp -d /tmp/corvanel-recovered.XXXXXX)
echo
echo "== corvanel-cli recover $image --to $out --all"
"$cli" recover "$image" --to "$out" --all
echo
echo "== the recovered files against the sums taken before they were deleted"
(cd "$out" && sha256sum -c "${image%.img}.sha256")
echo "The recovered files are in $out"
