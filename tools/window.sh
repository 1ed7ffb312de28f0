#!/usr/bin/env bash
# Opens the window under wine64 with the demo NTFS volume as drive X: (a
# copy, so the cached one stays as made), for trying the recover page: pick
# X:\ in the drive tree, tick the files, choose a folder on C: and recover.
# Without a display it starts a virtual one and says how to look at it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh full >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Corvanel >/dev/null
image=$(bash tools/demo-volume.sh)

work=$(mktemp -d /tmp/corvanel-window.XXXXXX)
cp "$image" "$work/demo.img"
mkdir "$work/x"  # X:\ itself: the system lists only drives with a folder
export CORVANEL_WINEPREFIX="${CORVANEL_WINEPREFIX:-/var/cache/corvanel/wineprefix-window}"
export CORVANEL_WINE_X_IMAGE="$work/demo.img" CORVANEL_WINE_X_MOUNT="$work/x"
# On a desktop its window manager places the windows; a virtual display has none.
export CORVANEL_WINE_MANAGED="${DISPLAY:+Y}"
# A fixed disk, as GetDriveTypeW must say for the page to list it.
tools/wine-run reg add 'HKLM\Software\Wine\Drives' /v x: /t REG_SZ /d hd /f >/dev/null 2>&1

xvfb=
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 50 99); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
  Xvfb ":$n" -screen 0 1280x900x24 >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=":$n"
  sleep 1
  echo "No display: the window runs on the virtual display $DISPLAY."
  echo "See it with: DISPLAY=$DISPLAY import -window root shot.png (or x11vnc -display $DISPLAY)"
fi
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 143' INT TERM HUP  # so that the copy and the display go on a signal too
echo "Corvanel is open with the demo volume as X: (the sums of its deleted files: ${image%.img}.sha256)."
tools/wine-run build/win64/Corvanel.exe
