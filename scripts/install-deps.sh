#!/usr/bin/env bash
# Installs the Debian packages Tamber needs that are missing, and nothing else.
# Usage: scripts/install-deps.sh [build|test]   (test adds what the test suite needs)
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libssl-dev libicu-dev libcpp-httplib-dev libsqlite3-dev libdtl-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev libsoup-3.0-dev pkexec
)
if [[ "${1:-build}" == test ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth libxtst-dev clang libclang-rt-14-dev)
  # The file systems the inventory's tests make in image files.
  packages+=(xfsprogs btrfs-progs)
  # The real parts the tests start: a window manager, a system bus with polkitd for pkexec,
  # and the checkers of the installed desktop entry and polkit policy.
  packages+=(openbox dbus polkitd desktop-file-utils libxml2-utils)
  # The MCP end-to-end test runs the official SDK's client under Node.js: Debian's nodejs and
  # npm, unless the machine already has both commands from another packaging.
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
  fi
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
