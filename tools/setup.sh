#!/usr/bin/env bash
# Installs what Corvanel needs on a Debian 12 machine, in two tiers:
#   setup.sh native   the native build of corvanel-cli and the demo volume (tools/run.sh)
#   setup.sh [full]   all that the suites, the window and the packages need (tools/test.sh,
#                     tools/window.sh): the native tier, the cross compilers, Wine, Crypto++
#                     built for both mingw-w64 targets, NSIS, clang for fuzzing, the oracles;
#                     then, in a step of its own, the 32-bit Wine loader (wine32:i386)
# A package index that cannot be fetched is retried, then named, and set-up goes
# on with the lists it has. The 32-bit loader may be missing afterwards: set-up
# says why and the i686 suites are skipped with that reason. Any other package
# that cannot be installed fails set-up with its name. A second run only checks.
set -euo pipefail

CACHE_DIR="${CORVANEL_CACHE:-/var/cache/corvanel}"
CRYPTOPP_SOURCE_PACKAGE=libcrypto++
APT_TRIES=3
APT_RETRY_DELAY="${CORVANEL_APT_RETRY_DELAY:-5}"
# Why the 32-bit loader could not be installed, for tools/i686-env to tell.
WINE32_UNAVAILABLE="$CACHE_DIR/wine32-unavailable"
WINE32_PACKAGE=wine32:i386

NATIVE_PACKAGES=(
  build-essential cmake ninja-build pkg-config libcrypto++-dev
  # the command line's parser and JSON writer (header-only)
  libcli11-dev nlohmann-json3-dev
  # the demo volume is written through ntfs-3g
  ntfs-3g
  # E01, VHD/VHDX, VMDK and QCOW images (LGPL-3+, linked dynamically)
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev
)
FULL_PACKAGES=(
  libgtest-dev
  # Windows cross builds and running them
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64 wine64 xvfb xauth x11-utils imagemagick
  # packaging: the Windows installer; reading the programs' resources and imports
  nsis python3-pefile
  # the artwork, drawn at build time, and the help file (chmcmd)
  python3-pil fonts-dejavu-core fp-utils
  # fonts with CJK glyphs, so Chinese prompts render under wine
  fonts-wqy-microhei
  # volume tools and independent oracles; attr sets ntfs-3g's attribute bits; exFAT volumes for the reading layer's tests;
  # sfdisk (fdisk) writes the partition tables of whole-disk test images
  dosfstools mtools fusefat sleuthkit fuse3 attr exfatprogs exfat-fuse fdisk
  # disk images made for the image readers' tests
  qemu-utils ewf-tools
  # fuzzing: clang with libFuzzer
  clang-14 libclang-rt-14-dev
  # crypto oracles
  python3 python3-pycryptodome python3-botan openssl
  # fetching and unpacking Debian source packages
  dpkg-dev
)

log() { printf 'setup: %s\n' "$*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
  dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing_of() {
  local p
  for p in "$@"; do installed "$p" || printf '%s\n' "$p"; done
}

# apt-get update, tried again a few seconds apart. An index that still cannot
# be fetched is named and the lists apt has are used: one broken index (often
# a foreign architecture's, mid-sync) must not stop packages that do not need it.
APT_UPDATE_LOG=
trap 'rm -f "$APT_UPDATE_LOG"' EXIT
apt_update() {
  rm -f "$APT_UPDATE_LOG"
  APT_UPDATE_LOG=$(mktemp)
  local try
  for try in $(seq "$APT_TRIES"); do
    # apt-get update exits 0 on some failed indexes, 100 on others: its "E:" lines tell
    if as_root apt-get update -qq >"$APT_UPDATE_LOG" 2>&1 && ! grep -q '^E: ' "$APT_UPDATE_LOG"; then
      return 0
    fi
    [ "$try" -lt "$APT_TRIES" ] && sleep "$APT_RETRY_DELAY"
  done
  local failed
  failed=$(sed -nE 's/^[EW]: Failed to fetch ([^ ]+).*/\1/p' "$APT_UPDATE_LOG" | sort -u)
  if [ -n "$failed" ]; then
    while read -r index; do
      log "package index unavailable after $APT_TRIES tries: $index; going on with the lists apt has"
    done <<<"$failed"
  else
    log "apt-get update failed after $APT_TRIES tries ($(grep -m1 '^E: ' "$APT_UPDATE_LOG" || tail -n 1 "$APT_UPDATE_LOG")); going on with the lists apt has"
  fi
}

UPDATED=0
update_once() {
  [ "$UPDATED" = 1 ] && return
  apt_update
  UPDATED=1
}

# The packages among the arguments that apt has no candidate for.
without_candidate() {
  local p
  for p in "$@"; do
    apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]' || printf '%s\n' "$p"
  done
}

install_tier() { # PACKAGES...
  local missing
  mapfile -t missing < <(missing_of "$@")
  if [ "${#missing[@]}" -eq 0 ]; then
    log "packages: all present"
    return
  fi
  update_once
  log "packages: installing ${missing[*]}"
  local out
  out=$(mktemp)
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >"$out" 2>&1; then
    local absent
    absent=$(without_candidate "${missing[@]}" | tr '\n' ' ')
    grep -E '^E: ' "$out" | head -n 5 >&2 || tail -n 5 "$out" >&2
    rm -f "$out"
    if [ -n "$absent" ]; then
      log "cannot install: ${absent% } (no installable version in the package lists)"
    else
      log "cannot install: ${missing[*]} (apt-get install failed)"
    fi
    exit 1
  fi
  rm -f "$out"
}

# The 32-bit Wine loader, after everything else: its i386 libraries must match
# the machine's amd64 versions, so an i386 index that cannot be fetched makes
# it uninstallable for the day. Then it is skipped with its reason.
install_wine32() {
  mkdir -p "$CACHE_DIR"
  if installed "$WINE32_PACKAGE"; then
    rm -f "$WINE32_UNAVAILABLE"
    return
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "packages: adding the i386 architecture ($WINE32_PACKAGE)"
    as_root dpkg --add-architecture i386
    UPDATED=0
  fi
  update_once
  log "packages: installing $WINE32_PACKAGE"
  local out reason
  out=$(mktemp)
  if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$WINE32_PACKAGE" \
      >"$out" 2>&1; then
    rm -f "$out" "$WINE32_UNAVAILABLE"
    return
  fi
  local i386_index
  i386_index=$(sed -nE 's/^[EW]: Failed to fetch ([^ ]*binary-i386[^ ]*).*/\1/p' "$APT_UPDATE_LOG" | head -n 1)
  if [ -n "$i386_index" ]; then
    reason="its i386 package index could not be fetched ($i386_index)"
  else
    reason="apt-get could not install it ($(grep -m1 -E '^E: ' "$out" | sed 's/^E: //' || echo "exit status not 0"))"
  fi
  rm -f "$out"
  printf '%s\n' "$reason" >"$WINE32_UNAVAILABLE"
  log "$WINE32_PACKAGE not installed: $reason; the i686 suites will be skipped"
}

# apt-get source needs deb-src entries. They are derived from the machine's own
# deb entries (same mirrors, same suites), never from a host written here.
SOURCES_FILE=/etc/apt/sources.list.d/corvanel-deb-src.sources

write_deb_src_entries() {
  [ -f "$SOURCES_FILE" ] && return
  local tmp
  tmp=$(mktemp)
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # deb822: keep every stanza that has Types: deb, switch it to deb-src
    awk 'BEGIN { RS = "" }
         {
           n = split($0, lines, "\n"); out = ""; binary = 0
           for (i = 1; i <= n; i++) {
             line = lines[i]
             if (line ~ /^Types:/) {
               if (line ~ /[ \t]deb([ \t]|$)/) binary = 1
               line = "Types: deb-src"
             }
             out = out line "\n"
           }
           if (binary) printf "%s\n", out
         }' /etc/apt/sources.list.d/debian.sources >"$tmp"
  fi
  if [ ! -s "$tmp" ] && [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"$tmp" || true
    SOURCES_FILE=/etc/apt/sources.list.d/corvanel-deb-src.list
  fi
  [ -s "$tmp" ] || { log "no Debian source entries found to derive deb-src from"; exit 1; }
  as_root install -m 0644 "$tmp" "$SOURCES_FILE"
  rm -f "$tmp"
  apt_update
}

fetch_cryptopp_source() {
  local src_root="$CACHE_DIR/src"
  local dir
  dir=$(find "$src_root" -maxdepth 1 -type d -name 'libcrypto++-*' 2>/dev/null | head -n 1)
  if [ -n "$dir" ] && [ -f "$dir/GNUmakefile-cross" ]; then
    printf '%s\n' "$dir"
    return
  fi
  write_deb_src_entries
  mkdir -p "$src_root"
  (cd "$src_root" && apt-get source -qq "$CRYPTOPP_SOURCE_PACKAGE" >/dev/null 2>&1) || {
    log "apt-get source $CRYPTOPP_SOURCE_PACKAGE failed"; exit 1; }
  dir=$(find "$src_root" -maxdepth 1 -type d -name 'libcrypto++-*' | head -n 1)
  [ -n "$dir" ] || { log "Crypto++ source not unpacked"; exit 1; }
  printf '%s\n' "$dir"
}

# Builds libcryptopp.a for one mingw target into $CACHE_DIR/cryptopp-<triplet>
# with its headers under include/cryptopp.
build_cryptopp_for() {
  local triplet="$1"
  local prefix="$CACHE_DIR/cryptopp-$triplet"
  if [ -f "$prefix/lib/libcryptopp.a" ] && [ -f "$prefix/include/cryptopp/cryptlib.h" ]; then
    log "Crypto++ for $triplet: cached"
    return
  fi
  local src
  src=$(fetch_cryptopp_source)
  local work="$CACHE_DIR/build-cryptopp-$triplet"
  rm -rf "$work" "$prefix"
  cp -a "$src" "$work"
  log "Crypto++ for $triplet: building (a few minutes)"
  make -C "$work" -f GNUmakefile-cross \
    CXX="$triplet-g++-posix" AR="$triplet-ar" RANLIB="$triplet-ranlib" \
    CXXFLAGS="-DNDEBUG -O2" static -j"$(nproc)" >"$work.log" 2>&1 || {
      tail -n 30 "$work.log" >&2; log "Crypto++ build for $triplet failed"; exit 1; }
  mkdir -p "$prefix/lib" "$prefix/include/cryptopp"
  cp "$work/libcryptopp.a" "$prefix/lib/"
  cp "$work"/*.h "$prefix/include/cryptopp/"
  rm -rf "$work"
}

# Where this kernel refuses 32-bit programs, qemu-user runs the 32-bit Wine
# loader (tools/i686-env). Debian 12's own qemu takes over a minute per program
# start there; the qemu of the bookworm-backports suite does not. Its package is
# downloaded through a private apt list made from the machine's own entries and
# unpacked into the cache: nothing is installed.
fetch_qemu_user() {
  local dir="$CACHE_DIR/qemu"
  if [ -x "$dir/qemu-i386" ]; then
    log "qemu-user: cached"
    return
  fi
  # Without the 32-bit loader qemu has nothing to run.
  [ -x /usr/lib/wine/wine ] || return 0
  if [ -z "${CORVANEL_FETCH_QEMU:-}" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    return
  fi
  local apt_dir="$CACHE_DIR/apt-backports"
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources.d" "$apt_dir/lists/partial" "$apt_dir/cache" "$apt_dir/deb"
  [ -f /etc/apt/sources.list.d/debian.sources ] || { log "qemu-user: no debian.sources to derive a backports entry from"; return; }
  # the stanzas carrying the release suite, switched to its backports suite
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  awk -v suite="$codename" 'BEGIN { RS = "" }
       /(^|\n)Types:[^\n]*[ \t]deb([ \t\n]|$)/ && $0 ~ ("(^|\n)Suites:[ \t]*" suite "([ \t\n]|$)") {
         n = split($0, lines, "\n"); out = ""
         for (i = 1; i <= n; i++) {
           line = lines[i]
           if (line ~ /^Types:/) line = "Types: deb"
           if (line ~ /^Suites:/) line = "Suites: " suite "-backports"
           out = out line "\n"
         }
         printf "%s\n", out
       }' /etc/apt/sources.list.d/debian.sources >"$apt_dir/sources.d/backports.sources"
  local apt=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources.d"
             -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Architectures=amd64 -o APT::Sandbox::User=root)
  log "qemu-user: fetching the $codename-backports package into $dir"
  if apt-get "${apt[@]}" update -qq && (cd "$apt_dir/deb" && apt-get "${apt[@]}" download -qq qemu-user); then
    # only the i386 emulator, of the package's many
    dpkg-deb -x "$apt_dir"/deb/qemu-user_*.deb "$apt_dir/unpacked"
    install -D -m 0755 "$apt_dir/unpacked/usr/bin/qemu-i386" "$dir/qemu-i386"
  else
    log "qemu-user: could not fetch it; the i686 suites will be skipped"
  fi
  rm -rf "$apt_dir"
}

main() {
  local tier="${1:-full}"
  case "$tier" in
    native)
      install_tier "${NATIVE_PACKAGES[@]}"
      ;;
    full)
      install_tier "${NATIVE_PACKAGES[@]}" "${FULL_PACKAGES[@]}"
      mkdir -p "$CACHE_DIR"
      build_cryptopp_for x86_64-w64-mingw32
      build_cryptopp_for i686-w64-mingw32
      install_wine32
      fetch_qemu_user
      ;;
    *)
      log "usage: setup.sh [native|full]"
      exit 2
      ;;
  esac
  log "done ($tier; cache: $CACHE_DIR)"
}

main "$@"
