#include "app/application.h"
#include "app/unix_time.h"
#include "sdr/sdr_decoder.h"
#include "sdr/sdr_device.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class EventLog {
 public:
  void add(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }

 private:
  std::mutex mutex;
  std::vector<std::string> events;
};

class RecordingDecoder : public SdrDecoder {
 public:
  explicit RecordingDecoder(EventLog& log) : log(log) {}
  void process(const uint32_t*, uint32_t, uint32_t, uint32_t) override {}
  void start() override { log.add("decoder.start"); }
  void stop() override { log.add("decoder.stop"); }

 private:
  EventLog& log;
};

// An input whose reader thread ends the run the way a file does at its end.
class TestInput : public SdrDevice {
 public:
  enum class End { Never, AfterStart, DuringStart };

  TestInput(Application& app, EventLog& log, End end) : app(app), log(log), end(end) {}
  ~TestInput() override {
    if (reader.joinable()) reader.join();
  }

  void start() override {
    log.add("device.start");
    if (end == End::Never) return;
    reader = std::thread([this] {
      log.add("input.end");
      app.stop();
    });
    // The input ends before the start step has finished.
    if (end == End::DuringStart) reader.join();
  }
  void stop() override {
    log.add("device.stop");
    if (reader.joinable()) reader.join();
  }
  uint32_t oversamplingFactor() override { return 1; }
  std::unique_ptr<SdrDecoder> createDecoder(Application&) override {
    log.add("decoder.create");
    return std::make_unique<RecordingDecoder>(log);
  }

 private:
  Application& app;
  EventLog& log;
  End end;
  std::thread reader;
};

const std::vector<std::string> wholeLife = {"decoder.create", "decoder.start", "device.start", "input.end",
                                            "device.stop",    "decoder.stop"};

TEST(Application, EndOfInputStopsOnceAndALaterSignalDoesNothing) {
  EventLog log;
  Application app;
  app.start(std::make_unique<TestInput>(app, log, TestInput::End::AfterStart));
  app.ioService->run();  // returns once the stop step has cancelled the signal wait
  EXPECT_FALSE(app.isRunning());
  EXPECT_EQ(log.all(), wholeLife);

  app.stop();
  std::raise(SIGINT);  // still held by the signal set, but nobody waits on it any more
  app.ioService->restart();
  app.ioService->run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(log.all(), wholeLife);
}

TEST(Application, InputEndingDuringStartStillEndsTheRun) {
  EventLog log;
  Application app;
  app.start(std::make_unique<TestInput>(app, log, TestInput::End::DuringStart));
  EXPECT_FALSE(app.isRunning());
  app.ioService->run();
  EXPECT_EQ(log.all(), wholeLife);
}

TEST(Application, SignalRunsTheStopStepOnTheMainThread) {
  for (int signal : {SIGINT, SIGTERM}) {
    EventLog log;
    Application app;
    app.msgLocalTimeFlag = false;
    app.config->msgLocalTime = true;
    app.start(std::make_unique<TestInput>(app, log, TestInput::End::Never));
    EXPECT_TRUE(app.isRunning());
    EXPECT_TRUE(app.msgLocalTimeFlag);
    std::thread sender([signal] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::raise(signal);
    });
    app.ioService->run();
    sender.join();
    EXPECT_FALSE(app.isRunning());
    EXPECT_EQ(log.all(),
              (std::vector<std::string>{"decoder.create", "decoder.start", "device.start", "device.stop",
                                        "decoder.stop"}));
    app.stop();
    EXPECT_EQ(log.all().size(), 5u);
  }
}

TEST(Application, StopBeforeStartDoesNothing) {
  Application app;
  app.stop();
  EXPECT_FALSE(app.isRunning());
  EXPECT_EQ(app.ioService->poll(), 0u);
}

TEST(UnixTime, WholeSecondsTruncatedTowardZero) {
  using boost::gregorian::date;
  using boost::posix_time::ptime;
  using boost::posix_time::time_duration;
  EXPECT_EQ(toUnixSeconds(ptime(date(1970, 1, 1))), 0);
  EXPECT_EQ(toUnixSeconds(ptime(date(1970, 1, 2), time_duration(0, 0, 0, 999999))), 86400);
  EXPECT_EQ(toUnixSeconds(ptime(date(2017, 1, 27), time_duration(9, 5, 3))), 1485507903);
  EXPECT_EQ(toUnixSeconds(ptime(date(1969, 12, 31), time_duration(23, 59, 59, 500000))), 0);
  EXPECT_EQ(toUnixSeconds(ptime(date(1969, 12, 31), time_duration(23, 59, 58, 500000))), -1);
  EXPECT_EQ(toUnixSeconds(ptime(date(2040, 1, 1))), 2208988800);  // past 32 bits
}

}  // namespace
