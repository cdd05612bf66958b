#!/usr/bin/env bash
# Installs the npm packages of the outside-client tests (tests/node) from their lock file.
# Idempotent: does nothing while node_modules is newer than package-lock.json.
set -euo pipefail
cd "$(dirname "$0")/../tests/node"

if [[ -d node_modules && ! package-lock.json -nt node_modules ]]; then
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "npm is missing: run scripts/install-deps.sh first" >&2
  exit 1
fi
echo "Installing the npm packages of tests/node"
npm ci --no-audit --no-fund
# npm ci leaves the folder's time alone when nothing changed: mark it as up to date.
touch node_modules
