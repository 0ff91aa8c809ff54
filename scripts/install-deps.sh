#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: does nothing when everything is there; runs apt-get update only
# when something is missing. Arguments name extra groups (below).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libexif-dev libssl-dev openssl
  ffmpeg libimage-exiftool-perl
  util-linux procps iproute2
  clang libclang-rt-14-dev lld
  libwebsockets-dev chromium
)

# Extra groups for the targets that are not part of `make test`:
#   scripts/install-deps.sh soak    gnuplot for the soak test's plot
for group in "$@"; do
  case $group in
    soak) packages+=(gnuplot-nox) ;;
    *) echo "install-deps: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# Node.js and npm for the test clients: the machine's own when it has them.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The test clients' npm packages, pinned by their lock files (each folder of
# tests/system with a package-lock.json); installed again only when the lock
# file is newer than the installed tree.
root=$(cd "$(dirname "$0")/.." && pwd)
for lock in "$root"/tests/system/*/package-lock.json; do
  [ -e "$lock" ] || continue
  dir=$(dirname "$lock")
  if [ ! -f "$dir/node_modules/.package-lock.json" ] || [ "$lock" -nt "$dir/node_modules/.package-lock.json" ]; then
    echo "install-deps: npm ci in ${dir#"$root"/}"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  fi
done
