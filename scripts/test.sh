#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: first the normal build
# (GUI tests under xvfb-run), then the Debian package from a Release build and its checks, then
# the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then a short run
# of every fuzz target over its regression corpus.
# TAMBER_TEST_QUICK=1 runs only the first pass.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs=$(nproc)
# Every build here treats warnings as errors (the default of a new build directory, see
# CMakeLists.txt), and tests whose real parts cannot start (polkitd, a window manager, the
# install checkers, the MCP SDK client, the XFS and Btrfs images of the inventory tests, the
# package's private root) fail instead of skipping.
export TAMBER_WERROR=ON TAMBER_REQUIRE_REAL_PARTS=1

scripts/install-deps.sh test

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
echo "== MCP SDK client from the npm registry, pinned by tests/engine/mcp/sdk_client/package-lock.json"
(cd build/mcp-sdk && npm ci --no-audit --no-fund --loglevel=error)
(cd build && ctest --output-on-failure -j"$jobs")

[[ "${TAMBER_TEST_QUICK:-0}" == 1 ]] && exit 0

echo "== release build and Debian package (as scripts/package.sh makes it, tests built too)"
scripts/package.sh -DTAMBER_BUILD_TESTS=ON -DTAMBER_BUILD_BENCH=ON
echo "== the package: lintian, AppStream, and installed, run and purged in a private root"
tests/app/package_test.sh build-release/tamber_*.deb

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAMBER_SANITIZE=address,undefined \
  -DTAMBER_BUILD_BENCH=OFF -DTAMBER_MCP_SDK_DIR="$PWD/build/mcp-sdk"
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs" -LE gui)

echo "== fuzz targets (clang, libFuzzer)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBER_FUZZ=ON \
  -DTAMBER_BUILD_TESTS=OFF -DTAMBER_BUILD_BENCH=OFF -DTAMBER_FUZZ_SECONDS="${TAMBER_FUZZ_SECONDS:-30}"
cmake --build build-fuzz --target fuzz_all -j"$jobs"
(cd build-fuzz && ctest --output-on-failure -L fuzz)
