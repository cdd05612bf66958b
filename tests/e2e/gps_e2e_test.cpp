// The GPS emulation from samples to the serial line: the program decodes a synthesised
// recording with "--nmea" on one end of a pseudo-terminal pair and "--nmea-logfile"; the device
// at the other end gets sentences of the followed aircraft that gpsd's parser accepts, the log
// file holds them all, and the web interface reports the aircraft as the receiver's position.

#include "e2e/feed_frames.h"
#include "e2e/process_harness.h"
#include "json-server/http_test_client.h"
#include "support/run_program.h"
#include "tests/output/serial_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using serialtest::checksumRight;
using serialtest::splitAt;

// The followed aircraft flies east at 240 kt and 8,000 ft from 52.3 N 4.8 E; the others never
// appear in the sentences.
const std::string scene = std::string(R"(duration 4
seed 11
noise -32
timing aligned
collisions avoid
)") + threeAircraft;

// Degrees from "ddmm.mmmm" (or "dddmm.mmmm") and its hemisphere letter.
double degrees(const std::string& text, const std::string& hemisphere) {
  const size_t dot = text.find('.');
  const double value = std::stod(text.substr(0, dot - 2)) + std::stod(text.substr(dot - 2)) / 60.0;
  return hemisphere == "S" || hemisphere == "W" ? -value : value;
}

// The number after "\"NAME\":" in a JSON text, quoted or not; NaN when missing.
double jsonNumber(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\":");
  if (at == std::string::npos) return std::nan("");
  at += name.size() + 3;
  if (json[at] == '"') ++at;
  return std::stod(json.substr(at));
}

class GpsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    dir = fs::temp_directory_path() / ("velkaro-gps-e2e-" + std::to_string(getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(GpsEndToEnd, FollowedAircraftReachesTheDeviceTheLogFileAndTheReceiverPosition) {
  const std::string scenario = (dir / "scene.txt").string(), recording = (dir / "scene.rtl").string();
  std::ofstream(scenario) << scene;
  ASSERT_TRUE(fs::exists(synthBinary())) << synthBinary();
  const std::string synth = shellQuote(synthBinary()) + " " + shellQuote(scenario) + " --out " +
                            shellQuote(recording) + " --type rtl >/dev/null 2>&1";
  ASSERT_EQ(std::system(synth.c_str()), 0);

  serialtest::PtyPair line((dir / "gps").string(), (dir / "device").string());
  ASSERT_TRUE(line.start());
  serialtest::FarEnd device(line.farPath());
  ASSERT_TRUE(device.isOpen());

  const std::string fifo = (dir / "input.fifo").string(), logFile = (dir / "nmea.log").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const uint16_t webPort = freeTcpPort();
  ChildProcess velkaro({VELKARO_BINARY, "--input-file", "rtl:" + fifo, "--nmea", "4840D6:" + line.nearPath() + ":4800",
                        "--nmea-logfile", logFile, "--web", std::to_string(webPort)});
  const int input = openFifoForWriting(fifo, velkaro, 20s);
  ASSERT_GE(input, 0) << velkaro.text();
  ASSERT_TRUE(velkaro.waitForOutput("SerialPort " + line.nearPath() + " connected", 1, 5s)) << velkaro.text();
  EXPECT_TRUE(writeFileTo(input, recording));

  // Once decoding has settled, the receiver is where the last sentences put the aircraft.
  size_t lines = 0;
  for (int quiet = 0, polls = 0; quiet < 5 && polls < 200; ++polls) {
    std::this_thread::sleep_for(100ms);
    const size_t now = splitAt(serialtest::readFile(logFile), "\n").size();
    quiet = now == lines && now > 0 ? quiet + 1 : 0;
    lines = now;
  }
  const http_test::Reply stats =
      http_test::roundTrip(webPort, http_test::post("/json", R"({"req":"getStats","data":{"statsType":"counters"}})"));
  ASSERT_TRUE(stats.complete) << velkaro.text();
  close(input);  // the end of the input ends the run
  EXPECT_EQ(velkaro.wait(30s), 0);
  const auto log = logTexts(velkaro.text());
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "INFO     Closed successfully");
  for (const auto& text : log) EXPECT_NE(text.rfind("ERROR", 0), 0u) << text;

  // The log file: sets of the four sentences of the followed aircraft, nothing else.
  const auto sentences = splitAt(serialtest::readFile(logFile), "\n");
  ASSERT_GE(sentences.size(), 4u * 10);
  ASSERT_EQ(sentences.size() % 4, 0u);
  const char* kinds[] = {"$GPRMC,", "$GPVTG,", "$GPGGA,", "$GPGLL,"};
  for (size_t i = 0; i < sentences.size(); ++i) {
    const std::string& s = sentences[i];
    ASSERT_EQ(s.rfind(kinds[i % 4], 0), 0u) << i << ": " << s;
    EXPECT_TRUE(checksumRight(s)) << s;
    const auto f = splitAt(s + ",", ",");
    if (i % 4 == 0) {
      ASSERT_EQ(f.size(), 13u) << s;
      EXPECT_NEAR(degrees(f[3], f[4]), 52.3, 0.01) << s;
      EXPECT_NEAR(degrees(f[5], f[6]), 4.8, 0.02) << s;
      EXPECT_NEAR(std::stod(f[7]), 240, 2) << s;
      EXPECT_NEAR(std::stod(f[8]), 90, 1) << s;
    } else if (i % 4 == 2) {
      ASSERT_EQ(f.size(), 15u) << s;
      EXPECT_NEAR(std::stod(f[9]), 8000 * 0.3048, 10) << s;
    }
  }

  // The receiver position is the aircraft's last.
  const auto last = splitAt(sentences[sentences.size() - 4] + ",", ",");
  EXPECT_NEAR(jsonNumber(stats.body, "RECEIVER_LAT"), degrees(last[3], last[4]), 0.0001) << stats.body;
  EXPECT_NEAR(jsonNumber(stats.body, "RECEIVER_LON"), degrees(last[5], last[6]), 0.0001) << stats.body;

  // The device: whole sentences, in the order of the log file (a line too slow for them all drops
  // some), that gpsd's parser accepts.
  ASSERT_TRUE(serialtest::waitUntil([&] { return device.lineCount() >= 4; }, 2s));
  const std::string received = device.received();
  const auto onLine = splitAt(received, "\r\n");
  EXPECT_EQ(received.size(), received.rfind("\r\n") + 2) << "a partial sentence";
  size_t at = 0;
  for (const std::string& s : onLine) {
    while (at < sentences.size() && sentences[at] != s) ++at;
    ASSERT_LT(at, sentences.size()) << "not in the log file, or out of order: " << s;
  }
  const serialtest::Gpsdecoded parsed = serialtest::runGpsdecode(received, dir);
  EXPECT_EQ(parsed.accepted, onLine) << parsed.report;
  EXPECT_EQ(parsed.report.find("bad checksum"), std::string::npos) << parsed.report;
  EXPECT_NE(parsed.report.find("lat=52.30"), std::string::npos) << parsed.report;
}

}  // namespace
