#!/usr/bin/env bash
# Installs what the 32-bit ARM build needs: Debian's armhf cross compiler,
# the armhf builds of the libraries the simulated board and its unit tests
# link (multiarch, beside the native ones) and qemu user emulation to run the
# tests. Idempotent: does nothing when everything is there.
set -euo pipefail

native=(g++-arm-linux-gnueabihf qemu-user cmake make pkg-config)
foreign=(
  libc6-dev libstdc++-12-dev
  libgtest-dev libgmock-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libexif-dev
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${native[@]}"; do
  installed "$p" || missing+=("$p")
done
for p in "${foreign[@]}"; do
  installed "$p:armhf" || missing+=("$p:armhf")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
# Other builds on this machine may be installing packages at the same time.
apt_opts=(-o DPkg::Lock::Timeout=900)

echo "install-armhf-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  "${sudo[@]}" dpkg --add-architecture armhf
fi
"${sudo[@]}" apt-get "${apt_opts[@]}" update -qq
"${sudo[@]}" apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends "${missing[@]}"
