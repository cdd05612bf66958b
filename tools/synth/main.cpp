// velkaro-synth: writes the I/Q (or real) samples of a traffic scenario to a file, or streams
// them in real time to a FIFO or standard output. See tools/synth/README.md.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/synth/raw_samples.h"
#include "tools/synth/scenario.h"
#include "tools/synth/stream_output.h"
#include "tools/synth/synth_session.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) { stopRequested = true; }

const char* usage =
    "usage: velkaro-synth SCENARIO --out FILE [--type rtl|airspy10|airspy6|raw10|raw12|raw20] [--packed]\n"
    "                     [--list FILE] [--seconds S] [--seed N] [--airspy-coding abs|signed]\n"
    "       velkaro-synth SCENARIO --stream FIFO|- [--list FILE] [--seconds S] [--seed N] [--once]\n";

struct Arguments {
  std::string scenario;
  std::string out;
  std::string stream;
  std::string list;
  std::string type = "rtl";
  std::string coding = "abs";
  double seconds = -1;
  bool hasSeed = false;
  uint64_t seed = 0;
  bool once = false;
  bool packed = false;
};

bool parseArguments(int argc, char** argv, Arguments& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& target) {
      if (i + 1 >= argc) return false;
      target = argv[++i];
      return true;
    };
    std::string text;
    try {
      if (arg == "--out") { if (!value(a.out)) return false; }
      else if (arg == "--stream") { if (!value(a.stream)) return false; }
      else if (arg == "--list") { if (!value(a.list)) return false; }
      else if (arg == "--type") { if (!value(a.type)) return false; }
      else if (arg == "--airspy-coding") { if (!value(a.coding)) return false; }
      else if (arg == "--seconds") { if (!value(text)) return false; a.seconds = std::stod(text); }
      else if (arg == "--seed") { if (!value(text)) return false; a.seed = std::stoull(text); a.hasSeed = true; }
      else if (arg == "--once") a.once = true;
      else if (arg == "--packed") a.packed = true;
      else if (!arg.empty() && arg[0] != '-' && a.scenario.empty()) a.scenario = arg;
      else return false;
    } catch (const std::exception&) {
      return false;
    }
  }
  return !a.scenario.empty() && (a.out.empty() != a.stream.empty());
}

bool writeLines(std::ostream* list, const std::vector<SynthSentFrame>& frames) {
  if (!list) return true;
  for (const auto& f : frames) *list << formatSynthSentFrame(f);
  list->flush();
  return static_cast<bool>(*list);
}

int runFile(const SynthScenario& scenario, const Arguments& a, SynthIqType type, SynthAirspyCoding coding) {
  std::ofstream out(a.out, std::ios::binary | std::ios::trunc);
  const std::string listPath = a.list.empty() ? a.out + ".list" : a.list;
  std::ofstream list(listPath, std::ios::trunc);
  if (!out || !list) {
    std::cerr << "velkaro-synth: cannot write " << (!out ? a.out : listPath) << "\n";
    return 1;
  }
  const bool raw = synthIsRaw(type);
  if (raw) list << formatSynthSentHeader(synthIqTypeName(type), synthOversamplingFactor(type), synthSampleRate(type), a.packed);
  else list << formatSynthSentHeader(synthIqTypeName(type), synthOversamplingFactor(type));
  const uint64_t total = synthSampleCount(scenario, type);
  SynthSession session(scenario, type, coding, total);
  const uint32_t width = synthBytesPerPair(type);
  std::vector<uint8_t> buffer(SynthRenderer::chunkSamples * width);
  std::vector<uint32_t> words(synthPackedWords(SynthRenderer::chunkSamples));
  std::vector<SynthSentFrame> sent;
  uint64_t frames = 0;
  for (;;) {
    // Packed chunks hold whole groups, so only the last one can end in padding.
    const size_t n = a.packed ? session.renderRawPacked(words.data(), SynthRenderer::chunkSamples, sent)
                              : session.renderChunk(buffer.data(), SynthRenderer::chunkSamples, sent);
    if (n == 0) break;
    if (a.packed)
      out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(synthPackedWords(n) * 4));
    else
      out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n) * width);
    frames += sent.size();
    if (!writeLines(&list, sent) || !out) {
      std::cerr << "velkaro-synth: write failed\n";
      return 1;
    }
    sent.clear();
  }
  std::cerr << "velkaro-synth: " << total << " samples (" << synthIqTypeName(type) << (a.packed ? ", packed" : "") << "), "
            << frames << " frames\n";
  return 0;
}

int runStream(const SynthScenario& scenario, const Arguments& a) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;  // no SA_RESTART: a blocked open or write returns
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::unique_ptr<std::ofstream> list;
  if (!a.list.empty()) {
    list = std::make_unique<std::ofstream>(a.list, std::ios::trunc);
    *list << formatSynthSentHeader("rtl", 1);
  }
  const uint64_t total = a.seconds > 0 ? static_cast<uint64_t>(a.seconds * 2e6) : 0;
  SynthSession session(scenario, SynthIqType::Rtl, SynthAirspyCoding::Absolute, total);
  SynthStreamOutput output(a.stream);
  if (output.open(stopRequested) == SynthStreamOutput::Result::Failed) {
    std::cerr << "velkaro-synth: " << output.lastError() << "\n";
    return 1;
  }
  // Chunks of 32 ms at 2 MS/s, each sent when its time has come.
  const uint32_t chunk = 65536;
  std::vector<uint8_t> buffer(chunk * 2);
  std::vector<SynthSentFrame> sent;
  auto began = std::chrono::steady_clock::now();
  uint64_t paced = 0;
  while (!stopRequested) {
    const uint32_t n = session.renderChunk(buffer.data(), chunk, sent);
    if (n == 0) break;
    writeLines(list.get(), sent);
    sent.clear();
    const auto result = output.write(buffer.data(), n * 2u, stopRequested);
    if (result == SynthStreamOutput::Result::Closed) {
      if (a.once || !output.isFifo()) break;
      std::cerr << "velkaro-synth: the reader closed " << a.stream << ", waiting for the next one\n";
      if (output.open(stopRequested) != SynthStreamOutput::Result::Written) break;
      began = std::chrono::steady_clock::now();
      paced = 0;
      continue;
    }
    if (result != SynthStreamOutput::Result::Written) {
      if (result == SynthStreamOutput::Result::Failed) std::cerr << "velkaro-synth: " << output.lastError() << "\n";
      break;
    }
    paced += n;
    std::this_thread::sleep_until(began + std::chrono::microseconds(paced / 2));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments a;
  if (!parseArguments(argc, argv, a)) {
    std::cerr << usage;
    return 2;
  }
  SynthScenario scenario;
  try {
    scenario = loadSynthScenario(a.scenario);
  } catch (const SynthScenarioError& e) {
    std::cerr << "velkaro-synth: " << a.scenario << ": " << e.what() << "\n";
    return 2;
  }
  if (a.hasSeed) scenario.seed = a.seed;
  if (a.seconds > 0) scenario.duration = a.seconds;
  if (!a.stream.empty()) {
    if (a.packed) {
      std::cerr << usage;
      return 2;
    }
    return runStream(scenario, a);
  }

  SynthIqType type;
  if (!parseSynthIqType(a.type, type) || (a.coding != "abs" && a.coding != "signed") || (a.packed && !synthIsRaw(type))) {
    std::cerr << usage;
    return 2;
  }
  return runFile(scenario, a, type, a.coding == "abs" ? SynthAirspyCoding::Absolute : SynthAirspyCoding::Signed);
}
