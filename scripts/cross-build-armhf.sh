#!/usr/bin/env bash
# Cross-builds Velkaro and its tests for the ARMv7 hard-float board in build-armhf/ (or
# $VELKARO_ARMHF_BUILD_DIR), and with --test runs the unit and end-to-end tests under qemu-arm.
#   scripts/cross-build-armhf.sh [--test]
# The program for the board is build-armhf/velkaro; it needs the board's armhf packages of
# Boost, SQLite, zlib, OpenSSL, libusb, librtlsdr, libairspy and LodePNG.
# Exit status: 0 built (and passed), 1 failed (whatever failed: compiler, make, a test), 3 skipped
# because this machine cannot install or run armhf programs (the reason is printed).
set -euo pipefail
# make and ctest end with statuses of their own (2, 8); none of them may read as the skip.
trap 'exit 1' ERR
cd "$(dirname "$0")/.."
build_dir=${VELKARO_ARMHF_BUILD_DIR:-build-armhf}
run_tests=0
[[ "${1:-}" == "--test" ]] && run_tests=1

skip() {
  echo "armhf: skipped: $*"
  exit 3
}

scripts/install-deps.sh
if ! scripts/install-armhf-deps.sh; then
  skip "the cross compiler, qemu-user or the armhf -dev packages could not be installed (apt-get failed above)"
fi
scripts/install-node-deps.sh

cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELKARO_BENCHMARKS=OFF >/dev/null
# The embedder runs under the emulator during the build: make sure the emulator runs here at all.
cmake --build "$build_dir" -j"$(nproc)" --target velkaro_embed >/dev/null
probe=$(qemu-arm "$build_dir/tools/embed/velkaro_embed" --help 2>&1 || true)
if [[ "$probe" != usage:* ]]; then
  skip "qemu-arm cannot run armhf programs on this machine: ${probe:-no output}"
fi
cmake --build "$build_dir" -j"$(nproc)"
echo "armhf: built $build_dir/velkaro ($(arm-linux-gnueabihf-readelf -h "$build_dir/velkaro" | sed -n 's/^ *Machine: *//p'))"

if ((run_tests)); then
  # Emulated, every test takes longer; the generous timeout is for the heaviest end-to-end ones.
  ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" --timeout 900
fi
