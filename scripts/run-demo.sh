#!/usr/bin/env bash
# Installs what is needed, builds, and starts Velkaro.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build_dir=${VELKARO_BUILD_DIR:-build}
# The receivers this machine has, then the options.
"$build_dir/velkaro" --device-list
exec "$build_dir/velkaro" --help
