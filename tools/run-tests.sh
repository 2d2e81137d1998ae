#!/usr/bin/env bash
# Builds everything and runs every test suite (unit, integration, plug-in, browser); exits
# non-zero on any failure.
#
#   tools/run-tests.sh          the suites above, on the debug build (a few minutes)
#   tools/run-tests.sh --all    what CI runs: first the whole suite under AddressSanitizer and
#                               UBSan, the threaded suites under ThreadSanitizer, a bounded run of
#                               every fuzz target and the soak test; then the suites above
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
all=false
[ "${1:-}" = "--all" ] && all=true

tools/dev/install-deps.sh --browser

if $all; then
  echo "== AddressSanitizer + UBSan: unit, integration, plug-in"
  tools/dev/build.sh asan
  ctest --preset asan -j "$jobs" -L "unit|integration|plugin"

  echo "== ThreadSanitizer: the suites with more than one thread"
  tools/dev/build.sh tsan
  ctest --preset tsan -j "$jobs" \
    -R "ServerLifecycle|HandlerGuard|Transport|SessionStoreConcurrency|ScriptBridge|LoadedPlugin|PluginLifecycle|AuthorizeSession|CallScript"

  echo "== Fuzzing: every target, 30 s each"
  tools/dev/run-fuzzers.sh 30
fi

echo "== Debug build: unit, integration, plug-in, browser"
tools/dev/build.sh dev
ctest --preset dev -j "$jobs"

if $all; then
  echo "== Soak: 200 web viewers over 50 files and 100 clients for 100 s, then the invariants"
  (cd build/dev && ctest -C soak -L soak --output-on-failure)
fi
