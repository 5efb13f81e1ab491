#!/usr/bin/env bash
# Runs every benchmark of a build and prints one table: each benchmark's figure against the
# baseline it measured in the same run. Usage: bench/run.sh [BUILD_DIR]   (default: build)
# Needs about 3 GiB free under /tmp for the copy benchmark; every benchmark removes its files.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bench_dir="${1:-build}/bench"
[[ -d "$bench_dir" ]] || { echo "no benchmarks in $bench_dir: build the project first" >&2; exit 1; }

results=()
for name in digest_bench copy_bench list_bench socket_bench mcp_bench engine_index_bench; do
  program="$bench_dir/$name"
  [[ -x "$program" ]] || { results+=("$name|not built"); continue; }
  echo "== $name" >&2
  output=$("$program" 2>&1) || results+=("$name|failed (exit $?)")
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
