#!/usr/bin/env bash
# Builds the fuzz target with clang, address and undefined sanitizers, and fuzzes for a
# bounded time on a scratch copy of the seed corpus. Exit status is non-zero on a finding.
#   tools/fuzz/run.sh [build-dir (default build-fuzz)] [seconds (default 60)]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="${1:-build-fuzz}"
seconds="${2:-60}"

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELKARO_FUZZ=ON -DVELKARO_SANITIZE=address,undefined \
  -DVELKARO_TESTS=OFF -DVELKARO_BENCHMARKS=OFF
cmake --build "$build_dir" -j"$(nproc)" --target velkaro_fuzz_decode

work="$build_dir/fuzz-run"
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$here"/corpus/* "$work/corpus/"

fuzzer="$(find "$build_dir" -type f -name velkaro_fuzz_decode -perm -u+x | head -n 1)"
# Undefined behaviour counts as a finding, not just a report.
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
"$fuzzer" -max_total_time="$seconds" -max_len=512 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus"
