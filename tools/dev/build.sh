#!/usr/bin/env bash
# Configures and builds one preset (default: dev) after installing what is missing:
#   tools/dev/build.sh [PRESET [TARGET...]]
set -euo pipefail
cd "$(dirname "$0")/../.."
preset="${1:-dev}"
shift || true
tools/dev/install-deps.sh
cmake --preset "$preset" >/dev/null
if [ $# -gt 0 ]; then
  cmake --build --preset "$preset" -j "$(nproc)" --target "$@"
else
  cmake --build --preset "$preset" -j "$(nproc)"
fi
