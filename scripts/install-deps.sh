#!/usr/bin/env bash
# Installs every Debian package Velkaro builds, tests and runs with.
# Idempotent: when everything is present it returns after one dpkg query.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates
  libboost1.74-dev
  libboost-program-options1.74-dev libboost-filesystem1.74-dev
  libboost-iostreams1.74-dev libboost-thread1.74-dev
  libboost-date-time1.74-dev libboost-system1.74-dev
  libsqlite3-dev sqlite3 zlib1g-dev libssl-dev
  libusb-1.0-0-dev librtlsdr-dev libairspy-dev liblodepng-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  curl wrk
  socat gpsd-clients  # a pseudo-terminal serial line and an NMEA parser for the GPS tests
  chromium  # the page test drives it headless
)
# The outside-client tests run under node; a node already on the machine (with its own npm) stays.
if ! command -v node >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

# Installed for this machine's architecture (or for all); with the armhf packages of the cross
# build beside them, a name can stand for two packages.
native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null || true)
  grep -qE "^($native|all) install ok installed$" <<<"$status" || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
source "$(dirname "$0")/apt-get-waiting.sh"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
