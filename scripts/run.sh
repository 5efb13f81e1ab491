#!/usr/bin/env bash
# Installs what is missing, builds Tamber and its engine, and starts Tamber.
# Usage: scripts/run.sh   (any arguments are passed to tamber)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Tamber is a desktop app and needs a graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
  exit 1
fi

scripts/install-deps.sh build
cmake -S . -B build-app -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBER_BUILD_TESTS=OFF \
  -DTAMBER_BUILD_BENCH=OFF >/dev/null
cmake --build build-app --target tamber larkspan -j"$(nproc)"
exec build-app/tamber "$@"
