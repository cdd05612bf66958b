#!/usr/bin/env bash
# Builds the embedded web root: installs the pinned npm packages when needed, then writes web/
# together with the generated libraries, world outline and flags into OUT_DIR.
#   webclient/build.sh [OUT_DIR]     (default: build/webroot of the repository)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-$here/../build/webroot}"
cd "$here"

# npm ci only when node_modules is missing or older than the lock file.
if [[ ! -d node_modules || package-lock.json -nt node_modules ]]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "npm is missing: run scripts/install-deps.sh first" >&2
    exit 1
  fi
  echo "Installing the npm packages of webclient"
  npm ci --no-audit --no-fund
  touch node_modules
fi
exec node build.js "$out"
