#!/usr/bin/env bash
# Builds the fuzz targets with clang, address and undefined sanitizers, and fuzzes every target
# at the same time for a bounded time, each on a scratch copy of its seed corpus. Everything a
# run writes (new inputs, findings, scratch files) stays in <build-dir>/fuzz-run/<target>/.
# Prints each target's log with "[target] " before every line, then one summary line per target.
# Exit status is non-zero on any finding.
#   tools/fuzz/run.sh [build-dir (default build-fuzz)] [seconds per target (default 60)]
#   VELKARO_BUILD_JOBS  parallel build jobs (default: the number of cores)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="${1:-build-fuzz}"
seconds="${2:-60}"

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELKARO_FUZZ=ON -DVELKARO_SANITIZE=address,undefined \
  -DVELKARO_TESTS=OFF -DVELKARO_BENCHMARKS=OFF
cmake --build "$build_dir" -j"${VELKARO_BUILD_JOBS:-$(nproc)}" --target velkaro_fuzz_all
build_dir="$(cd "$build_dir" && pwd)"

# name, longest input, dictionary (- for none). Room for the HTTP header limit (16 KiB) and a
# little more, and for an outside reply past the client's header bound (64 KiB); the others are
# far below what their parsers hold.
targets=(
  "decode 512 -"
  "sbs 4096 sbs.dict"
  "http 20000 http.dict"
  "outside 70000 outside.dict"
  "json 4096 json.dict"
  "bmp 8192 -"
  "command_line 1024 command_line.dict"
)

work="$build_dir/fuzz-run"
rm -rf "$work"
# Undefined behaviour counts as a finding, not just a report; so does an input that takes more
# than 10 s (a hang) or more than 2 GiB.
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"

names=()
pids=()
for entry in "${targets[@]}"; do
  read -r name max_len dict <<<"$entry"
  dir="$work/$name"
  mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/tmp"
  cp "$here/corpus/$name"/* "$dir/corpus/"
  args=(-max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/")
  if [[ "$dict" != - ]]; then args+=(-dict="$here/dict/$dict"); fi
  # Run from its own folder, so that nothing the fuzzer writes lands in the tree.
  (cd "$dir" && TMPDIR="$dir/tmp" exec "$build_dir/tools/fuzz/velkaro_fuzz_$name" "${args[@]}" corpus \
    >"$dir/log" 2>&1) &
  names+=("$name")
  pids+=("$!")
done

failed=()
for i in "${!names[@]}"; do
  if ! wait "${pids[$i]}"; then failed+=("${names[$i]}"); fi
done

for name in "${names[@]}"; do
  sed "s/^/[$name] /" "$work/$name/log"
done
echo "== Fuzzing summary: ${seconds} s per target =="
for name in "${names[@]}"; do
  if [[ " ${failed[*]} " == *" $name "* ]]; then
    echo "[$name] FINDING, inputs kept in $work/$name/artifacts/:"
    ls "$work/$name/artifacts/" | sed "s/^/[$name]   /"
  else
    echo "[$name] ok: $(grep -aE '^Done [0-9]+ runs' "$work/$name/log" || echo 'no final line')"
  fi
done
# The end of the log is what a failed run shows first: the reports of the findings go last.
for name in "${failed[@]}"; do
  echo "== [$name] report =="
  grep -a -n -E 'ERROR|SUMMARY|check failed|runtime error|#[0-9]+ 0x' "$work/$name/log" | head -40 | sed "s/^/[$name] /"
done
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "Fuzzing found something in: ${failed[*]}"
  exit 1
fi
