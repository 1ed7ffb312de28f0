#!/usr/bin/env bash
# Set-up, the native build, and Corvanel's command-line tool.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null
./build/linux/corvanel-cli --help
