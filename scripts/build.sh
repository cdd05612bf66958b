#!/usr/bin/env bash
# Configures and builds Velkaro in build/ (or $VELKARO_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VELKARO_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
