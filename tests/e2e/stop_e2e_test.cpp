// A stop must be prompt whatever the input and the clients are doing: a FIFO whose writer has
// stalled or never came, and feed clients that have stopped reading.

#include "e2e/process_harness.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

namespace fs = std::filesystem;

class StopEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() / ("velkaro-stop-" + std::to_string(getpid()) + "-" + test->name());
    fs::create_directories(dir);
    fifo = (dir / "input.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  // Signals the program and expects the orderly end within a second.
  void expectPromptStop(ChildProcess& velkaro, int signalNumber) {
    const auto signalled = std::chrono::steady_clock::now();
    velkaro.signal(signalNumber);
    const int status = velkaro.wait(5s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
    EXPECT_EQ(status, 0) << velkaro.text();
    EXPECT_LT(took.count(), 1000) << "ms from the signal to the end";
    const auto log = logTexts(velkaro.text());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "INFO     Closed successfully");
  }

  fs::path dir;
  std::string fifo;
};

TEST_F(StopEndToEnd, FifoThatNoWriterEverOpened) {
  for (const int signalNumber : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signalNumber);
    const uint16_t port = freeTcpPort();
    ChildProcess velkaro({VELKARO_BINARY, "--input-file", "rtl:" + fifo, "--beast", std::to_string(port)});
    // Listening means the start step is through and the reader is waiting for its writer.
    FeedClient client(port, 10s);
    ASSERT_TRUE(client.connected()) << velkaro.text();
    ASSERT_TRUE(velkaro.waitForOutput("Connected", 1, 5s));
    expectPromptStop(velkaro, signalNumber);
  }
}

TEST_F(StopEndToEnd, FifoWhoseWriterStalls) {
  // Noise: a whole block and a part of the next, which then never fills up.
  constexpr size_t readerBlock = 131072;
  std::string samples(readerBlock * 3 / 2, '\0');
  std::mt19937 random(5);
  for (char& c : samples) c = static_cast<char>(126 + random() % 4);
  const std::string recording = (dir / "noise.iq").string();
  std::ofstream(recording, std::ios::binary) << samples;

  for (const int signalNumber : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signalNumber);
    ChildProcess velkaro({VELKARO_BINARY, "--input-file", "rtl:" + fifo});
    const int input = openFifoForWriting(fifo, velkaro, 20s);
    ASSERT_GE(input, 0) << velkaro.text();
    ASSERT_TRUE(writeFileTo(input, recording));
    std::this_thread::sleep_for(200ms);  // the writer keeps the FIFO open and sends nothing more
    expectPromptStop(velkaro, signalNumber);
    close(input);
  }
}

// Dense traffic decoded as fast as it comes, to clients that never read: when the stop comes
// their sessions hold more feed data than the kernel takes for them.
TEST_F(StopEndToEnd, FeedClientsThatStoppedReading) {
  const std::string scenario = (dir / "dense.txt").string();
  {
    // About 4,000 frames a second for 30 s: MBs of feed data, decoded in a fraction of a second.
    std::ofstream out(scenario);
    out << "duration 30\nseed 3\ntiming aligned\ncollisions avoid\n";
    for (int i = 0; i < 60; ++i) {
      char icao[8];
      std::snprintf(icao, sizeof icao, "%06X", 0x400000 + i * 17);
      out << "aircraft " << icao << " callsign=T" << i << " lat=" << 50 + i * 0.01 << " lon=4 track=90 gs=300 "
          << "alt=" << 10000 + i * 100 << " level=20 replies=60\n";
    }
  }
  const uint16_t mlat = freeTcpPort(), beast = freeTcpPort();
  ChildProcess velkaro({VELKARO_BINARY, "--input-file", "rtl:" + fifo, "--avrmlat", std::to_string(mlat),
                        "--beast", std::to_string(beast)});
  // Held open by the test, so the input stalls instead of ending when the synthesiser is done.
  const int input = openFifoForWriting(fifo, velkaro, 20s);
  ASSERT_GE(input, 0) << velkaro.text();
  std::vector<std::unique_ptr<StalledClient>> stalled;
  for (int i = 0; i < 6; ++i) stalled.push_back(std::make_unique<StalledClient>(i % 2 ? beast : mlat));
  for (const auto& client : stalled) ASSERT_TRUE(client->connected());
  ASSERT_TRUE(velkaro.waitForOutput("Connected", stalled.size(), 10s)) << velkaro.text();
  // Straight into the FIFO: no 60 MB file on disk.
  const std::string synth = shellQuote(synthBinary()) + " " + shellQuote(scenario) + " --out " + shellQuote(fifo) +
                            " --type rtl --list " + shellQuote((dir / "dense.list").string()) + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(synth.c_str()), 0);
  std::this_thread::sleep_for(500ms);  // decoded by now
  expectPromptStop(velkaro, SIGTERM);
  close(input);
}

}  // namespace
