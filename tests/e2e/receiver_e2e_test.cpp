// Samples in, frames out: the synthesiser records a scene in each I/Q file type, the program
// decodes it from a FIFO with the AVR-MLAT and MSG feeds on, and clients on 127.0.0.1 compare
// what comes out with what was sent.

#include "decode/feed_encoding.h"
#include "sdr/crc.h"
#include "tools/synth/sent_list.h"

#include "e2e/feed_frames.h"
#include "e2e/process_harness.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;

// Clean signals 20 dB above the noise, pulses on sample boundaries, no two transmissions in
// the same air time; some extended squitters carry one or two inverted bits.
const std::string scene = std::string(R"(duration 3
seed 7
noise -32
timing aligned
collisions avoid
errors 0.15 0.15 df17
)") + threeAircraft;

const std::map<uint32_t, std::string> callsigns = {
    {0x4840D6, "KLM1023"}, {0x3C6586, "DLH4AB"}, {0x400A1E, "BAW12"}};

int msgType(const std::vector<uint8_t>& bytes) {
  const uint32_t df = bytes[0] >> 3;
  if (df == 4 || df == 20) return 5;
  if (df == 5 || df == 21) return 6;
  if (df == 11) return 8;
  const uint32_t tc = bytes[4] >> 3;
  if (tc >= 1 && tc <= 4) return 1;
  if (tc >= 5 && tc <= 8) return 2;
  if (tc == 19) return 4;
  return 3;
}

class ReceiverEndToEnd : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    dir = fs::temp_directory_path() / ("velkaro-e2e-" + std::to_string(getpid()) + "-" + GetParam());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_P(ReceiverEndToEnd, EveryCleanFrameComesOutOnceWithItsTimestamp) {
  const std::string type = GetParam();
  const std::string scenario = (dir / "scene.txt").string();
  std::ofstream(scenario) << scene;
  const std::string recording = (dir / ("scene." + type)).string();
  const std::string listPath = recording + ".list";
  ASSERT_TRUE(fs::exists(synthBinary())) << synthBinary();
  const ProgramResult synth = [&] {
    ProgramResult r;
    const std::string command = shellQuote(synthBinary()) + " " + shellQuote(scenario) + " --out " +
                                shellQuote(recording) + " --type " + type + " --list " + shellQuote(listPath) +
                                " >/dev/null 2>&1";
    r.status = std::system(command.c_str());
    return r;
  }();
  ASSERT_EQ(synth.status, 0);
  SynthSentList sent;
  std::string error;
  ASSERT_TRUE(loadSynthSentList(listPath, sent, &error)) << error;
  ASSERT_EQ(sent.type, type);
  const uint32_t factor = sent.factor;

  const std::vector<SynthSentFrame> expected = expectedFrames(sent);
  size_t oneFlip = 0, twoFlips = 0;
  for (const auto& f : expected) {
    oneFlip += f.flips.size() == 1;
    twoFlips += f.flips.size() == 2;
  }
  ASSERT_GT(expected.size(), 40u);
  ASSERT_GT(oneFlip, 0u);
  ASSERT_GT(twoFlips, 0u);

  // Through a FIFO, so that the clients are connected before the first sample is read.
  const std::string fifo = (dir / "input.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const uint16_t mlatPort = freeTcpPort(), msgPort = freeTcpPort();
  ChildProcess velkaro({VELKARO_BINARY, "--input-file", type + ":" + fifo, "--avrmlat", std::to_string(mlatPort),
                        "--msg", std::to_string(msgPort)});
  const int input = openFifoForWriting(fifo, velkaro, 20s);
  ASSERT_GE(input, 0) << velkaro.text();
  FeedClient mlat(mlatPort, 10s), msg(msgPort, 10s);
  ASSERT_TRUE(mlat.connected() && msg.connected());
  ASSERT_TRUE(velkaro.waitForOutput("Connected", 2, 10s)) << velkaro.text();
  EXPECT_TRUE(writeFileTo(input, recording));
  close(input);  // the end of the input ends the run

  const std::vector<FeedFrame> frames = parseAvrMlat(mlat.all());
  const std::string msgText = msg.all();
  EXPECT_EQ(velkaro.wait(60s), 0);
  const auto log = logTexts(velkaro.text());
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "INFO     Closed successfully");
  for (const auto& line : log) EXPECT_NE(line.rfind("ERROR", 0), 0u) << line;

  // Same frames, same order, repaired; stamped at the newest sample of the 120 us window that
  // starts with the preamble, give or take a sample or two.
  const int64_t slack = (2 * 6 + factor - 1) / factor + 1;
  std::ostringstream mismatch;
  const size_t common = std::min(frames.size(), expected.size());
  for (size_t i = 0; i < common && mismatch.tellp() < 2000; ++i) {
    const auto& want = expected[i];
    const int64_t stamp = static_cast<int64_t>((want.sample + 240 * factor - 1) * 6 / factor);
    const int64_t got = static_cast<int64_t>(frames[i].timestamp);
    if (frames[i].bytes != want.bytes || std::llabs(got - stamp) > slack) {
      mismatch << "#" << i << " sent " << hex(want.bytes) << " at " << stamp << " flips " << want.flips.size()
               << ", got " << hex(frames[i].bytes) << " at " << got << "\n";
    }
  }
  EXPECT_EQ(mismatch.str(), "");
  EXPECT_EQ(frames.size(), expected.size());

  // One MSG line per decoded frame, for the right aircraft, with its callsign in type 1.
  const auto lines = splitLines(msgText, "\r\n");
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    std::vector<std::string> columns;
    std::istringstream in(lines[i]);
    for (std::string column; std::getline(in, column, ',');) columns.push_back(column);
    ASSERT_GE(columns.size(), 11u) << lines[i];
    const uint32_t address = addressOf(expected[i].bytes);
    char icao[8];
    std::snprintf(icao, sizeof icao, "%06X", address);
    EXPECT_EQ(columns[0], "MSG");
    EXPECT_EQ(columns[1], std::to_string(msgType(expected[i].bytes))) << lines[i];
    EXPECT_EQ(columns[4], icao) << lines[i];
    if (columns[1] == "1") {
      EXPECT_EQ(columns[10], callsigns.at(address)) << lines[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FileTypes, ReceiverEndToEnd, ::testing::Values("rtl", "airspy10", "airspy6"));

}  // namespace
