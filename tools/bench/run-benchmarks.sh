#!/usr/bin/env bash
# Measures the bridge on this machine: /health throughput (wrk, 1 and 50 connections), script-call
# round trips through simulated web viewers (1 client in sequence, 32 clients), and 10,000 calls
# pending at once. Builds the release preset first. Talks to 127.0.0.1 only; stops by itself.
set -euo pipefail
cd "$(dirname "$0")/../.."
port=1365  # the plug-in's fixed port: nothing else may be listening on it
seconds="${SECONDS_PER_RUN:-10}"

tools/dev/install-deps.sh
command -v wrk >/dev/null || { sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo; $sudo apt-get install -y -qq wrk >/dev/null; }
tools/dev/build.sh release >/dev/null

home=$(mktemp -d)
if curl -sf "127.0.0.1:$port/health" >/dev/null; then echo "port $port is in use: stop the running bridge first" >&2; exit 1; fi
HOME="$home" build/release/tools/host/lumenbox-host >/dev/null &
host=$!
trap 'kill -INT $host 2>/dev/null; wait $host 2>/dev/null; rm -rf "$home"' EXIT
for _ in $(seq 50); do curl -sf "127.0.0.1:$port/health" >/dev/null && break; sleep 0.1; done

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
for connections in 1 50; do
  printf 'health connections=%s ' "$connections"
  wrk -t1 -c"$connections" -d"${seconds}s" "http://127.0.0.1:$port/health" |
    awk '/Latency/ {lat=$2} /Requests\/sec/ {rps=$2} END {print "requests_per_s=" rps " mean_latency=" lat}'
done
load=build/release/tools/bench/lumenbox-load
$load roundtrip --port "$port" --clients 1 --webviewers 1 --seconds "$seconds"
$load roundtrip --port "$port" --clients 32 --webviewers 4 --seconds "$seconds"
$load pending --port "$port" --calls 10000 --server-pid "$host"
