// The serial line on a real pseudo-terminal pair: whole sentences that gpsd's parser accepts,
// a slow or stalled line that still gets whole sets of the newest position, a line that is torn
// down and made again, a device that is not there yet, a refused rate, and a stop that does not
// wait for a line that has stopped taking bytes.

#include "app/application.h"
#include "output/nmea_output.h"
#include "output/serial_server.h"

#include "support/log_lines.h"
#include "tests/output/serial_test_support.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <unistd.h>

#include <algorithm>
#include <future>

namespace {

namespace fs = std::filesystem;
using namespace serialtest;
using Clock = std::chrono::steady_clock;

// Texts of the lines logged after `mark` that contain `part`.
std::vector<std::string> logged(uint32_t mark, const std::string& part) {
  std::vector<std::string> found;
  for (const std::string& line : logLinesAfter(mark)) {
    if (line.find(part) != std::string::npos) found.push_back(line.substr(line.find(part)));
  }
  return found;
}

std::string withChecksum(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", sum);
  return "$" + body + "*" + hex;
}

// An application whose I/O service runs on a thread of its own, as the main thread runs it, and
// a pseudo-terminal pair: the emulation's end ("gps") and the device's end ("device").
class SerialLine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("velkaro-serial-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    pair = std::make_unique<PtyPair>((dir / "gps").string(), (dir / "device").string());
    ioThread = std::thread([this] { app.ioService->run(); });
  }
  void TearDown() override {
    if (app.serialServer && !app.serialServer->isStopped()) onIo([this] { app.serialServer->close(); });
    work.reset();
    ioThread.join();
    pair.reset();
    fs::remove_all(dir);
  }

  // Runs `f` on the I/O thread and waits for it.
  void onIo(const std::function<void()>& f) {
    std::promise<void> done;
    boost::asio::post(*app.ioService, [&] {
      f();
      done.set_value();
    });
    done.get_future().wait();
  }

  void openServer(const std::string& device, uint32_t baud, std::chrono::seconds retry = SerialServer::reconnectDelay) {
    app.serialServer = SerialServer::create(app.ioService, device, baud, retry);
    onIo([this] { app.serialServer->open(); });
  }

  // As the pipeline writes: from a thread that is not the I/O thread.
  void fromFrameThread(const std::function<void()>& f) { std::thread(f).join(); }

  // Writes from the frame thread, set `i` at a time, for long enough that a line at `baud` would
  // carry several times what the pseudo-terminals hold (some 70 KB), so that a line nobody reads
  // stalls. The number of sets written.
  int writeUntilStalled(uint32_t baud, const std::function<void(int)>& writeSet) {
    int written = 0;
    fromFrameThread([&] {
      const auto end = Clock::now() + std::chrono::milliseconds(250000ull * 10 * 1000 / baud);
      while (Clock::now() < end) {
        writeSet(written++);
        std::this_thread::sleep_for(1ms);
      }
    });
    return written;
  }

  bool connectedLine(uint32_t mark, const std::string& device, size_t count, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return logged(mark, "SerialPort " + device + " connected").size() >= count; }, timeout);
  }

  Application app;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{app.ioService->get_executor()};
  std::thread ioThread;
  fs::path dir;
  std::unique_ptr<PtyPair> pair;
};

TEST_F(SerialLine, DeviceGetsWholeSentencesThatGpsdAcceptsAndTheLogFileTheSame) {
  ASSERT_TRUE(pair->start());
  FarEnd device(pair->farPath());
  ASSERT_TRUE(device.isOpen());
  const uint32_t mark = lastLogNumber();
  app.nmeaLogFile = std::make_unique<NmeaLogFile>((dir / "nmea.log").string());
  app.nmeaLogFile->open();
  openServer(pair->nearPath(), 4800);
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 1, 2s));
  // What the device says is read and thrown away; the line stays up.
  ASSERT_TRUE(device.send("$PGRMO,,2*75\r\nnoise\r\n"));

  fromFrameThread([this] {
    writeNmeaSentences(app, 51.5, -0.1275, 450, 90, 35000);
    writeNmeaSentences(app, -33.9, 151.2, 12.5, 271.3, 1500);
  });
  ASSERT_TRUE(device.waitForLines(8, 5s)) << device.received();
  const std::string received = device.received();
  const auto lines = splitAt(received, "\r\n");
  EXPECT_EQ(lines.size(), 8u);
  EXPECT_EQ(received.size(), received.rfind("\r\n") + 2) << "a partial sentence";
  EXPECT_EQ(splitAt(readFile(dir / "nmea.log"), "\n"), lines);
  EXPECT_EQ(readFile(dir / "nmea.log").find('\r'), std::string::npos);
  EXPECT_TRUE(app.serialServer->isConnected());

  const Gpsdecoded parsed = runGpsdecode(received, dir);
  EXPECT_EQ(parsed.accepted, lines) << parsed.report;
  EXPECT_EQ(parsed.report.find("bad checksum"), std::string::npos) << parsed.report;
  // Its own reading of the values (speeds in metres a second, altitudes in metres).
  for (const char* values : {"lat=51.50 lon=-0.13 speed=231.50 track=90.00", "altMSL=10668.00",
                             "lat=-33.90 lon=151.20 speed=6.43 track=271.30", "altMSL=457.20",
                             "course(T)=90.00", "course(T)=271.30"}) {
    EXPECT_NE(parsed.report.find(values), std::string::npos) << values << "\n" << parsed.report;
  }
  EXPECT_TRUE(logged(mark, "ERROR").empty());
}

TEST_F(SerialLine, WritesFromAnotherThreadNeverInterleaveAndAFullQueueDropsWholeSentences) {
  ASSERT_TRUE(pair->start());
  FarEnd device(pair->farPath());
  const uint32_t mark = lastLogNumber();
  openServer(pair->nearPath(), 115200);
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 1, 2s));
  constexpr int sent = 3000;
  fromFrameThread([this] {
    for (int i = 0; i < sent; ++i) {
      app.serialServer->write(withChecksum("GPTXT,01,01,02,sentence " + std::to_string(i)) + "\r\n");
    }
  });
  // Sets still waiting can give way to newer ones on the I/O thread after the last write, so the
  // count of dropped ones settles only when every sentence is accounted for.
  ASSERT_TRUE(waitUntil([&] { return device.lineCount() + app.serialServer->droppedWrites() >= sent; }, 10s))
      << device.lineCount() << " on the line, " << app.serialServer->droppedWrites() << " dropped, of " << sent;
  const uint64_t dropped = app.serialServer->droppedWrites();
  // In order, each one whole: every sentence is either on the line or counted as dropped.
  int last = -1;
  for (const std::string& line : splitAt(device.received(), "\r\n")) {
    ASSERT_TRUE(checksumRight(line)) << line;
    const int n = std::stoi(line.substr(line.rfind(' ') + 1));
    EXPECT_GT(n, last) << line;
    last = n;
  }
  EXPECT_EQ(device.lineCount() + dropped, static_cast<uint64_t>(sent));
  EXPECT_LE(app.serialServer->queueLimit(), SerialServer::maximumQueue);
  if (dropped > 0) {
    EXPECT_FALSE(logged(mark, "cannot keep up").empty());
  }
}

// Milliseconds of the UTC day of an NMEA time ("hhmmss.sss").
int64_t millisecondOfDay(const std::string& time) {
  return std::stoll(time.substr(0, 2)) * 3600000 + std::stoll(time.substr(2, 2)) * 60000 +
         static_cast<int64_t>(std::stod(time.substr(4)) * 1000 + 0.5);
}

int64_t millisecondOfDay(std::chrono::system_clock::time_point when) {
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  return sinceEpoch % 86400000;
}

// Every set whole: RMC, VTG, GGA and GLL in that order, each with its checksum right, GGA and GLL
// at the RMC's time (all four come from one update), and no set cut short at the end.
::testing::AssertionResult wholeSets(const std::vector<std::string>& lines) {
  const char* kinds[] = {"$GPRMC,", "$GPVTG,", "$GPGGA,", "$GPGLL,"};
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(kinds[i % 4], 0) != 0 || !checksumRight(lines[i])) {
      return ::testing::AssertionFailure() << "set cut at line " << i << ": " << lines[i];
    }
    if (i % 4 != 0) continue;
    const std::string time = "," + splitAt(lines[i], ",")[1] + ",";
    for (size_t k : {2, 3}) {
      if (i + k < lines.size() && lines[i + k].find(time) == std::string::npos) {
        return ::testing::AssertionFailure() << "not at the time of " << lines[i] << ": " << lines[i + k];
      }
    }
  }
  if (lines.size() % 4 != 0) return ::testing::AssertionFailure() << "the last set cut: " << lines.back();
  return ::testing::AssertionSuccess();
}

// Of the sets in `lines`, checked whole: the RMC latitude of each, in the order read.
std::vector<double> latitudes(const std::vector<std::string>& lines) {
  std::vector<double> found;
  for (size_t i = 0; i < lines.size(); i += 4) {
    const std::string field = splitAt(lines[i], ",")[3];
    found.push_back(std::stod(field.substr(0, 2)) + std::stod(field.substr(2)) / 60.0);
  }
  return found;
}

TEST_F(SerialLine, SlowLineCarriesWholeSetsOfTheNewestPosition) {
  ASSERT_TRUE(pair->start());
  FarEnd device(pair->farPath(), 480);  // what 4800 baud carries
  const uint32_t mark = lastLogNumber();
  app.nmeaLogFile = std::make_unique<NmeaLogFile>((dir / "nmea.log").string());
  app.nmeaLogFile->open();
  openServer(pair->nearPath(), 4800);
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 1, 2s));

  // Ten sets a second, five times what the line carries, each a little further north.
  constexpr int written = 30;
  fromFrameThread([this] {
    for (int i = 0; i < written; ++i) {
      writeNmeaSentences(app, 51.0 + i * 0.01, 4.0, 240, 90, 8000);
      std::this_thread::sleep_for(100ms);
    }
  });
  device.waitUntilQuiet(800ms, 4s);  // longer than a set takes on the line

  const auto lines = splitAt(device.received(), "\r\n");
  const auto arrivals = device.lineArrivals();
  ASSERT_EQ(lines.size(), arrivals.size());
  ASSERT_TRUE(wholeSets(lines));
  const auto read = latitudes(lines);
  EXPECT_TRUE(std::is_sorted(read.begin(), read.end())) << "out of order";
  EXPECT_EQ(std::adjacent_find(read.begin(), read.end()), read.end()) << "a set twice";
  int64_t largestAge = 0;
  for (size_t i = 0; i < lines.size(); i += 4) {
    int64_t age = millisecondOfDay(arrivals[i]) - millisecondOfDay(splitAt(lines[i], ",")[1]);
    if (age < -43200000) age += 86400000;  // across midnight
    largestAge = std::max(largestAge, age);
  }
  const size_t sets = lines.size() / 4;
  std::printf("slow line: %zu sets read of %d written, %zu lines, the oldest position %lld ms old\n", sets, written,
              lines.size(), static_cast<long long>(largestAge));
  EXPECT_LT(largestAge, 1000);
  EXPECT_GE(sets, 4u) << "the line was left idle";
  EXPECT_NEAR(read.back(), 51.0 + (written - 1) * 0.01, 0.001) << "the newest position never came";
  // The log file has every set, whatever the line took.
  EXPECT_EQ(splitAt(readFile(dir / "nmea.log"), "\n").size(), 4u * written);
  EXPECT_TRUE(logged(mark, "ERROR").empty());
}

TEST_F(SerialLine, LineThatStallsAndComesBackDeliversWholeSetsEndingWithTheNewest) {
  ASSERT_TRUE(pair->start());  // the device's end is not read until the line is full
  const uint32_t mark = lastLogNumber();
  openServer(pair->nearPath(), 921600);
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 1, 2s));
  const auto latitude = [](int i) { return 10.0 + i * 0.001; };
  const int written =
      writeUntilStalled(921600, [&](int i) { writeNmeaSentences(app, latitude(i), 4.0, 240, 90, 8000); });
  ASSERT_GT(app.serialServer->droppedWrites(), 0u);

  FarEnd device(pair->farPath());
  device.waitUntilQuiet(500ms, 10s);
  const auto lines = splitAt(device.received(), "\r\n");
  ASSERT_TRUE(wholeSets(lines));
  const auto read = latitudes(lines);
  EXPECT_TRUE(std::is_sorted(read.begin(), read.end())) << "out of order";
  EXPECT_NEAR(read.back(), latitude(written - 1), 0.0005) << "the newest position never came";
  EXPECT_EQ(app.serialServer->droppedWrites() + read.size(), static_cast<uint64_t>(written));
}

TEST_F(SerialLine, LineTornDownAndMadeAgainIsReopenedWithinTenSeconds) {
  ASSERT_TRUE(pair->start());
  auto device = std::make_unique<FarEnd>(pair->farPath());
  const uint32_t mark = lastLogNumber();
  openServer(pair->nearPath(), 4800);
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 1, 2s));
  app.serialServer->write(withChecksum("GPTXT,before") + "\r\n");
  ASSERT_TRUE(device->waitForLines(1, 2s));

  // The adapter is pulled out: the line hangs up.
  device.reset();
  pair->stop();
  const auto down = Clock::now();
  // The line reads as down before the reconnect line is logged: wait for both.
  ASSERT_TRUE(waitUntil([&] {
    return !app.serialServer->isConnected() && !logged(mark, "SerialServer reconnect in 10 seconds").empty();
  }, 2s));
  EXPECT_EQ(logged(mark, "SerialServer read error ").size() + logged(mark, "SerialPort write error ").size(), 1u);
  EXPECT_EQ(logged(mark, "SerialServer reconnect in 10 seconds").size(), 1u);

  // ... and plugged in again. Nothing written meanwhile is kept for later.
  ASSERT_TRUE(pair->start());
  device = std::make_unique<FarEnd>(pair->farPath());
  app.serialServer->write(withChecksum("GPTXT,while down") + "\r\n");
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 2, 12s));
  const auto back = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - down);
  EXPECT_GE(back.count(), 9000);
  EXPECT_LE(back.count(), 11500);
  app.serialServer->write(withChecksum("GPTXT,after") + "\r\n");
  ASSERT_TRUE(device->waitForLines(1, 2s));
  EXPECT_EQ(device->received(), withChecksum("GPTXT,after") + "\r\n");
}

TEST_F(SerialLine, MissingDeviceIsRetriedUntilItAppearsAndAStopEndsTheRetries) {
  const uint32_t mark = lastLogNumber();
  openServer(pair->nearPath(), 4800, std::chrono::seconds(1));
  // The reconnect line follows its error on the I/O thread: wait for both.
  ASSERT_TRUE(waitUntil([&] {
    return logged(mark, "SerialPort open error ").size() >= 2 &&
           logged(mark, "SerialServer reconnect in 1 seconds").size() >= 2;
  }, 3s));
  EXPECT_EQ(logged(mark, "SerialPort open error ")[0], "SerialPort open error No such file or directory");
  app.serialServer->write("$GPTXT,dropped*00\r\n");  // not connected: gone, not queued

  ASSERT_TRUE(pair->start());
  FarEnd device(pair->farPath());
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 1, 3s));
  app.serialServer->write(withChecksum("GPTXT,sent") + "\r\n");
  ASSERT_TRUE(device.waitForLines(1, 2s));
  EXPECT_EQ(device.received(), withChecksum("GPTXT,sent") + "\r\n");

  // Torn down again, then stopped while the retry is pending: nothing more is logged.
  const uint32_t beforeTearDown = lastLogNumber();
  pair->stop();
  ASSERT_TRUE(waitUntil([&] { return !logged(beforeTearDown, "SerialServer reconnect in").empty(); }, 3s));
  onIo([this] { app.serialServer->close(); });
  EXPECT_TRUE(app.serialServer->isStopped());
  const uint32_t stopped = lastLogNumber();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(logLinesAfter(stopped), std::vector<std::string>());
}

TEST_F(SerialLine, RateTheDriverRefusesIsReportedAndRetriedLikeAFailedOpen) {
  ASSERT_TRUE(pair->start());
  const uint32_t mark = lastLogNumber();
  openServer(pair->nearPath(), 12345, std::chrono::seconds(1));
  ASSERT_TRUE(waitUntil([&] {
    return logged(mark, "SerialPort configuration error ").size() >= 2 &&
           logged(mark, "SerialServer reconnect in 1 seconds").size() >= 2;
  }, 3s));
  EXPECT_EQ(logged(mark, "SerialPort configuration error ")[0], "SerialPort configuration error Invalid argument");
  EXPECT_TRUE(logged(mark, "SerialPort open error ").empty()) << "the port was closed before the retry";
  EXPECT_FALSE(app.serialServer->isConnected());
}

TEST_F(SerialLine, StopIsPromptWhileTheLineTakesNothing) {
  ASSERT_TRUE(pair->start());  // nobody opens the device's end, so the line fills up and stalls
  const uint32_t mark = lastLogNumber();
  openServer(pair->nearPath(), 921600);
  ASSERT_TRUE(connectedLine(mark, pair->nearPath(), 1, 2s));
  const std::string sentence = withChecksum("GPTXT,01,01,02,filling the line up") + "\r\n";
  writeUntilStalled(921600, [&](int) {
    for (int i = 0; i < 10; ++i) app.serialServer->write(sentence);
  });
  ASSERT_GT(app.serialServer->droppedWrites(), 0u);
  EXPECT_EQ(logged(mark, "cannot keep up").size(), 1u) << "once a connection, however long it lasts";

  const auto start = Clock::now();
  onIo([this] { app.serialServer->close(); });
  work.reset();
  ioThread.join();  // no work is left behind: the stuck write was cancelled
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(logged(mark, "ERROR"), std::vector<std::string>());
  ioThread = std::thread([] {});
}

}  // namespace
