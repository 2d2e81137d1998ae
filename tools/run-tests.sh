#!/usr/bin/env bash
# Builds everything and runs every test suite (unit, integration, plug-in, browser); exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/dev/install-deps.sh --browser
tools/dev/build.sh dev
ctest --preset dev -j "$(nproc)"
