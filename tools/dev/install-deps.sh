#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing. With --browser, also
# what the browser tests need: Debian's chromium, Node.js, and the npm packages of the lock file.
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
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The browser tests' npm packages, exactly as locked, whenever the lock file is newer.
if $browser && { [ ! -f tests/browser/node_modules/.package-lock.json ] ||
   [ tests/browser/package-lock.json -nt tests/browser/node_modules/.package-lock.json ]; }; then
  echo "Installing the browser tests' npm packages"
  (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
fi
