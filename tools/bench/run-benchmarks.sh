#!/usr/bin/env bash
# Measures the bridge against the bare Beast baseline (lumenbox-bench-baseline) in one run on this
# machine: /health throughput (wrk, 1 and 50 connections) and script-call round trips through
# simulated web viewers (lumenbox-load: 1 client in sequence, 32 clients over 4 files), bridge and
# baseline alternately for several rounds, then medians; the same round trips through the bridge's
# POST /mcp (the run_script tool, legacy session and stateless) beside its POST /callScript;
# finally 10,000 calls pending at once on the bridge (threads and memory), through /callScript and
# through /mcp, and its CPU time while 4 web viewers stay connected and idle.
# Talks to 127.0.0.1 only; stops by itself.
#
#   tools/bench/run-benchmarks.sh [--one-cpu] [--rounds N] [--seconds S] [--host] [--no-build] [--help]
#
#   --one-cpu   server and load share CPU 0 (taskset -c 0 for both sides)
#   --rounds    rounds of bridge-then-baseline (default 3); medians are over the rounds
#   --seconds   length of each measurement (default SECONDS_PER_RUN or 5)
#   --host      measure the development host (the real plug-in loaded with dlopen, on port 1365)
#               instead of lumenbox-test-bridge (the same server on an ephemeral port)
#   --no-build  use the binaries in BUILD_DIR as they are
#   --help      show this text (builds nothing)
# BUILD_DIR (default build/release) selects the build; without --no-build the release preset is
# built first.
set -euo pipefail
cd "$(dirname "$0")/../.."

one_cpu=0 rounds=3 seconds="${SECONDS_PER_RUN:-5}" use_host=0 build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --one-cpu) one_cpu=1 ;;
    --rounds) rounds="$2"; shift ;;
    --seconds) seconds="$2"; shift ;;
    --host) use_host=1 ;;
    --no-build) build=0 ;;
    -h|--help) sed -n '2,/^set -euo/p' "tools/bench/run-benchmarks.sh" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--one-cpu] [--rounds N] [--seconds S] [--host] [--no-build] [--help]" >&2; exit 2 ;;
  esac
  shift
done
build_dir="${BUILD_DIR:-build/release}"

if [ "$build" -eq 1 ]; then
  tools/dev/install-deps.sh
  tools/dev/build.sh release >/dev/null
fi
command -v wrk >/dev/null || { sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo; $sudo apt-get install -y -qq wrk >/dev/null; }

# 10,000 pending calls need as many descriptors on both sides, and the bridge keeps half of its
# limit for everything but connections: raise the limit where allowed (as root), else use the hard one.
ulimit -n 32768 2>/dev/null || ulimit -n "$(ulimit -Hn)"
pin=()
[ "$one_cpu" -eq 1 ] && pin=(taskset -c 0)
work=$(mktemp -d)
server_pid=""
server_port=""

stop_server() {
  if [ -n "$server_pid" ]; then
    exec 9>&-  # ends the test bridge
    # Background jobs of a script ignore SIGINT: TERM ends the baseline and the host.
    sleep 0.2
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT

wait_for_health() {
  for _ in $(seq 100); do curl -sf "127.0.0.1:$1/health" >/dev/null && return 0; sleep 0.05; done
  echo "server on port $1 did not answer" >&2
  exit 1
}

wait_for_port_line() {  # the "listening <port>" line a server prints
  for _ in $(seq 100); do
    server_port=$(awk '/^listening/ {print $2; exit}' "$1" 2>/dev/null)
    [ -n "$server_port" ] && return 0
    sleep 0.05
  done
  echo "server did not start: $(cat "$1")" >&2
  exit 1
}

start_server() {  # bridge | baseline
  local out="$work/$1.out"
  : >"$out"
  if [ "$1" = baseline ]; then
    "${pin[@]}" "$build_dir/tools/bench/lumenbox-bench-baseline" --port 0 >"$out" 2>&1 &
    server_pid=$!
    wait_for_port_line "$out"
  elif [ "$use_host" -eq 1 ]; then
    if curl -sf "127.0.0.1:1365/health" >/dev/null; then echo "port 1365 is in use: stop the running bridge first" >&2; exit 1; fi
    mkdir -p "$work/home"
    HOME="$work/home" "${pin[@]}" "$build_dir/tools/host/lumenbox-host" >"$out" 2>&1 &
    server_pid=$!
    server_port=1365
  else
    # The test bridge runs until its standard input ends: keep a pipe open to it on fd 9.
    rm -f "$work/stdin" && mkfifo "$work/stdin"
    mkdir -p "$work/home"
    HOME="$work/home" "${pin[@]}" "$build_dir/tests/browser/lumenbox-test-bridge" --port 0 --max-connections 20000 <"$work/stdin" >"$out" 2>&1 &
    server_pid=$!
    exec 9>"$work/stdin"
    wait_for_port_line "$out"
  fi
  wait_for_health "$server_port"
}

results="$work/results"
: >"$results"
record() { echo "$1 $2 $3" >>"$results"; }  # server measure value

measure() {  # server round
  local port=$server_port wrk_out load_out
  for connections in 1 50; do
    wrk_out=$("${pin[@]}" wrk -t1 -c"$connections" -d"${seconds}s" "http://127.0.0.1:$port/health")
    record "$1" "health_c${connections}_rps" "$(awk '/Requests\/sec/ {print $2}' <<<"$wrk_out")"
  done
  local via clients webviewers prefix
  # The baseline has no /mcp: MCP round trips are measured on the bridge only, beside its /callScript.
  for via in callscript mcp-legacy mcp-modern; do
    [ "$1" = baseline ] && [ "$via" != callscript ] && continue
    prefix=call
    [ "$via" != callscript ] && prefix="${via//-/_}"
    for clients in 1 32; do
      webviewers=$(( clients == 1 ? 1 : 4 ))
      load_out=$("${pin[@]}" "$build_dir/tools/bench/lumenbox-load" roundtrip --via "$via" --port "$port" \
                   --clients "$clients" --webviewers "$webviewers" --seconds "$seconds")
      for field in calls_per_s p50_us p99_us; do
        record "$1" "${prefix}_${clients}client$([ "$clients" -gt 1 ] && echo s)_${field}" \
          "$(tr ' ' '\n' <<<"$load_out" | awk -F= -v f="$field" '$1 == f {print $2}')"
      done
    done
  done
  echo "round $2 $1: $(awk -v s="$1" '$1 == s {print $2 "=" $3}' "$results" | tail -n "$([ "$1" = bridge ] && echo 20 || echo 8)" | xargs)" >&2
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "mode: $([ "$one_cpu" -eq 1 ] && echo 'server and load on CPU 0' || echo 'server and load unpinned');" \
     "bridge: $([ "$use_host" -eq 1 ] && echo lumenbox-host || echo lumenbox-test-bridge); $rounds rounds of ${seconds}s"
for round in $(seq "$rounds"); do
  for server in bridge baseline; do
    start_server "$server"
    measure "$server" "$round"
    stop_server
  done
done

# Medians over the rounds, bridge beside baseline, and the bridge's share of the baseline; then the
# bridge's MCP round trips beside its own /callScript ones.
awk '
  { key = $2; vals[$1, key] = vals[$1, key] " " $3; order[++n] = key }
  function median(list,   a, m, i, j, t) {
    m = split(list, a, " ")
    for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
    return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2
  }
  END {
    printf "%-28s %12s %12s %9s\n", "median", "bridge", "baseline", "ratio"
    for (k = 1; k <= n; k++) {
      key = order[k]
      if (seen[key]++ || key ~ /^mcp_/) continue
      b = median(vals["bridge", key]); r = median(vals["baseline", key])
      printf "%-28s %12.1f %12.1f %8.2f\n", key, b, r, (r > 0 ? b / r : 0)
    }
    printf "\n%-36s %12s %12s %9s\n", "median (bridge)", "/mcp", "/callScript", "ratio"
    for (k = 1; k <= n; k++) {
      key = order[k]
      if (seen2[key]++ || key !~ /^mcp_/) continue
      call = key; sub(/^mcp_(legacy|modern)/, "call", call)
      m = median(vals["bridge", key]); c = median(vals["bridge", call])
      printf "%-36s %12.1f %12.1f %8.2f\n", key, m, c, (c > 0 ? m / c : 0)
    }
    print "targets: mcp p50 / call p50 <= 1.30; mcp calls_per_s / call calls_per_s at 32 clients >= 0.80"
  }' "$results"

# The product caps open connections at 1,024; the test bridge is started with a higher cap.
pending_calls=10000
[ "$use_host" -eq 1 ] && pending_calls=1000
# The web viewer's connection and a few spare count against the bridge's cap of half the limit.
max_pending=$(( $(ulimit -n) / 2 - 16 ))
[ "$pending_calls" -gt "$max_pending" ] && pending_calls=$max_pending
for via in callscript mcp-legacy mcp-modern; do
  start_server bridge
  "${pin[@]}" "$build_dir/tools/bench/lumenbox-load" pending --via "$via" --port "$server_port" --calls "$pending_calls" --server-pid "$server_pid"
  stop_server
done

start_server bridge
"${pin[@]}" "$build_dir/tools/bench/lumenbox-load" idle --port "$server_port" --webviewers 4 --seconds 10 --server-pid "$server_pid"
stop_server
