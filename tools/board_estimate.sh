#!/usr/bin/env bash
# Speed figures for the ARMv7 board, by hand: the native time of each main path on this machine,
# its instruction count (callgrind on x86-64; qemu-arm with a small counting plugin on an armhf
# build, when one is given) and from those an estimate of the share of one 1 GHz Cortex-A7 core
# each path takes at a busy load.
#
#   tools/board_estimate.sh BUILD_DIR [ARMHF_BUILD_DIR]
#
# BUILD_DIR: a Release build of this tree with the benchmarks (velkaro, tools/synth/velkaro-synth,
# tools/bench*/...). ARMHF_BUILD_DIR: a cross build (cmake/armhf-toolchain.cmake) holding velkaro
# and tools/bench_airspy/velkaro-bench-airspy; without it the ARM instruction counts are taken as
# 0.9 to 1.2 times the x86-64 ones. Takes two to three minutes. Instruction counts repeat (the
# single-threaded ones exactly) whatever else the machine does; the native times do not, so run it
# on a quiet machine.
# Needs valgrind and python3; the ARM counts also need qemu-arm and a C compiler.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 || ! -d $1 ]]; then
  echo "usage: $0 BUILD_DIR [ARMHF_BUILD_DIR]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
arm=""
if [[ $# -eq 2 ]]; then arm=$(cd "$2" && pwd); fi

synth=$build/tools/synth/velkaro-synth
velkaro=$build/velkaro
airspy=$build/tools/bench_airspy/velkaro-bench-airspy
demod=$build/tools/bench_demod/velkaro_bench_demod
decode=$build/tools/bench/velkaro_bench_decode
tracking=$build/tools/bench_tracking/velkaro_bench_tracking
pipeline=$build/tools/bench_pipeline/velkaro_bench_pipeline
web=$build/tools/bench_web/velkaro_bench_web
database=$build/tools/bench_database/velkaro_bench_database
for tool in "$synth" "$velkaro" "$airspy" "$demod" "$decode" "$tracking" "$pipeline" "$web" "$database"; do
  if [[ ! -x $tool ]]; then
    echo "$tool is missing: build it first (cmake --build $build -j4)" >&2
    exit 1
  fi
done
command -v valgrind >/dev/null || { echo "valgrind is missing" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing" >&2; exit 1; }
arm_velkaro="" arm_airspy=""
if [[ -n $arm ]]; then
  arm_velkaro=$arm/velkaro
  arm_airspy=$arm/tools/bench_airspy/velkaro-bench-airspy
  for tool in "$arm_velkaro" "$arm_airspy"; do
    [[ -x $tool ]] || { echo "$tool is missing from the armhf build" >&2; exit 1; }
  done
  command -v qemu-arm >/dev/null || { echo "qemu-arm is missing (scripts/install-armhf-deps.sh)" >&2; exit 1; }
  command -v cc >/dev/null || { echo "a C compiler is needed for the counting plugin" >&2; exit 1; }
fi

# VELKARO_BOARD_KEEP=1 keeps the work folder (profiles, logs) and names it at the end.
work=$(mktemp -d /tmp/velkaro-board.XXXXXX)
if [[ ${VELKARO_BOARD_KEEP:-0} == 1 ]]; then
  trap 'echo "work folder: $work" >&2' EXIT
else
  trap 'rm -rf "$work"' EXIT
fi
say() { echo "[$(date +%H:%M:%S)] $*" >&2; }

# A busy sky: 200 aircraft in rings up to ~55 NM around the receiver, about 1,450 frames a
# second, levels 6 to 25 dB, a few bit errors and overlaps, as the demo signal has.
awk 'BEGIN {
  print "seed 1090\nnoise -32\ntiming random\nfreq-offset 15000\nerrors 0.02 0.005\noverlap 0.01\nmodeac 0"
  pi = 3.14159265
  for (i = 0; i < 200; i++) {
    ring = 1 + i % 8; a = (i * 137.5) % 360
    printf "aircraft %06X callsign=BSY%03d squawk=%04o lat=%.4f lon=%.4f track=%d gs=%d alt=%d turn=%s level=%d replies=2\n",
      4718592 + i * 7, i, 512 + i, 52.31 + ring * 0.12 * cos(a * pi / 180), 4.76 + ring * 0.19 * sin(a * pi / 180),
      a, 180 + (i % 9) * 30, 3000 + (i % 30) * 1000, (i % 2 ? "0.3" : "-0.3"), 6 + i % 20
  }
}' > "$work/busy.txt"
say "synthesising the busy sky"
"$synth" "$work/busy.txt" --out "$work/rtl2.iq" --type rtl --seconds 2 2> "$work/synth.log"
"$synth" "$work/busy.txt" --out "$work/rtl4.iq" --type rtl --seconds 4 2>> "$work/synth.log"
"$synth" "$work/busy.txt" --out "$work/u10.raw" --type raw10 --seconds 1 2>> "$work/synth.log"
"$synth" "$work/busy.txt" --out "$work/p10.raw" --type raw10 --packed --seconds 1 2>> "$work/synth.log"
"$synth" "$work/busy.txt" --out "$work/u20.raw" --type raw20 --seconds 1 2>> "$work/synth.log"
"$synth" "$work/busy.txt" --out "$work/p20.raw" --type raw20 --packed --seconds 1 2>> "$work/synth.log"

# Airspy cases: name, rate, workers, file, packing flag.
airspy_cases=("u10 10 1 u10.raw" "p10 10 1 p10.raw --packed" "u20 20 1 u20.raw" "p20 20 1 p20.raw --packed"
              "u20w4 20 4 u20.raw")

# --- Native times, one benchmark at a time -------------------------------------------------
gbench() {  # name tool filter
  "$2" --benchmark_filter="$3" --benchmark_out="$work/native_$1.json" --benchmark_out_format=json \
    --benchmark_counters_tabular=true > "$work/native_$1.txt" 2>&1 || say "$1: failed (see its output)"
}
say "native: RTL demodulator"
gbench demod "$demod" '^demodulate/factor:1/rbs:0$'
say "native: Airspy demodulator"
for c in "${airspy_cases[@]}"; do
  set -- $c
  for run in 1 2 3; do
    "$airspy" --rate "$2" --workers "$3" ${5:-} "$work/$4" 2>> "$work/native_air_$1.txt" > /dev/null ||
      say "airspy $1: failed"
  done
done
say "native: frame decoding, tracking"
gbench decode "$decode" '^BM_FilterDecode/'
gbench tracking "$tracking" '^BM_StatisticsOnMessage'
say "native: pipeline with feeds (about 30 s)"
gbench pipeline "$pipeline" '^BM_Pipeline/clients:(1|10)/'
say "native: web replies, database writer"
"$web" --direct 200 --aircraft 100 > "$work/native_web.txt" 2>&1 || say "web: failed"
gbench database "$database" '^BM_CloseFlights/1/'

# --- Instruction counts, a few at a time (counts do not depend on the load) -----------------
grind() {  # name command...
  local name=$1
  shift
  valgrind -q --tool=callgrind --callgrind-out-file="$work/$name.cg" "$@" > "$work/$name.out" 2>&1 ||
    { echo "@board_estimate: run failed" >> "$work/$name.out"; return 1; }
}
# The program on a file with all six feeds and the web server open (no clients); the ports are
# drawn at random and drawn again when taken.
feeds_run() {  # runner... (the file and options follow)
  local try base
  for try in 1 2 3; do
    base=$((20000 + RANDOM % 40000))
    if "$@" --beast "$base" --avr $((base + 1)) --avrmlat $((base + 2)) --avrmlatas $((base + 3)) \
      --sbs10001 $((base + 4)) --msg $((base + 5)) --web $((base + 6)) --location 52.31:4.76; then
      return 0
    fi
  done
  return 1
}

lane_pipeline() {
  grind pipeline "$pipeline" --benchmark_filter='^BM_Pipeline/clients:1/' || true
}
lane_frames() {
  grind demod "$demod" --benchmark_filter='^demodulate/factor:1/rbs:0$' --benchmark_min_time=0.01 || true
  grind decode "$decode" --benchmark_filter='^BM_FilterDecode/' || true
  grind tracking "$tracking" --benchmark_filter='^BM_StatisticsOnMessage' || true
  grind web "$web" --direct 50 --aircraft 100 || true
  grind database "$database" --benchmark_filter='^BM_CloseFlights/1/' || true
}
# The signal paths, counted by RUNNER (grind on x86-64, qcount on armhf) with those binaries.
lane_signal() {  # runner airspy-binary velkaro-binary
  local run=$1 airspy=$2 program=$3 c n s
  for c in "${airspy_cases[@]}"; do
    set -- $c
    for n in 1 3; do "$run" "air_$1_$n" "$airspy" --rate "$2" --workers "$3" ${5:-} --repeat "$n" "$work/$4" || true; done
  done
  for s in 2 4; do
    "$run" "plain_$s" "$program" --input-file "rtl:$work/rtl$s.iq" || true
    feeds_run "$run" "feeds_$s" "$program" --input-file "rtl:$work/rtl$s.iq" || true
  done
}
# Guest instructions executed, all threads together, written at exit.
qcount() {  # name command...
  local name=$1
  shift
  qemu-arm -plugin "$work/plugin.so,out=$work/$name.arm" "$@" > "$work/$name.arm.out" 2>&1 ||
    { echo "@board_estimate: run failed" >> "$work/$name.arm.out"; rm -f "$work/$name.arm"; return 1; }
}

if [[ -n $arm ]]; then
  # qemu's plugin interface (version 1): the few calls a count of executed instructions needs.
  # Besides the total it counts the NEON/VFP instructions and, of those, the ones on 128-bit
  # Q registers (or lists of two or more D registers), which the A7's 64-bit NEON unit takes
  # twice as long over.
  cat > "$work/plugin.c" <<'EOF'
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef struct { const char *target_name; struct { int min, cur; } version; bool system_emulation; } qemu_info_t;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS };
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t, void (*)(qemu_plugin_id_t, struct qemu_plugin_tb *));
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb *, void (*)(unsigned int, void *),
                                          enum qemu_plugin_cb_flags, void *);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *, size_t);
char *qemu_plugin_insn_disas(const struct qemu_plugin_insn *);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t, void (*)(qemu_plugin_id_t, void *), void *);
__attribute__((visibility("default"))) int qemu_plugin_version = 1;
static uint64_t executed, vector, wide;
static const char *out = "/dev/stderr";
static bool is_wide(const char *text) {
  if (strstr(text, " q")) return true;
  const char *list = strchr(text, '{');
  if (!list) return false;
  const char *comma = strchr(list, ','), *end = strchr(list, '}');
  return comma && end && comma < end;
}
/* Guest threads run on host threads of their own: the totals are added atomically. */
static void on_exec(unsigned int vcpu, void *packed) {
  (void)vcpu;
  const uint64_t n = (uint64_t)(uintptr_t)packed;
  __atomic_fetch_add(&executed, n & 0xFFFF, __ATOMIC_RELAXED);
  __atomic_fetch_add(&vector, (n >> 16) & 0xFFFF, __ATOMIC_RELAXED);
  __atomic_fetch_add(&wide, (n >> 32) & 0xFFFF, __ATOMIC_RELAXED);
}
static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  const size_t n = qemu_plugin_tb_n_insns(tb);
  uint64_t v = 0, w = 0;
  for (size_t i = 0; i < n; ++i) {
    char *text = qemu_plugin_insn_disas(qemu_plugin_tb_get_insn(tb, i));
    if (text && text[0] == 'v') {
      ++v;
      if (is_wide(text)) ++w;
    }
    free(text);
  }
  qemu_plugin_register_vcpu_tb_exec_cb(tb, on_exec, QEMU_PLUGIN_CB_NO_REGS,
                                       (void *)(uintptr_t)((uint64_t)n | v << 16 | w << 32));
}
static void at_end(qemu_plugin_id_t id, void *unused) {
  (void)id;
  (void)unused;
  FILE *f = fopen(out, "w");
  if (f) {
    fprintf(f, "%llu %llu %llu\n", (unsigned long long)executed, (unsigned long long)vector, (unsigned long long)wide);
    fclose(f);
  }
}
__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                                               char **argv) {
  (void)info;
  for (int i = 0; i < argc; ++i)
    if (strncmp(argv[i], "out=", 4) == 0) out = argv[i] + 4;
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, at_end, NULL);
  return 0;
}
EOF
  cc -O2 -Wall -Wextra -shared -fPIC -o "$work/plugin.so" "$work/plugin.c"
fi

say "counting instructions (callgrind${arm:+ and qemu-arm}), about two minutes"
lane_pipeline &
lane_frames &
lane_signal grind "$airspy" "$velkaro" &
if [[ -n $arm ]]; then lane_signal qcount "$arm_airspy" "$arm_velkaro" & fi
wait
say "done"

python3 - "$work" "${arm:+yes}" <<'EOF'
import json, os, re, sys

work, have_arm = sys.argv[1], sys.argv[2] == 'yes'
FPS = 2000          # frames (and decoded messages) a second: a busy sky
PAGES = 3           # pages polling the aircraft list once a second
FLIGHTS = 1.0       # aircraft arriving a second (looked up, flight opened, later closed): a high bound
CPI = (1.3, 2.0)    # Cortex-A7 cycles per instruction: streaming and branchy code
CPI_MEMORY = (2.0, 3.0)  # a table far larger than the A7's L2 cache, the database
CPI_WIDE = (2.0, 3.0)    # NEON on Q registers: two passes through the A7's 64-bit NEON unit
K_GUESS = (0.9, 1.2)     # ARM / x86-64 instructions where nothing was counted on ARM

def path(name): return os.path.join(work, name)
def read(name):
    try:
        with open(path(name), errors='replace') as f: return f.read()
    except OSError: return ''

def gbench(name, pattern):
    try:
        with open(path('native_%s.json' % name)) as f: runs = json.load(f)['benchmarks']
    except (OSError, ValueError, KeyError): return None
    for run in runs:
        if re.search(pattern, run['name']) and 'error_occurred' not in run: return run
    return None

def seconds(run, key='cpu_time'):
    scale = {'ns': 1e-9, 'us': 1e-6, 'ms': 1e-3, 's': 1}[run.get('time_unit', 'ns')]
    return run[key] * scale

class Profile:
    """Inclusive instructions and call counts per function and per caller/callee arc."""
    def __init__(self, name):
        self.total, self.own, self.out, self.calls, self.arcs = None, {}, {}, {}, {}
        if not os.path.exists(path(name + '.cg')) or '@board_estimate: run failed' in read(name + '.out'): return
        names = {}
        def name_of(token):
            m = re.match(r'\((\d+)\)(?: (.*))?$', token)
            if not m: return token
            if m.group(2) is not None: names[m.group(1)] = m.group(2)
            return names.get(m.group(1), token)
        fn = callee = pending = None
        for line in open(path(name + '.cg'), errors='replace'):
            c = line[0]
            if c.isdigit() or c in '+-*':
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending is None:
                    self.own[fn] = self.own.get(fn, 0) + cost
                    continue
                if pending[0] != fn: self.out[fn] = self.out.get(fn, 0) + cost
                self.calls[pending[0]] = self.calls.get(pending[0], 0) + pending[1]
                arc = self.arcs.setdefault((fn, pending[0]), [0, 0])
                arc[0] += cost
                arc[1] += pending[1]
                pending = None
            elif line.startswith('fn='): fn = name_of(line[3:].rstrip('\n'))
            elif line.startswith('cfn='): callee = name_of(line[4:].rstrip('\n'))
            elif line.startswith('calls='): pending = (callee, int(line[6:].split()[0]))
            elif line.startswith(('summary:', 'totals:')): self.total = int(line.split()[1])
    def function(self, pattern):  # (inclusive instructions, calls)
        r = re.compile(pattern)
        keys = [k for k in set(self.own) | set(self.calls) if k and r.search(k)]
        return sum(self.own.get(k, 0) + self.out.get(k, 0) for k in keys), sum(self.calls.get(k, 0) for k in keys)
    def per_call(self, pattern):
        cost, calls = self.function(pattern)
        return cost / calls if calls else None
    def arc(self, caller, callee):
        a, b = re.compile(caller), re.compile(callee)
        hits = [v for (x, y), v in self.arcs.items() if x and y and x != y and a.search(x) and b.search(y)]
        return sum(h[0] for h in hits), sum(h[1] for h in hits)

def arm_total(name):  # (instructions, of them NEON/VFP, of them on Q registers)
    fields = read(name + '.arm').split()
    return tuple(int(f) for f in fields) if have_arm and len(fields) == 3 else None
def per_pass(one, three):  # one pass over the input, start-up and file reading taken out
    if one is None or three is None: return None
    if isinstance(one, tuple): return tuple((b - a) / 2 for a, b in zip(one, three))
    return (three - one) / 2
def mul(*values):
    out = 1
    for v in values:
        if v is None: return None
        out *= v
    return out

class Row:
    # arm: counted (instructions, NEON/VFP, Q-register NEON); wide: Q-register share when derived.
    def __init__(self, name, load, native_text, x86=None, arm=None, k=None, cpi=CPI, native_seconds=None,
                 kernel=None, wide=0.0, spread=1):
        self.name, self.load, self.native_text, self.x86, self.native_seconds = name, load, native_text, x86, native_seconds
        self.kernel = kernel  # native CPU seconds (kernel included) per second of load, scaled instead
        self.spread = spread  # the work shares this many cores
        self.lo = self.hi = self.arm = None
        self.wide = wide
        if arm is not None:
            self.arm, self.how, ins = arm[0], 'counted', (arm[0], arm[0])
            self.wide = arm[2] / arm[0] if arm[0] else 0
        elif x86 is not None:
            ks = (k, k) if k is not None else K_GUESS
            ins = (x86 * ks[0], x86 * ks[1])
            self.arm = ins[1]
            self.how = ('k=%.2f' % k) if k is not None else 'k=%.1f-%.1f' % K_GUESS
        else:
            self.how, ins = ('scaled' if kernel is not None else '-'), None
        if ins:
            self.lo, self.hi = ((n * (1 - self.wide) * cpi[i] + n * self.wide * CPI_WIDE[i]) / 1e9
                                for i, n in enumerate(ins))
rows = []
def add(*args, **kw):
    rows.append(Row(*args, **kw))
    return rows[-1]

# The program on the busy-sky file, per second of input.
plain = per_pass(Profile('plain_2').total, Profile('plain_4').total)
feeds = per_pass(Profile('feeds_2').total, Profile('feeds_4').total)
arm_plain = per_pass(arm_total('plain_2'), arm_total('plain_4'))
arm_feeds = per_pass(arm_total('feeds_2'), arm_total('feeds_4'))
k_rtl = arm_plain[0] / plain if arm_plain and plain else None
k_frame = ((arm_feeds[0] - arm_plain[0]) / (feeds - plain)
           if arm_feeds and arm_plain and feeds and plain and feeds > plain else None)

run = gbench('demod', r'^demodulate/factor:1/rbs:0')
native = 1 / run['realtime'] if run and 'realtime' in run else None
p = Profile('demod')
cost, calls = p.function(r'^SdrRtlDecoder::process\(')
blocks = -(-2000000 // 65536)  # process() calls per second of input in that benchmark
demod = add('RTL 2 MS/s demodulator (bench_demod: 2,000 frames/s)', '1 s input',
            '%.2f ms' % (native * 1e3) if native else '-', cost / (calls / blocks) if calls else None,
            k=k_rtl, native_seconds=native, wide=arm_plain[2] / arm_plain[0] if arm_plain else 0.0)
chain = add('RTL 2 MS/s chain in the program: I/Q, demodulator, filter, decoder', '1 s input', '-', plain, arm_plain)
everything = add('  the same with six feeds and the web statistics (no clients)', '1 s input', '-', feeds, arm_feeds)

signal_k = []
airspy = {}
for case, label in (('u10', '10 MS/s'), ('p10', '10 MS/s packed'), ('u20', '20 MS/s'),
                    ('p20', '20 MS/s packed'), ('u20w4', '20 MS/s, 4 workers (all threads)')):
    xs = [float(m) for m in re.findall(r'([0-9.]+) x real time', read('native_air_%s.txt' % case))]
    native = 1 / max(xs) if xs else None
    x86 = per_pass(Profile('air_%s_1' % case).total, Profile('air_%s_3' % case).total)
    armv = per_pass(arm_total('air_%s_1' % case), arm_total('air_%s_3' % case))
    if x86 and armv: signal_k.append('%s %.2f' % (case, armv[0] / x86))
    airspy[case] = add('Airspy %s%s (bench_airspy, busy sky)' % (label, '' if 'w4' in case else ', 1 worker'),
                       '1 s input', '%.1f ms wall' % (native * 1e3) if native else '-', x86, armv,
                       native_seconds=native, spread=4 if 'w4' in case else 1)

# The frame thread at FPS frames a second.
run = gbench('decode', r'^BM_FilterDecode/')
native_decode = seconds(run) if run else None
p = Profile('decode')
frames = p.function(r'^MessageFilter::accept')[1]
decode_frame = p.function(r'filterAndDecode')[0] / frames if frames else None
decode = add('frame filter + decoder + duplicate filter (bench_decode)', '{:,} frames'.format(FPS),
             '%.0f ns/frame' % (native_decode * 1e9) if run else '-', mul(decode_frame, FPS), k=k_frame,
             native_seconds=mul(native_decode, FPS))
run = gbench('tracking', r'^BM_StatisticsOnMessage')
p = Profile('tracking')
tracking = add('tracking: Statistics::onMessage, 2,000 aircraft (bench_tracking)', '{:,} msgs'.format(FPS),
               '%.0f ns/msg' % (seconds(run) * 1e9) if run else '-', mul(p.per_call(r'^Statistics::onMessage'), FPS),
               k=k_frame, cpi=CPI_MEMORY, native_seconds=mul(seconds(run) if run else None, FPS))
run1 = gbench('pipeline', r'^BM_Pipeline/clients:1/')
run10 = gbench('pipeline', r'^BM_Pipeline/clients:10/')
p = Profile('pipeline')
cost, calls = p.arc(r'runPipeline', r'^FrameSink::onFrame')
frame_thread = cost / calls if calls else None
msg_line = p.per_call(r'^writeMsgLine')
feed_only = frame_thread - decode_frame if frame_thread and decode_frame else None
native = run1['frame_ns'] * 1e-9 - native_decode if run1 and native_decode else None
encoding = add('feed encoding + enqueue, frame thread, 6 feeds (bench_pipeline less decoding)', '{:,} frames'.format(FPS),
    '%.0f ns/frame' % (native * 1e9) if native else '-', mul(feed_only, FPS), k=k_frame)
io = {}
for clients, r in (('1 client', run1), ('10 clients', run10)):
    if r:
        io[clients] = add('feed I/O thread, %s per feed: sockets and kernel (native CPU, scaled)' % clients, '{:,} frames'.format(FPS),
            '%.0f ns/frame' % r['io_ns'], kernel=r['io_ns'] * 1e-9 * FPS)

# The web page's "flights" poll on 100 aircraft. The full and the incremental reply are asked
# in one loop; their times under callgrind (which follow the instruction count) split the count.
def web_times(text):
    t = {}
    for kind in ('full', 'incremental'):
        m = re.search(r'^%s page\s+([0-9.]+)\s+([0-9.]+)' % kind, text, re.M)
        if m: t[kind] = (float(m.group(1)), float(m.group(2)))
    return t
nt, gt = web_times(read('native_web.txt')), web_times(read('web.out'))
p = Profile('web')
if p.total and len(gt) == 2:
    parts = [p.function(r'^WebRig::askDirect'), p.function(r'^gzipString')]
    def reply(kind):
        return sum(cost * gt[kind][i] / (gt['full'][i] + gt['incremental'][i]) / (calls / 2)
                   for i, (cost, calls) in enumerate(parts) if calls)
    polls = add('web: incremental getStats flights reply + gzip, 100 aircraft', '%d polls' % PAGES,
        '%.2f ms/reply' % sum(nt['incremental']) if 'incremental' in nt else '-', reply('incremental') * PAGES,
        k=k_frame)
    add('web: full getStats flights reply + gzip (a page opening)', '1 reply',
        '%.2f ms/reply' % sum(nt['full']) if 'full' in nt else '-', reply('full'), k=k_frame)

run = gbench('database', r'^BM_CloseFlights/1/')
p = Profile('database')
steps = [p.per_call(f) for f in (r'^BaseStationDb::lookupAircraft', r'^BaseStationDb::openFlight',
                                 r'^BaseStationDb::closeFlights')]
database = add('database writer: aircraft looked up, flight opened, closed (bench_database)',
               '%g flight' % FLIGHTS,
               '%.0f us, %.0f us CPU a close' % (seconds(run, 'real_time') * 1e6, seconds(run) * 1e6) if run else '-',
               sum(steps) * FLIGHTS if None not in steps else None, k=k_frame, cpi=CPI_MEMORY)

# A7 time over native time, from the rows that have both; it scales the rows known only as
# native CPU time (the kernel's socket work).
ratios = [(r.lo / r.native_seconds, r.hi / r.native_seconds) for r in (demod, airspy['u20'], decode, tracking)
          if r.lo and r.native_seconds]
s_lo = min(x[0] for x in ratios) if ratios else None
s_hi = max(x[1] for x in ratios) if ratios else None
for r in rows:
    if r.kernel is not None and s_lo: r.lo, r.hi = r.kernel * s_lo, r.kernel * s_hi

def si(v):
    if v is None: return '-'
    for unit, scale in (('G', 1e9), ('M', 1e6), ('k', 1e3)):
        if v >= scale: return '%.1f%s' % (v / scale, unit)
    return '%.0f' % v
print()
print('Velkaro on a 1 GHz Cortex-A7. Input: a busy sky of 200 aircraft (about 1,450 frames/s); frame paths at {:,}/s.'.format(FPS))
form = '%-78s %-12s %-30s %8s %8s %-9s %s'
print(form % ('path', 'load /s', 'native here', 'x86 ins', 'ARM ins', 'ARM from', 'share of one A7 core'))
def shares(lo, hi, spread=1):
    if lo is None: return '-'
    text = '%5.1f%% - %5.1f%%' % (lo * 100, hi * 100)
    if spread > 1: text += ' (%.0f-%.0f%% on each of %d)' % (lo * 100 / spread, hi * 100 / spread, spread)
    return text + ('  TIGHT' if hi / spread > 0.5 else '')
for r in rows:
    print(form % (r.name[:78], r.load, r.native_text[:30], si(r.x86), si(r.arm), r.how, shares(r.lo, r.hi, r.spread)))
# Whole configurations: the signal path, the frame thread's extra work for six feeds and the page,
# the feeds' I/O with one client each, three pages polling and the database.
polls = globals().get('polls')
extras = [everything, io.get('1 client'), polls, database]
def together(name, parts):
    if any(r is None or r.lo is None for r in parts): return
    print(form % (name, '', '', '', '', 'sum', shares(sum(r.lo for r in parts), sum(r.hi for r in parts))))
together('together, RTL dongle: everything on, 1 client per feed, 3 pages, database', extras)
if everything.lo is not None and chain.lo is not None:
    frame_extra = Row('', '', '')
    frame_extra.lo, frame_extra.hi = everything.lo - chain.lo, everything.hi - chain.hi
    for case in ('u20', 'u10'):
        together('together, Airspy %s MS/s on 1 worker, the same outputs' % case[1:],
                 [airspy[case], frame_extra] + extras[1:])
print()
print('k = ARM/x86-64 instructions, counted: RTL chain %s; frame thread (feeds, statistics) %s; Airspy %s' % (
    '%.2f' % k_rtl if k_rtl else '-', '%.2f' % k_frame if k_frame else '-', ', '.join(signal_k) or '-'))
print('share = ARM instructions x CPI / 1e9 cycles; CPI %.1f-%.1f, %.1f-%.1f for the aircraft table and the database,' %
      (CPI + CPI_MEMORY))
print('        %.1f-%.1f for NEON instructions on Q registers (counted under qemu-arm)' % CPI_WIDE)
if s_lo:
    print('"scaled": native CPU time (kernel included) x %.0f-%.0f, the A7/native time ratio of the counted rows' % (s_lo, s_hi))
    if run: print('database: a close costs %.0f us CPU here (kernel included), %.1f-%.1f ms on the A7 by that ratio' %
                  (seconds(run) * 1e6, seconds(run) * s_lo * 1e3, seconds(run) * s_hi * 1e3))
if frame_thread and msg_line:
    print('frame thread with six feeds: %.0f x86 instructions a frame, of which the MSG line %.0f, decoding %.0f' %
          (frame_thread, msg_line, decode_frame or 0))
EOF
