#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, in build/fuzz) and runs each for a bounded time over a
# copy of its seed corpus, so that the repository's corpus stays as it is:
#   tools/dev/run-fuzzers.sh [SECONDS_PER_TARGET]   (default 60)
# Exits non-zero when a target finds a crash; the input is left in build/fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-60}"
targets=(normalize_file_name ws_dispatch post_routes get_routes http_request json_depth mcp)

for package in clang-14 libclang-rt-14-dev; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends clang-14 libclang-rt-14-dev >/dev/null
    break
  fi
done
tools/dev/install-deps.sh
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMENBOX_FUZZ=ON >/dev/null
cmake --build build/fuzz -j 2 --target lumenbox_fuzzers

status=0
for target in "${targets[@]}"; do
  work="build/fuzz/run/$target"
  findings="build/fuzz/findings/$target"
  rm -rf "$work"
  mkdir -p "$work" "$findings"
  cp tests/fuzz/corpus/"$target"/* "$work"/
  echo "== fuzz_$target: ${seconds}s"
  if ! build/fuzz/tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" 2>"build/fuzz/run/$target.log"; then
    tail -n 60 "build/fuzz/run/$target.log"
    echo "fuzz_$target FAILED; reproducer in $findings/" >&2
    status=1
  else
    grep -E "DONE|stat::number_of_executed_units|stat::average_exec_per_sec" "build/fuzz/run/$target.log" || true
  fi
done
exit $status
