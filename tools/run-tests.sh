#!/usr/bin/env bash
# Builds everything and runs every test suite; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/dev/build.sh dev
ctest --preset dev -j "$(nproc)"
