#!/usr/bin/env bash
# Builds the plug-in, the development host and lumenbox-mcp (for agents that launch a command) if
# needed, then runs the host with the demo file "Demo": the bridge listens on 127.0.0.1:1365 until
# Ctrl-C. Extra arguments go to lumenbox-host
# (--help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Building the plug-in, the development host and lumenbox-mcp (the first build takes a few minutes)..."
tools/dev/build.sh dev lumenbox-host lumenbox-mcp >/dev/null
exec build/dev/tools/host/lumenbox-host --demo "$@"
