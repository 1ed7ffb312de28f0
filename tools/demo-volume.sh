#!/usr/bin/env bash
# Makes (once) a small NTFS volume image with a few deleted files, for the
# README's run command, and prints its path. Cached in the set-up's cache,
# with the SHA-256 sums of the deleted files beside it (.sha256).
set -euo pipefail
CACHE_DIR="${CORVANEL_CACHE:-/var/cache/corvanel}"
image="$CACHE_DIR/demo/ntfs-demo.img"
manifest="$CACHE_DIR/demo/ntfs-demo.sha256"  # the deleted files' sums, for checking a recovery
[ -s "$image" ] && [ -s "$manifest" ] && { printf '%s\n' "$image"; exit 0; }

mkdir -p "$CACHE_DIR/demo"
work=$(mktemp -d)
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
truncate -s 32M "$work/demo.img"
mkntfs -F -f -q -L demo "$work/demo.img" >/dev/null 2>&1
mkdir "$work/mnt"
ntfs-3g -o no_detach "$work/demo.img" "$work/mnt" >/dev/null 2>&1 &
daemon=$!
for _ in $(seq 100); do mountpoint -q "$work/mnt" && break; sleep 0.05; done
mountpoint -q "$work/mnt" || { echo "demo: ntfs-3g did not mount" >&2; exit 1; }

cd "$work/mnt"
printf 'Meeting at nine.\n' > notes.txt
printf '季度报告：收入增长百分之十二。\n' > '季度报告.txt'
head -c 200000 /dev/urandom > photo.jpg
mkdir -p projects/old
seq 1 20000 > projects/old/numbers.csv
printf 'keep me\n' > readme.txt
sha256sum notes.txt '季度报告.txt' photo.jpg > "$work/manifest"
(cd projects/old && sha256sum numbers.csv) >> "$work/manifest"
rm notes.txt '季度报告.txt' photo.jpg
rm -r projects
cd /
umount "$work/mnt"
wait "$daemon"  # ntfs-3g writes out the volume after umount returns
mv "$work/manifest" "$manifest"
mv "$work/demo.img" "$image"
printf '%s\n' "$image"
