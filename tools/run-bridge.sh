#!/usr/bin/env bash
# Builds the bridge if needed and runs the development host with the demo file "Demo" on
# 127.0.0.1:1365 until Ctrl-C. Extra arguments go to lumenbox-host (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/dev/build.sh dev >/dev/null
exec build/dev/tools/host/lumenbox-host --demo "$@"
