#!/usr/bin/env bash
# Configures and builds Velkaro in build/ (or $VELKARO_BUILD_DIR).
#   scripts/build.sh [target ...]   (default: everything)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VELKARO_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"
