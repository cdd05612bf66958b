#!/usr/bin/env bash
# Installs what is needed, builds, and runs Velkaro on the synthesiser's live signal: a recording
# of a dozen aircraft around Amsterdam, streamed in real time through a FIFO, with every feed on
# its usual port (the MSG text feed on 30003, where BaseStation-format clients dial by default)
# and the web page on port 8080. Ctrl-C ends both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh velkaro velkaro-synth >/dev/null
build_dir=${VELKARO_BUILD_DIR:-build}

fifo=$(mktemp -u "${TMPDIR:-/tmp}/velkaro-demo.XXXXXX.fifo")
mkfifo "$fifo"
"$build_dir/tools/synth/velkaro-synth" tools/synth/scenarios/demo.txt --stream "$fifo" &
synth=$!
trap 'kill "$synth" 2>/dev/null || true; wait "$synth" 2>/dev/null || true; rm -f "$fifo"' EXIT

cat <<TEXT
Feeds on this machine: BaseStation MSG 30003, BEAST 30005, AVR 30002, AVR-MLAT 30006,
AVR-MLAT AirSpy 30004, SBS-3 10001; web page http://localhost:8080/ (try: nc localhost 30003)
TEXT
"$build_dir/velkaro" --input-file "rtl:$fifo" --location 52.31:4.76 \
  --msg 30003 --beast 30005 --avr 30002 --avrmlat 30006 --avrmlatas 30004 --sbs10001 10001 \
  --web 8080 "$@"
