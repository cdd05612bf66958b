#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit and end-to-end tests, the
# threaded parts under ThreadSanitizer, the same tests cross-built for the ARMv7 board under
# qemu-arm, a bounded fuzzing run of every outside input, and a 10-minute long run of every output.
#   VELKARO_FUZZ_SECONDS  fuzzing time of each target, all run at once (default 60; 0 skips it)
#   VELKARO_ARMHF=0       skips the armhf build and its tests
#   VELKARO_ARMHF=require fails when this machine cannot build or run them (CI sets it); by default
#                         such a machine prints "armhf: skipped" and the rest decides
#   VELKARO_LONG_RUN=0    skips the 10-minute long run
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/install-node-deps.sh
scripts/build.sh
build_dir=${VELKARO_BUILD_DIR:-build}

status=0
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" -LE longrun || status=1

echo "== ThreadSanitizer: statistics, database, Airspy demodulator, GPS line, outside look-ups =="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKARO_SANITIZE=thread \
  -DVELKARO_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS=-Wno-tsan >/dev/null
cmake --build build-tsan -j"$(nproc)" --target velkaro_decode_tests velkaro_output_tests velkaro_sdr_tests \
  velkaro_infoservice_tests velkaro velkaro-synth velkaro_e2e_tests >/dev/null
export TSAN_OPTIONS="halt_on_error=1"
build-tsan/tests/velkaro_decode_tests --gtest_filter='StatisticsConcurrency*' || status=1
build-tsan/tests/velkaro_output_tests --gtest_filter='AirInfo*:SerialLine*:Nmea*' || status=1
build-tsan/tests/velkaro_infoservice_tests || status=1
build-tsan/tests/velkaro_sdr_tests \
  --gtest_filter='DemodWorkerPool*:AirspyDemodulator.OutputIndependent*:AirspyStreaming*' || status=1
# The program itself under the sanitizer: the frame thread updates aircraft while the database
# worker writes them back. Its standard error goes nowhere in the test, so reports go to a file.
rm -f build-tsan/tsan-database.*
TSAN_OPTIONS="halt_on_error=1 log_path=$PWD/build-tsan/tsan-database" \
  build-tsan/tests/velkaro_e2e_tests --gtest_filter='DatabaseEndToEnd.*' || {
  cat build-tsan/tsan-database.* 2>/dev/null | head -60
  status=1
}
unset TSAN_OPTIONS

echo "== ARMv7 hard-float: cross-built, unit and end-to-end tests under qemu-arm =="
if [[ "${VELKARO_ARMHF:-1}" == 0 ]]; then
  echo "armhf: skipped: VELKARO_ARMHF=0"
else
  armhf_status=0
  scripts/cross-build-armhf.sh --test || armhf_status=$?
  if ((armhf_status == 3)) && [[ "${VELKARO_ARMHF:-1}" == require ]]; then
    echo "armhf: the skip is not accepted: VELKARO_ARMHF=require"
    status=1
  elif ((armhf_status != 0 && armhf_status != 3)); then
    echo "armhf: failed (status $armhf_status)"
    status=1
  fi
fi

fuzz_seconds=${VELKARO_FUZZ_SECONDS:-60}
if [[ "$fuzz_seconds" != 0 ]]; then
  echo "== Fuzzing every outside input for ${fuzz_seconds} s, all targets at once =="
  tools/fuzz/run.sh build-fuzz "$fuzz_seconds" >build-fuzz.log 2>&1 || { tail -50 build-fuzz.log; status=1; }
  grep -aE '^\[[a-z_]+\] (stat::number_of_executed_units|Done [0-9]+ runs)' build-fuzz.log || true
fi
echo "== Long run: every output in use for 10 minutes, memory and descriptors sampled =="
if [[ "${VELKARO_LONG_RUN:-1}" == 0 ]]; then
  echo "long run: skipped: VELKARO_LONG_RUN=0"
else
  # Verbose: its table of memory and descriptors over the run is part of the record.
  ctest --test-dir "$build_dir" --output-on-failure -V -L longrun || status=1
fi
exit "$status"
