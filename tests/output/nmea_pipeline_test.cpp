// The GPS emulation inside the application: sentences to the log, the log file and the output
// byte count, and the pipeline's hook that follows the aircraft and moves the receiver with it.

#include "app/application.h"
#include "app/host_clock.h"
#include "decode/frame_sink.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "output/nmea_output.h"
#include "output/serial_server.h"

#include "support/log_lines.h"
#include "tests/decode/squitter_frames.h"
#include "tests/output/serial_test_support.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <unistd.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using serialtest::readFile;
using serialtest::splitAt;

constexpr uint32_t followed = 0x4CA2D1;  // an Irish address, which the country check lets through

class NmeaPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("velkaro-nmea-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    logPath = dir / "nmea.log";
    setHostSecondsForTest(1500000000);
  }
  void TearDown() override {
    setHostSecondsForTest(0);
    fs::remove_all(dir);
  }

  // The emulation as program entry makes it; the port is never opened, so the line drops all.
  void configureGps() {
    app.nmeaTarget->setIcao(followed);
    app.serialServer = SerialServer::create(app.ioService, (dir / "no-such-port").string(), 4800);
    app.nmeaLogFile = std::make_unique<NmeaLogFile>(logPath.string());
    app.nmeaLogFile->open();
    app.statistics = std::make_unique<Statistics>(*app.config, app.receiverPosition.get(), nullptr, 0);
  }

  void feed(const ModesData& frame) { app.frameSink->onFrame(frame.bytes, frame.length, 0, 200); }

  // Six squitters a second apart: two velocities (a new address's first two frames only confirm
  // it), even, odd and even positions northbound (the last one at `lat`, `lon`; a first fix is
  // only reported once a second one confirms it), and a velocity again.
  void fly(uint32_t address, double lat, double lon) {
    const auto velocity = frame_builder::velocityFrame(address, 300, 0, 0, 0);  // 300 kt due east
    const ModesData frames[] = {velocity,
                                velocity,
                                frame_builder::positionFrame(address, lat - 0.002, lon, 35000, false, 0),
                                frame_builder::positionFrame(address, lat - 0.001, lon, 35000, true, 0),
                                frame_builder::positionFrame(address, lat, lon, 35000, false, 0),
                                velocity};
    for (const ModesData& frame : frames) {
      setHostSecondsForTest(hostSeconds() + 1);
      feed(frame);
    }
  }

  uint64_t outputBytes() {
    uint64_t total = 0;
    app.statistics->counter(OUTPUT_BYTES, total);
    return total;
  }

  Application app;
  fs::path dir, logPath;
};

TEST_F(NmeaPipeline, EachSentenceGoesToTheLogTheFileAndTheByteCount) {
  configureGps();
  const uint32_t mark = lastLogNumber();
  writeNmeaSentences(app, boost::posix_time::time_from_string("2017-03-07 12:34:56.789"), 51.5, -0.1275, 450, 90,
                     35000);
  const std::string expected =
      "$GPRMC,123456.789,A,5130.0000,N,00007.6500,W,450,90,070317,,,A*44\n"
      "$GPVTG,90,T,,M,450,N,833.4,K,A*39\n"
      "$GPGGA,123456.789,5130.0000,N,00007.6500,W,1,04,1,10668.00,M,0,M,,*40\n"
      "$GPGLL,5130.0000,N,00007.6500,W,123456.789,A,A*49\n";
  EXPECT_EQ(readFile(logPath), expected);
  // Counted with their line ends, although the closed port dropped them.
  EXPECT_EQ(outputBytes(), expected.size() + 4);
  const auto sentences = splitAt(expected, "\n");
  std::vector<std::string> logged;
  for (const std::string& line : logLinesAfter(mark)) {
    if (line.find("DEBUG") != std::string::npos && line.find("$GP") != std::string::npos) {
      logged.push_back(line.substr(line.find("$GP")));
    }
  }
  EXPECT_EQ(logged, sentences);

  // A stop closes the file; later sentences no longer reach it.
  app.nmeaLogFile->close();
  writeNmeaSentences(app, 1, 2, 3, 4, 5);
  EXPECT_EQ(readFile(logPath), expected);
}

TEST_F(NmeaPipeline, LogFileIsTruncatedAtOpenAndAnUnwritableOneIsReported) {
  std::ofstream(logPath) << "from an earlier run\n";
  NmeaLogFile file(logPath.string());
  file.open();
  ASSERT_TRUE(file.isOpen());
  writeNmeaLogLine(file, "$GPGLL");
  file.close();
  EXPECT_EQ(readFile(logPath), "$GPGLL\n");

  const uint32_t mark = lastLogNumber();
  NmeaLogFile directory(dir.string());
  directory.open();
  EXPECT_FALSE(directory.isOpen());
  const auto lines = logLinesAfter(mark);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("ERROR    Can't open file " + dir.string()), std::string::npos) << lines[0];
  writeNmeaLogLine(directory, "$GPGLL");  // a no-op, not a crash
}

TEST_F(NmeaPipeline, FollowedAircraftBecomesTheReceiverPosition) {
  configureGps();
  fly(0x4CA2D2, 40.0, -3.0);  // another aircraft: nothing
  EXPECT_FALSE(app.receiverPosition->isFixed());
  EXPECT_EQ(readFile(logPath), "");

  fly(followed, 53.4, -6.25);
  double lat = 0, lon = 0;
  ASSERT_TRUE(app.receiverPosition->isFixed());
  ASSERT_TRUE(app.receiverPosition->get(lat, lon));
  EXPECT_NEAR(lat, 53.4, 0.001);
  EXPECT_NEAR(lon, -6.25, 0.001);

  // The velocity squitter completed the values: one set, with the aircraft's values in it.
  const std::string text = readFile(logPath);
  const auto sentences = splitAt(text, "\n");
  ASSERT_EQ(sentences.size(), 4u) << text;
  EXPECT_EQ(sentences[0].rfind("$GPRMC,", 0), 0u);
  // The sentences carry the very position the receiver took.
  const auto rmc = splitAt(sentences[0] + ",", ",");
  ASSERT_EQ(rmc.size(), 13u) << sentences[0];
  EXPECT_EQ(rmc[3] + "," + rmc[4] + "," + rmc[5] + "," + rmc[6],
            formatNmeaCoordinate(2, lat) + ",N," + formatNmeaCoordinate(3, -lon) + ",W");
  EXPECT_EQ(rmc[7] + "," + rmc[8], "300,90");
  EXPECT_NE(sentences[2].find(",10668.00,M,"), std::string::npos) << sentences[2];
  EXPECT_EQ(outputBytes(), text.size() + 4);  // the feeds are off: only the sentences count

  // Each later message of the aircraft gives a set; the receiver follows it.
  fly(followed, 53.41, -6.25);
  EXPECT_EQ(splitAt(readFile(logPath), "\n").size(), 4u * (1 + 6));
  ASSERT_TRUE(app.receiverPosition->get(lat, lon));
  EXPECT_NEAR(lat, 53.41, 0.001);
  EXPECT_NEAR(lon, -6.25, 0.001);
}

TEST_F(NmeaPipeline, WithoutTheEmulationTheAircraftMovesNothing) {
  app.nmeaTarget->setIcao(followed);  // the address alone does not switch the emulation on
  fly(followed, 53.4, -6.25);
  EXPECT_FALSE(app.receiverPosition->isFixed());
}

}  // namespace
