#!/usr/bin/env bash
# Builds Tamber's Debian package: installs what is missing, makes a Release build in
# build-release with Debian's build flags, and packages it with CPack, under /usr, as
# build-release/tamber_VERSION_ARCH.deb, whose path it prints last.
# Usage: scripts/package.sh [CMAKE_OPTION...]   (passed to the configure step; the test script
# builds its tests in the same tree with -DTAMBER_BUILD_TESTS=ON -DTAMBER_BUILD_BENCH=ON)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build="build-release"

scripts/install-deps.sh package

# Debian's flags for a package, with every hardening feature (stack protector, fortified
# functions, read-only relocations bound at start, position-independent executables); the
# optimisation is the Release build's, and no debugging information is made to be stripped.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP=-g
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DTAMBER_BUILD_TESTS=OFF -DTAMBER_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "$@"
cmake --build "$build" -j"$(nproc)"

rm -f "$build"/tamber_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/tamber_*.deb
