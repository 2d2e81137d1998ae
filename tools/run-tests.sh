#!/usr/bin/env bash
# Builds and runs every test of the project, as CI does; exits non-zero on any failure.
#
#   tools/run-tests.sh          everything (about half an hour on two cores):
#                                 1. unit, integration, plug-in, browser and MCP suites (debug
#                                    build; MCP: the official clients and conformance suite)
#                                 2. unit, integration and plug-in suites under AddressSanitizer
#                                    and UBSan
#                                 3. the suites with more than one thread under ThreadSanitizer
#                                 4. every libFuzzer target for 30 s (clang 14)
#                                 5. the soak test: 200 web viewers over 50 files and 100 clients
#                                    for 100 s, then its invariants
#   tools/run-tests.sh --quick  step 1 only (a few minutes): what to run while working
#
# The first run installs the missing Debian and npm packages (tools/dev/install-deps.sh --browser),
# so it needs Debian's package archive and the npm registry once; later runs work offline.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
quick=false
case "${1:-}" in
  --quick) quick=true ;;
  "") ;;
  -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

current="Installing the dependencies (Debian packages and npm packages, needs the package registries on first use)"
step() { current="$1"; echo "== $1 ($(date -u +%H:%M:%S))"; }
trap 'echo "run-tests.sh: failed at step: $current" >&2' ERR

tools/dev/install-deps.sh --browser

step "Debug build: unit, integration, plug-in, browser, MCP"
tools/dev/build.sh dev
ctest --preset dev -j "$jobs"
$quick && exit 0

# The sanitizer builds need only the test programs (and the plug-in the plug-in tests load).
test_targets=(lumenbox_unit_tests lumenbox_integration_tests lumenbox_plugin_tests lumenbox_plugin)

step "AddressSanitizer + UBSan: unit, integration, plug-in"
tools/dev/build.sh asan "${test_targets[@]}"
ctest --preset asan -j "$jobs" -L "unit|integration|plugin"

step "ThreadSanitizer: the suites with more than one thread"
tools/dev/build.sh tsan "${test_targets[@]}"
ctest --preset tsan -j "$jobs" -L "unit|integration|plugin" \
  -R "ServerLifecycle|HandlerGuard|Transport|IdleConnections|LoopTimer|PendingReplies|SessionStore|ScriptBridge|LoadedPlugin|PluginLifecycle|AuthorizeSession|AuthorizationQuestions|CallScript|CallsAndPings|WebviewerPing|Callbacks"

step "Fuzzing: every target, 30 s each"
tools/dev/run-fuzzers.sh 30

step "Soak: 200 web viewers over 50 files and 100 clients for 100 s, then the invariants"
(cd build/dev && ctest -C soak -L soak --output-on-failure)
step "All checks passed"
