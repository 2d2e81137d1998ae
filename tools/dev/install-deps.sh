#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing. With --browser, also
# what the browser and MCP tests need: Debian's chromium, Node.js, and the npm packages of their
# lock files (the MCP tests' bring the official MCP clients, their conformance suite and Node 22).
set -euo pipefail

cd "$(dirname "$0")/../.."
browser=false
[ "${1:-}" = "--browser" ] && browser=true

packages=(cmake g++ ninja-build libboost1.81-dev nlohmann-json3-dev libgtest-dev libgmock-dev)
if $browser; then
  # chromium: the browser the browser tests drive (never downloaded by npm).
  packages+=(chromium)
  command -v node >/dev/null || packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # Only the first run needs the network; say so, since an offline failure looks like a broken script.
  offline() {
    echo "install-deps.sh: $1 failed. The first run needs Debian's package archive (apt) once to install:" \
      "${missing[*]}; later runs need no network." >&2
    exit 1
  }
  $sudo apt-get update -qq || offline "apt-get update"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    offline "apt-get install"
fi

# The npm packages of the browser and MCP tests, exactly as locked, whenever a lock file is newer.
if $browser; then
  for dir in tests/browser tests/mcp; do
    if [ ! -f $dir/node_modules/.package-lock.json ] || [ $dir/package-lock.json -nt $dir/node_modules/.package-lock.json ]; then
      echo "Installing the npm packages of $dir"
      (cd $dir && npm ci --no-audit --no-fund --loglevel=error) || {
        echo "install-deps.sh: npm ci in $dir failed. The first run needs the npm registry once to install" \
          "the packages of $dir/package-lock.json; later runs need no network." >&2
        exit 1
      }
    fi
  done
fi
