#!/usr/bin/env bash
# Runs every benchmark of a build and prints one table: each benchmark's figure against the
# baseline it measured in the same run. Usage: bench/run.sh [BUILD_DIR]   (default: build)
# Needs about 3 GiB free under /tmp for the copy benchmark; every benchmark removes its files.
# engine_index_bench mounts an XFS image when run as root, and builds a million-file tree
# (in /dev/shm when there is one).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bench_dir="${1:-build}/bench"
[[ -d "$bench_dir" ]] || { echo "no benchmarks in $bench_dir: build the project first" >&2; exit 1; }

results=()
for name in digest_bench copy_bench list_bench socket_bench mcp_bench http_bench engine_index_bench page_bench; do
  program=("$bench_dir/$name")
  [[ -x "${program[0]}" ]] || { results+=("$name|not built"); continue; }
  # The page benchmark needs a display; without one it gets a virtual one.
  if [[ $name == page_bench && -z "${DISPLAY:-}" ]]; then
    program=(xvfb-run -a -s "-screen 0 1600x1200x24 -noreset" "${program[@]}")
  fi
  echo "== $name" >&2
  output=$("${program[@]}" 2>&1) || results+=("$name|failed (exit $?)")
  echo "$output" >&2
  while IFS= read -r line; do
    results+=("$name|$line")
  done < <(grep -E '^ratio|p50' <<<"$output")
done

printf '\n%-20s %s\n' "benchmark" "figure (baseline measured in the same run)"
printf '%-20s %s\n' "---------" "------------------------------------------"
for row in "${results[@]}"; do
  printf '%-20s %s\n' "${row%%|*}" "${row#*|}"
done
