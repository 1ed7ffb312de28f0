#!/usr/bin/env bash
# Set-up, the native build, and Corvanel's main job on a demo volume: make a
# small NTFS image with a few deleted files (once) and list them.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target corvanel-cli >/dev/null
image=$(bash tools/demo-volume.sh)
echo "== corvanel-cli info $image"
./build/linux/corvanel-cli info "$image"
echo
echo "== corvanel-cli scan $image"
./build/linux/corvanel-cli scan "$image"
