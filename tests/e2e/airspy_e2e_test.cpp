// Samples in, frames out on the Airspy path: a simulated receiver streams the synthesiser's real
// samples through the library's callback on its own thread, the program's demodulator and pipeline
// run as in a live run, and a client of the AVR-MLAT feed compares what comes out with what was sent.

#include "app/application.h"
#include "sdr/airspy_device.h"
#include "tools/synth/raw_samples.h"
#include "tools/synth/scenario.h"
#include "tools/synth/synth_session.h"

#include "e2e/feed_frames.h"
#include "e2e/process_harness.h"
#include "sdr/fake_airspy_driver.h"
#include "sdr/sample_sink.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <atomic>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace {

// Signals 20 dB above the noise at random fractions of a sample; a share of the extended
// squitters carry one or two inverted bits.
const std::string scene = std::string(R"(duration 3
seed 11
noise -32
timing random
freq-offset 200000
collisions avoid
errors 0.15 0.15 df17
)") + threeAircraft;

struct AirspyRun {
  const char* name;
  SynthIqType type;
  uint32_t rate;  // MS/s
  bool packed;
  uint8_t fecBits;
  uint8_t workers;
};

void PrintTo(const AirspyRun& run, std::ostream* out) { *out << run.name; }

constexpr uint32_t blockSamples = 131072;
constexpr uint32_t droppedBlock = 40;  // this block arrives with dropped samples reported
constexpr uint64_t droppedCount = 5000;

// What the demodulator keeps: clean squitters always, repaired ones and replies only from an
// address it has seen clean; then the pipeline's rule, an address trusted from its third
// confirmation on.
std::vector<SynthSentFrame> expectedAirspyFrames(const SynthSentList& list, uint32_t fecBits) {
  SynthSentList kept;
  std::set<uint32_t> cached;
  for (const auto& frame : list.frames) {
    const uint32_t df = frame.bytes[0] >> 3;
    const uint32_t address = addressOf(frame.bytes);
    const bool squitter = df == 11 || (df >= 17 && df <= 19);
    if (squitter && frame.flips.empty()) {
      cached.insert(address);
      kept.frames.push_back(frame);
    } else if (cached.count(address) && frame.flips.size() <= fecBits) {
      kept.frames.push_back(frame);
    }
  }
  return expectedFrames(kept);
}

class AirspyEndToEnd : public ::testing::TestWithParam<AirspyRun> {};

TEST_P(AirspyEndToEnd, EveryCleanFrameOnceWithItsTimeAndRepairedFramesRepaired) {
  std::signal(SIGPIPE, SIG_IGN);
  const AirspyRun run = GetParam();
  const SynthScenario scenario = parseSynthScenarioText(scene);
  SynthSession session(scenario, run.type, SynthAirspyCoding::Absolute, synthSampleCount(scenario, run.type));
  std::vector<SynthSentFrame> sent;

  FakeAirspyState state;
  state.rawRates = {run.rate * 1000000u, 5000000};
  FakeAirspyDriver driver(state);
  std::atomic<bool> go{false};
  uint32_t blocks = 0;
  std::vector<uint32_t> packed;
  state.source = [&](std::vector<uint16_t>& block, uint64_t& dropped) {
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    dropped = ++blocks == droppedBlock ? droppedCount : 0;
    if (run.packed) {
      packed.resize(synthPackedWords(blockSamples));
      if (session.renderRawPacked(packed.data(), blockSamples, sent) == 0) return false;
      block.resize(packed.size() * 2);
      std::memcpy(block.data(), packed.data(), packed.size() * 4);
      return true;
    }
    block.resize(blockSamples);
    const size_t n = session.renderRaw(block.data(), blockSamples, sent);
    block.resize(n);
    return n > 0;
  };

  LogCapture log;
  Application app;
  Config& config = *app.config;
  config.useAirspy = true;
  config.airspyPacking = run.packed;
  config.airspyFecBits = run.fecBits;
  config.airspyWorkers = run.workers;
  config.avrMlatPort = freeTcpPort();
  app.createOutputServers();
  app.start(openAirspyDevice(app, driver));
  std::thread io([&] { app.ioService->run(); });

  FeedClient mlat(static_cast<uint16_t>(config.avrMlatPort), 10s);
  ASSERT_TRUE(mlat.connected());
  for (int i = 0; i < 500 && !log.hasPrefix("INFO     Connected"); ++i) std::this_thread::sleep_for(10ms);
  go = true;
  ASSERT_TRUE(state.waitSourceEnded());
  boost::asio::post(*app.ioService, [&] { app.stop(); });
  io.join();
  const std::vector<FeedFrame> frames = parseAvrMlat(mlat.all());
  for (const auto& line : log.lines()) EXPECT_NE(line.rfind("ERROR", 0), 0u) << line;

  SynthSentList list;
  list.frames = sent;
  const std::vector<SynthSentFrame> expected = expectedAirspyFrames(list, run.fecBits);
  size_t repaired = 0;
  for (const auto& f : expected) repaired += !f.flips.empty();
  ASSERT_GT(expected.size(), 40u);
  ASSERT_GT(repaired, 2u);

  // Same frames, same order, repaired, stamped at the end of their window on the receiver's
  // sample clock (which jumps by the dropped samples), within a bin.
  const uint32_t p = run.rate / 2;
  const uint64_t jumpAt = uint64_t{droppedBlock - 1} * blockSamples;
  std::ostringstream mismatch;
  const size_t common = std::min(frames.size(), expected.size());
  for (size_t i = 0; i < common && mismatch.tellp() < 2000; ++i) {
    const auto& want = expected[i];
    ASSERT_NE(want.demod, 0u);
    const int64_t stamp = static_cast<int64_t>(want.demod + (want.demod > jumpAt ? droppedCount : 0));
    const int64_t got = static_cast<int64_t>(frames[i].timestamp);
    if (frames[i].bytes != want.bytes || std::llabs(got - stamp) > static_cast<int64_t>(p + 1)) {
      mismatch << "#" << i << " sent " << hex(want.bytes) << " at " << stamp << " flips " << want.flips.size()
               << ", got " << hex(frames[i].bytes) << " at " << got << "\n";
    }
  }
  EXPECT_EQ(mismatch.str(), "");
  EXPECT_EQ(frames.size(), expected.size());
}

INSTANTIATE_TEST_SUITE_P(Rates, AirspyEndToEnd,
                         ::testing::Values(AirspyRun{"raw10_fec2", SynthIqType::Raw10, 10, false, 2, 1},
                                           AirspyRun{"raw12_fec1_2workers", SynthIqType::Raw12, 12, false, 1, 2},
                                           AirspyRun{"raw20_packed_4workers", SynthIqType::Raw20, 20, true, 2, 4}),
                         [](const ::testing::TestParamInfo<AirspyRun>& info) { return std::string(info.param.name); });

}  // namespace
