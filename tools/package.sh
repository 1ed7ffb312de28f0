#!/usr/bin/env bash
# Makes what ships, in build/dist/: the Windows installer
# Corvanel-<version>-setup.exe (i686), a portable zip of the same files, and
# the Debian package of corvanel-cli. With --x64 it also makes an x86_64
# installer, for testing on machines that cannot run 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."

x64=0
[ "${1:-}" = --x64 ] && x64=1
version=$(sed -nE 's/^project\(Corvanel VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
dist=build/dist
rm -rf "$dist"
mkdir -p "$dist"

build() { # PRESET TARGET...
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" --target "${@:2}"
}

# stage PRESET TRIPLET DIR: the files the installer and the zip hold.
stage() {
  mkdir -p "$3"
  cp "build/$1/Corvanel.chm" "$3/"
  "$2-strip" -o "$3/Corvanel.exe" "build/$1/Corvanel.exe"
  "$2-strip" -o "$3/corvanel-cli.exe" "build/$1/corvanel-cli.exe"
  cp LICENSE "$3/LICENSE.txt"
  cp THIRD-PARTY-NOTICES.txt "$3/"
}

installer() { # STAGE OUTFILE [-DX64]
  makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$1" -DOUTFILE="$PWD/$2" "${@:3}" tools/installer.nsi
}

build win32 Corvanel corvanel-cli help_file
portable="Corvanel-$version"
stage win32 i686-w64-mingw32 "$dist/stage/$portable"
installer "$dist/stage/$portable" "$dist/Corvanel-$version-setup.exe"
(cd "$dist/stage" && cmake -E tar cf "../Corvanel-$version-portable.zip" --format=zip "$portable")

if [ "$x64" = 1 ]; then
  build win64 Corvanel corvanel-cli help_file
  stage win64 x86_64-w64-mingw32 "$dist/stage/x64"
  installer "$dist/stage/x64" "$dist/Corvanel-$version-x64-setup.exe" -DX64
fi

build linux corvanel-cli
cpack --config build/linux/CPackConfig.cmake -B "$dist/stage/deb" >/dev/null
mv "$dist/stage/deb"/*.deb "$dist/"
rm -rf "$dist/stage"
ls -l "$dist"
