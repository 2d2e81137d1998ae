#!/usr/bin/env bash
# Builds the plug-in, the development host and lumenbox-mcp (for agents that launch a command) if
# needed, then runs the host with the demo file "Demo": the bridge listens on 127.0.0.1:1365 until
# Ctrl-C. Extra arguments go to lumenbox-host.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  -h|--help)
    # Answered here, so that asking costs no build.
    cat <<'USAGE'
usage: tools/run-bridge.sh [lumenbox-host options]
Builds (if needed) and runs the development host with the demo file "Demo"; the bridge listens on
127.0.0.1:1365 until Ctrl-C. Options, passed to lumenbox-host:
  --enhanced-security on|off    store the enhanced-security setting; it is kept for later runs in
                                ${XDG_CONFIG_HOME:-~/.config}/lumenbox/defaults.json
  --approve ask|allow|deny|never
                                how authorization questions are answered: asked on this terminal
                                (the default when standard input is a terminal), allowed or denied
                                at once, or never (each times out after 120 s)
  --preferences                 after start, open the preferences window on this terminal
  --register-token FILE=TOKEN   register a persistent token as a calculation in file FILE would
                                (repeatable)
  --plugin PATH                 load another build of the plug-in
  --help                        show this text
The plug-in log: ${XDG_STATE_HOME:-~/.local/state}/lumenbox/lumenbox-plugin.log
(LUMENBOX_LOG_LEVEL=debug adds a line per request).
USAGE
    exit 0 ;;
esac
echo "Building the plug-in, the development host and lumenbox-mcp (the first build takes a few minutes)..."
tools/dev/build.sh dev lumenbox-host lumenbox-mcp >/dev/null
exec build/dev/tools/host/lumenbox-host --demo "$@"
