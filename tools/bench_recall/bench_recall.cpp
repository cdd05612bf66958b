// Recall of the demodulator against signal level: for each file type and level, a few
// seconds of synthesised traffic (no two frames overlapping unless --overlap), demodulated
// in-process and matched against the list of sent frames. Once with every frame starting on a
// sample boundary, once at random fractions of a sample (what real signals do).
//
// Columns: frames sent; recovered (same bytes, stamped within the tolerance of the true
// arrival); of those, stamped more than 3 ticks off; frames out that match nothing sent,
// split into DF 11 / 17-19 (parity tested by the demodulator) and the rest, with in brackets
// those whose address/parity gives one of the sent addresses (an address filter keeps them);
// the mean signal byte of the frames out at random timing.
// Speed is the wall time spent inside process() only, as a multiple of real time.
// --detail adds long/short recall, misses by sample offset, false frames by DF and the
// timestamp errors; --list N prints the first N misses and false DF 11/17-19 frames of a run.
// --modeac R adds R Mode A/C replies per second per aircraft, decodes them ("rbs", I/Q types
// only) and prints under each row the replies found, found twice and false (of those out);
// the Mode S columns then leave them out.
// --overlap P places that fraction of the transmissions on top of the one before (collisions);
// the rest keep their quiet air.
//
//   velkaro_bench_recall [--seconds S] [--aircraft N] [--seed N] [--tolerance TICKS]
//                        [--types rtl,airspy6,airspy10,raw10,raw12,raw20] [--levels 3,6,...] [--detail] [--list N]
//                        [--modeac RATE] [--overlap P]
// A level A-B spreads the aircraft evenly from A to B dB.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/bench_recall/recall_match.h"
#include "tools/bench_recall/recall_run.h"
#include "tools/synth/iq_format.h"
#include "tools/synth/scenario.h"
#include "tools/synth/synth_frame.h"

namespace {

struct Options {
  double seconds = 5;
  int aircraft = 16;
  uint64_t seed = 1090;
  // Half a bit (one 2 MS/s sample): wide enough for the 2 MS/s quantisation (up to 3 ticks)
  // and for the detectors that lock a few samples early; frames are at least 4 us apart.
  double toleranceTicks = 6;
  std::vector<SynthIqType> types = {SynthIqType::Rtl, SynthIqType::Airspy6, SynthIqType::Airspy10};
  // dB above the noise, from the first aircraft to the last (the same for a single level).
  struct Level {
    double low, high;
  };
  std::vector<Level> levels = {{3, 3}, {6, 6}, {9, 9}, {12, 12}, {15, 15}, {20, 20}, {25, 25}, {30, 30}};
  bool detail = false;
  size_t list = 0;
  double modeAc = 0;
  double overlap = 0;
};

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "%s\nusage: velkaro_bench_recall [--seconds S] [--aircraft N] [--seed N] [--tolerance TICKS]\n"
               "       [--types rtl,airspy6,airspy10,raw10,raw12,raw20] [--levels 3,6,9] [--detail] [--list N]\n"
               "       [--modeac RATE] [--overlap P]\n",
               problem.c_str());
  std::exit(2);
}

double number(const std::string& text, const std::string& option) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0) usage("bad value for " + option);
  return value;
}

std::vector<std::string> commaList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--seconds") o.seconds = number(value(), arg);
    else if (arg == "--aircraft") o.aircraft = static_cast<int>(number(value(), arg));
    else if (arg == "--seed") o.seed = static_cast<uint64_t>(number(value(), arg));
    else if (arg == "--tolerance") o.toleranceTicks = number(value(), arg);
    else if (arg == "--detail") o.detail = true;
    else if (arg == "--list") o.list = static_cast<size_t>(number(value(), arg));
    else if (arg == "--modeac") o.modeAc = number(value(), arg);
    else if (arg == "--overlap") o.overlap = number(value(), arg);
    else if (arg == "--types") {
      o.types.clear();
      for (const auto& name : commaList(value())) {
        SynthIqType type;
        if (!parseSynthIqType(name, type)) usage("unknown type " + name);
        o.types.push_back(type);
      }
    } else if (arg == "--levels") {
      o.levels.clear();
      for (const auto& item : commaList(value())) {
        const auto dash = item.find('-', 1);
        if (dash == std::string::npos) {
          const double level = number(item, arg);
          o.levels.push_back({level, level});
        } else {
          o.levels.push_back({number(item.substr(0, dash), arg), number(item.substr(dash + 1), arg)});
        }
      }
    } else {
      usage("unknown option " + arg);
    }
  }
  if (o.seconds <= 0 || o.seconds > 60) usage("--seconds is 0 to 60");
  if (o.aircraft < 1 || o.aircraft > 100) usage("--aircraft is 1 to 100");
  if (o.overlap < 0 || o.overlap > 1) usage("--overlap is 0 to 1");
  if (o.types.empty() || o.levels.empty()) usage("nothing to run");
  return o;
}

// Airborne aircraft spread over the sky, the last one taxiing (surface positions), every one
// at the same level and answering interrogations (DF 4/5/20/21) as well as squittering.
std::string scenarioText(const Options& o, Options::Level levels, bool aligned) {
  std::ostringstream s;
  s << "duration " << o.seconds << "\nseed " << o.seed << "\nnoise -32\ntiming " << (aligned ? "aligned" : "random")
    << "\ncollisions avoid\noverlap " << o.overlap << "\nmodeac " << o.modeAc << "\n";
  for (int i = 0; i < o.aircraft; ++i) {
    char line[256];
    const bool ground = i == o.aircraft - 1 && o.aircraft > 1;
    const double level = levels.low + (o.aircraft > 1 ? (levels.high - levels.low) * i / (o.aircraft - 1) : 0);
    std::snprintf(line, sizeof line,
                  "aircraft %06X callsign=VKR%03d squawk=%04o lat=%.3f lon=%.3f track=%d gs=%d alt=%d level=%g "
                  "replies=1.5%s\n",
                  0x400000 + 0x1357 * (i + 1), i + 1, 01000 + 0111 * (i % 6), 52.0 + 0.07 * i, 4.5 + 0.05 * i,
                  (37 * i) % 360, ground ? 12 : 250 + 10 * i, ground ? 0 : 3000 + 2500 * i, level,
                  ground ? " ground=yes" : "");
    s << line;
  }
  return s.str();
}

std::string share(size_t part, size_t whole) {
  char text[48];
  std::snprintf(text, sizeof text, "%zu %5.1f%%", part, whole ? 100.0 * part / whole : 0.0);
  return text;
}

int bitDistance(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return -1;
  int bits = 0;
  for (size_t i = 0; i < a.size(); ++i) bits += __builtin_popcount(a[i] ^ b[i]);
  return bits;
}

// The first `limit` missed frames, with the nearest output carrying the same bytes, and the
// first `limit` false parity-checked frames, with the sent frame nearest in time.
void printList(const RecallRun& run, const RecallTally& tally, size_t limit) {
  for (size_t k = 0; k < tally.missed.size() && k < limit; ++k) {
    const SynthSentFrame& f = run.sent[tally.missed[k]];
    double nearest = 1e18;
    for (const RecallFrame& out : run.frames)
      if (out.bytes == f.bytes) {
        const double d = static_cast<double>(out.timestamp) - recallIdealTimestamp(f, run.factor);
        if (std::fabs(d) < std::fabs(nearest)) nearest = d;
      }
    std::printf("    missed %-14s sample %llu offset %.3f %s", f.kind.c_str(), static_cast<unsigned long long>(f.sample),
                f.offset, synthHex(f.bytes.data(), static_cast<uint32_t>(f.bytes.size())).c_str());
    if (std::fabs(nearest) <= 600) std::printf("  (same bytes out at %+.1f ticks)", nearest);
    std::printf("\n");
  }
  for (size_t k = 0; k < tally.falseParityFrames.size() && k < limit; ++k) {
    const RecallFrame& out = run.frames[tally.falseParityFrames[k]];
    const SynthSentFrame* nearest = nullptr;
    double delta = 0;
    for (const SynthSentFrame& f : run.sent) {
      const double d = static_cast<double>(out.timestamp) - recallIdealTimestamp(f, run.factor);
      if (!nearest || std::fabs(d) < std::fabs(delta)) {
        nearest = &f;
        delta = d;
      }
    }
    std::printf("    false  %s level %u", synthHex(out.bytes.data(), static_cast<uint32_t>(out.bytes.size())).c_str(),
                out.signal);
    if (nearest)
      std::printf("  nearest sent %s %+.1f ticks, %d bits apart", nearest->kind.c_str(), delta,
                  bitDistance(out.bytes, nearest->bytes));
    std::printf("\n");
  }
}

struct Totals {
  double signalSeconds = 0;
  double processSeconds = 0;
  std::map<long, size_t> deltas[2];
  size_t sent[2] = {}, sentLong[2] = {}, recovered[2] = {}, recoveredLong[2] = {};
  // Random timing: sent and missed frames by the fraction of a sample their edge falls at.
  size_t sentByOffset[10] = {}, missedByOffset[10] = {};
  std::map<uint32_t, size_t> falseOtherByDf;
};

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  char collisions[64] = "no collisions";
  if (o.overlap > 0) std::snprintf(collisions, sizeof collisions, "%g%% of frames on top of another", 100 * o.overlap);
  std::printf("%g s of %d aircraft per run, noise floor -32 dBFS, %s; a frame counts as recovered\n"
              "when its bytes come out within %g ticks (12 MHz) of its true arrival.\n\n",
              o.seconds, o.aircraft, collisions, o.toleranceTicks);
  std::printf("%-8s %5s %6s %16s %16s %11s %15s %24s %6s\n", "type", "dB", "sent", "recov. aligned", "recov. random",
              ">3 ticks", "false DF11/17+", "false other (known AA)", "signal");
  std::printf("%-8s %5s %6s %16s %16s %11s %15s %24s %6s\n", "", "", "", "", "", "al / rnd", "al / rnd", "al / rnd",
              "rnd");
  std::map<SynthIqType, Totals> totals;
  for (SynthIqType type : o.types) {
    Totals& total = totals[type];
    for (const Options::Level& level : o.levels) {
      char levelName[32];
      if (level.low == level.high) {
        std::snprintf(levelName, sizeof levelName, "%g", level.low);
      } else {
        std::snprintf(levelName, sizeof levelName, "%g-%g", level.low, level.high);
      }
      RecallTally tally[2];
      RecallRun runs[2];
      ModeACTally modeAc[2];
      for (int timing = 0; timing < 2; ++timing) {
        runs[timing] = runRecall(parseSynthScenarioText(scenarioText(o, level, timing == 0)), type, o.modeAc > 0);
        if (o.modeAc > 0) {
          modeAc[timing] = matchModeAC(runs[timing], o.toleranceTicks);
          runs[timing] = withoutModeAC(runs[timing]);
        }
        tally[timing] = matchRecall(runs[timing], o.toleranceTicks);
        total.signalSeconds += static_cast<double>(runs[timing].samples) / static_cast<double>(synthSampleRate(type));
        total.processSeconds += runs[timing].processSeconds;
        for (const auto& [delta, count] : tally[timing].deltas) total.deltas[timing][delta] += count;
        for (const auto& [df, count] : tally[timing].falseOtherByDf) total.falseOtherByDf[df] += count;
        total.sent[timing] += tally[timing].sent;
        total.sentLong[timing] += tally[timing].sentLong;
        total.recovered[timing] += tally[timing].recovered;
        total.recoveredLong[timing] += tally[timing].recoveredLong;
      }
      for (const SynthSentFrame& f : runs[1].sent) ++total.sentByOffset[std::min(9, static_cast<int>(f.offset * 10))];
      for (size_t i : tally[1].missed) ++total.missedByOffset[std::min(9, static_cast<int>(runs[1].sent[i].offset * 10))];
      // The schedule is the same in both timings; only rounding to a sample can drop a frame
      // at the end of the file.
      std::string sent = std::to_string(tally[0].sent);
      if (tally[1].sent != tally[0].sent) sent += "/" + std::to_string(tally[1].sent);
      char offTime[32], falseParity[32], falseOther[48];
      std::snprintf(offTime, sizeof offTime, "%zu / %zu", tally[0].recoveredOffTime, tally[1].recoveredOffTime);
      std::snprintf(falseParity, sizeof falseParity, "%zu / %zu", tally[0].falseParity, tally[1].falseParity);
      std::snprintf(falseOther, sizeof falseOther, "%zu (%zu) / %zu (%zu)", tally[0].falseOther,
                    tally[0].falseOtherKnownAddress, tally[1].falseOther, tally[1].falseOtherKnownAddress);
      double signalSum = 0;
      for (const RecallFrame& out : runs[1].frames) signalSum += out.signal;
      const double meanSignal = runs[1].frames.empty() ? 0 : signalSum / static_cast<double>(runs[1].frames.size());
      std::printf("%-8s %5s %6s %16s %16s %11s %15s %24s %6.0f\n", synthIqTypeName(type), levelName, sent.c_str(),
                  share(tally[0].recovered, tally[0].sent).c_str(), share(tally[1].recovered, tally[1].sent).c_str(),
                  offTime, falseParity, falseOther, meanSignal);
      if (o.modeAc > 0 && !synthIsRaw(type)) {
        const auto shareOf = [](size_t part, size_t whole) { return whole ? 100.0 * part / whole : 0.0; };
        std::printf("    Mode A/C: sent %zu, found %zu %5.1f%% / %zu %5.1f%%, twice %zu / %zu, false %zu %.2f%% / %zu %.2f%%\n",
                    modeAc[0].sent, modeAc[0].found, shareOf(modeAc[0].found, modeAc[0].sent), modeAc[1].found,
                    shareOf(modeAc[1].found, modeAc[1].sent), modeAc[0].twice, modeAc[1].twice,
                    modeAc[0].falseReplies, shareOf(modeAc[0].falseReplies, modeAc[0].out), modeAc[1].falseReplies,
                    shareOf(modeAc[1].falseReplies, modeAc[1].out));
      }
      if (o.detail && (tally[0].falseCopies || tally[1].falseCopies))
        std::printf("    unmatched copies of sent frames (wrong time or twice): %zu / %zu\n", tally[0].falseCopies,
                    tally[1].falseCopies);
      for (int timing = 0; timing < 2 && o.list; ++timing) {
        if (tally[timing].missed.empty() && tally[timing].falseParityFrames.empty()) continue;
        std::printf("   %s timing:\n", timing == 0 ? "aligned" : "random");
        printList(runs[timing], tally[timing], o.list);
      }
      std::fflush(stdout);
    }
  }

  std::printf("\nDemodulation speed (wall time inside process(), all runs of the type):\n");
  for (SynthIqType type : o.types) {
    const Totals& t = totals[type];
    std::printf("  %-8s %5.1f MS/s  %7.1f x real time\n", synthIqTypeName(type), synthSampleRate(type) / 1e6,
                t.processSeconds > 0 ? t.signalSeconds / t.processSeconds : 0.0);
  }
  if (o.detail) {
    std::printf("\nAll levels together, long (112-bit) / short (56-bit) frames recovered:\n");
    for (SynthIqType type : o.types) {
      const Totals& t = totals[type];
      for (int timing = 0; timing < 2; ++timing)
        std::printf("  %-8s %-7s long %s  short %s\n", synthIqTypeName(type), timing == 0 ? "aligned" : "random",
                    share(t.recoveredLong[timing], t.sentLong[timing]).c_str(),
                    share(t.recovered[timing] - t.recoveredLong[timing], t.sent[timing] - t.sentLong[timing]).c_str());
    }
    std::printf("\nRandom timing, all levels: frames missed / sent by where the leading edge falls in its sample:\n");
    for (SynthIqType type : o.types) {
      std::printf("  %-8s", synthIqTypeName(type));
      for (int b = 0; b < 10; ++b)
        std::printf(" .%d:%zu/%zu", b, totals[type].missedByOffset[b], totals[type].sentByOffset[b]);
      std::printf("\n");
    }
    std::printf("\nOther false frames by DF, all runs:\n");
    for (SynthIqType type : o.types) {
      std::printf("  %-8s", synthIqTypeName(type));
      for (const auto& [df, count] : totals[type].falseOtherByDf) std::printf(" %u:%zu", df, count);
      std::printf("\n");
    }
    std::printf("\nTimestamp error of byte matches (output minus true arrival, ticks: count):\n");
    for (SynthIqType type : o.types)
      for (int timing = 0; timing < 2; ++timing) {
        std::printf("  %-8s %-7s", synthIqTypeName(type), timing == 0 ? "aligned" : "random");
        for (const auto& [delta, count] : totals[type].deltas[timing]) std::printf(" %+ld:%zu", delta, count);
        std::printf("\n");
      }
  }
  return 0;
}
