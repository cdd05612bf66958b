#!/usr/bin/env bash
# Installs the cross toolchain for the ARMv7 hard-float board, the armhf -dev packages of every
# library Velkaro links (Debian multiarch) and qemu-user to run the armhf tests on this machine.
# Idempotent: when everything is present it returns after one dpkg query.
set -euo pipefail

packages=(
  crossbuild-essential-armhf qemu-user
  libboost1.74-dev:armhf
  libboost-program-options1.74-dev:armhf libboost-filesystem1.74-dev:armhf
  libboost-iostreams1.74-dev:armhf libboost-thread1.74-dev:armhf
  libboost-date-time1.74-dev:armhf libboost-system1.74-dev:armhf
  libsqlite3-dev:armhf zlib1g-dev:armhf libssl-dev:armhf
  libusb-1.0-0-dev:armhf librtlsdr-dev:armhf liblodepng-dev:armhf
  # libairspy-dev is one architecture at a time: the build host's headers, the board's library.
  libairspy0:armhf
  libgtest-dev:armhf libgmock-dev:armhf
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing for armhf: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
source "$(dirname "$0")/apt-get-waiting.sh"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
