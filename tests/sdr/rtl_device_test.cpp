#include "app/application.h"
#include "sdr/rtl_device.h"
#include "sdr/rtl_device_list.h"

#include "sdr/fake_rtl_driver.h"
#include "sdr/sample_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <random>

namespace {

constexpr uint32_t capacity = SdrRtlDevice::ringCapacity;
constexpr uint32_t fullBuffer = SdrRtlDevice::usbBufferLength;  // bytes

// The dongle source with the recording demodulator in place of the real one.
class TestRtlDevice : public SdrRtlDevice {
 public:
  TestRtlDevice(Application& app, RtlDriver& driver, std::shared_ptr<SampleRecorder> recorder)
      : SdrRtlDevice(app, driver), recorder(std::move(recorder)) {}
  std::unique_ptr<SdrDecoder> createDecoder(Application&) override {
    return std::make_unique<RecordingDecoder>(recorder);
  }

 private:
  std::shared_ptr<SampleRecorder> recorder;
};

// Independent of the code under test: the squared distance of each value from the centre, 127.5.
uint32_t expectedMagnitude(uint8_t i, uint8_t q) {
  const double x = (i - 127.5) * 2, y = (q - 127.5) * 2;
  return static_cast<uint32_t>(x * x + y * y);
}

std::vector<unsigned char> randomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(count);
  for (auto& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

void appendMagnitudes(std::vector<uint32_t>& out, const std::vector<unsigned char>& bytes) {
  for (size_t k = 0; k + 1 < bytes.size(); k += 2) out.push_back(expectedMagnitude(bytes[k], bytes[k + 1]));
}

void feed(SdrRtlDevice& device, const std::vector<unsigned char>& bytes) {
  SdrRtlDevice::onUsbSamples(const_cast<unsigned char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &device);
}

struct Fixture {
  Application app;
  FakeRtlDriver driver;
  std::shared_ptr<SampleRecorder> recorder = std::make_shared<SampleRecorder>();

  std::unique_ptr<TestRtlDevice> makeDevice() { return std::make_unique<TestRtlDevice>(app, driver, recorder); }
  // Opened, configured and started through the application's start step.
  TestRtlDevice* startDevice() {
    auto device = makeDevice();
    device->open();
    TestRtlDevice* raw = device.get();
    app.start(std::move(device));
    return raw;
  }
};

TEST(RtlSamples, MagnitudesAndShortBuffers) {
  Fixture f;
  auto device = f.makeDevice();
  feed(*device, {0x80, 0x80, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0x80});
  ASSERT_EQ(device->writeIndex(), 4u);
  EXPECT_EQ(device->sampleRing()[0], 2u);
  EXPECT_EQ(device->sampleRing()[1], 130050u);
  EXPECT_EQ(device->sampleRing()[2], 130050u);
  EXPECT_EQ(device->sampleRing()[3], 2u);

  feed(*device, {0x12});  // less than one pair
  EXPECT_EQ(device->writeIndex(), 4u);
  feed(*device, {0x00, 0x00, 0x80, 0x7F, 0x33});  // two pairs, the odd byte is dropped
  EXPECT_EQ(device->writeIndex(), 6u);
  EXPECT_EQ(device->sampleRing()[4], 130050u);
  EXPECT_EQ(device->sampleRing()[5], 2u);

  // Every byte pair against the reference.
  std::vector<unsigned char> all;
  for (int i = 0; i < 256; ++i) {
    for (int q = 0; q < 256; ++q) {
      all.push_back(static_cast<unsigned char>(i));
      all.push_back(static_cast<unsigned char>(q));
    }
  }
  feed(*device, all);
  ASSERT_EQ(device->writeIndex(), 6u + 65536u);
  std::vector<uint32_t> expected;
  appendMagnitudes(expected, all);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), device->sampleRing() + 6));

  // No context: ignored.
  SdrRtlDevice::onUsbSamples(all.data(), 4, nullptr);
  EXPECT_EQ(device->writeIndex(), 6u + 65536u);
}

TEST(RtlSamples, FreeSpaceBoundaryDropsWholeBuffers) {
  const auto buffer = randomBytes(fullBuffer, 1);
  struct Case {
    uint32_t filledBefore;  // samples in the ring with the read index at 0
    bool stored;
  };
  // 131,072 free slots: the buffer would fill the ring to the brim, so it is dropped.
  const Case cases[] = {{capacity - 131072, false}, {capacity - 131073, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filledBefore);
    Fixture f;
    auto device = f.makeDevice();
    uint32_t filled = 0;
    while (filled < c.filledBefore) {
      const uint32_t pairs = std::min<uint32_t>(fullBuffer / 2, c.filledBefore - filled);
      feed(*device, std::vector<unsigned char>(buffer.begin(), buffer.begin() + 2 * pairs));
      filled += pairs;
    }
    ASSERT_EQ(device->writeIndex(), c.filledBefore);
    const std::vector<uint32_t> before(device->sampleRing(), device->sampleRing() + capacity);

    LogCapture log;
    feed(*device, buffer);
    if (c.stored) {
      EXPECT_EQ(log.count("ERROR    Lost data"), 0u);
      EXPECT_EQ(device->writeIndex(), capacity - 1);
      EXPECT_EQ(device->sampleRing()[capacity - 2], expectedMagnitude(buffer[fullBuffer - 2], buffer[fullBuffer - 1]));
      // Now one slot is free, and even a single pair would fill it.
      feed(*device, {1, 2});
      EXPECT_EQ(log.count("ERROR    Lost data"), 1u);
      EXPECT_EQ(device->writeIndex(), capacity - 1);
    } else {
      EXPECT_EQ(log.count("ERROR    Lost data"), 1u);
      EXPECT_EQ(device->writeIndex(), c.filledBefore);
      EXPECT_TRUE(std::equal(before.begin(), before.end(), device->sampleRing()));
    }
  }
}

TEST(RtlDeviceList, DescriptionLines) {
  FakeRtlDriver driver;
  driver.dongles.assign(13, FakeRtlDriver::Dongle{"Generic", "RTL2832U", "77", true, 0});
  driver.dongles[4].readable = false;
  EXPECT_EQ(rtlDeviceDescription(driver, 3), " 3 mnf: Generic prod: RTL2832U serial: 77");
  EXPECT_EQ(rtlDeviceDescription(driver, 12), "12 mnf: Generic prod: RTL2832U serial: 77");
  EXPECT_EQ(rtlDeviceDescription(driver, 4), " 4 already in use)");
  EXPECT_THROW(rtlGetDeviceUsbStrings(driver, 4), SdrRtlException);
}

TEST(RtlDeviceOpen, ChoosesByIndexOrSerial) {
  struct Case {
    std::vector<std::optional<std::string>> serials;  // nullopt: strings cannot be read
    std::string option;                                // empty: by index
    uint32_t index;
    std::optional<uint32_t> chosen;  // nullopt: "Device Serial Not Found"
  };
  const Case cases[] = {
      {{"00000001"}, "1", 0, 0},
      {{"1"}, "0001", 0, 0},
      {{"ABC", std::nullopt, "0007", "7"}, "7", 0, 2},  // unreadable skipped, first match wins
      {{"00"}, "00", 0, 0},
      {{"000"}, "0", 0, std::nullopt},  // zeros only are kept
      {{"10"}, "1", 0, std::nullopt},
      {{}, "1", 0, std::nullopt},
      {{"A", "B"}, "", 1, 1},
      {{"A", "B"}, "B", 1, 1},  // the serial wins over the index
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option + " #" + std::to_string(c.serials.size()));
    Fixture f;
    f.driver.dongles.clear();
    for (const auto& serial : c.serials) {
      f.driver.dongles.push_back({"M", "P", serial.value_or(""), serial.has_value(), 0});
    }
    f.app.config->deviceSerial = c.option;
    f.app.config->deviceIndex = c.index;
    LogCapture log;
    auto device = f.makeDevice();
    if (!c.chosen) {
      try {
        device->open();
        ADD_FAILURE() << "opened";
      } catch (const SdrRtlException& e) {
        EXPECT_STREQ(e.what(), "Device Serial Not Found");
      }
      EXPECT_TRUE(f.driver.opened.empty());
      continue;
    }
    device->open();
    EXPECT_EQ(f.driver.opened, std::vector<uint32_t>{*c.chosen});
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines()[0], "INFO     Device:" + rtlDeviceDescription(f.driver, *c.chosen));
  }
}

TEST(RtlDeviceOpen, ConfigurationCallsAndLogLines) {
  struct Case {
    std::function<void(Config&)> options;
    std::vector<std::string> lines;  // after "Device:"
    std::vector<std::string> calls;
  };
  const std::string gains = "INFO     Supported Gains (dB):  0.0 0.9 1.4 49.6";
  const Case cases[] = {
      {[](Config&) {},
       {gains, "INFO     Freq Correction: 0 ppm", "INFO     Gain: Auto", "INFO     AGC: Off"},
       {"sampleRate 2000000", "centerFreq 1090000000", "gainMode 0", "agc 0"}},
      {[](Config& c) {
         c.gain = 49.6f;
         c.autoGain = false;
         c.freqCorrection = -3;
         c.agc = true;
       },
       {gains, "INFO     Freq Correction: -3 ppm", "INFO     Gain: 49.6 dB", "INFO     AGC: On"},
       {"sampleRate 2000000", "centerFreq 1090000000", "freqCorrection -3", "gainMode 1", "tunerGain 496", "agc 1"}},
      {[](Config& c) {
         c.gain = 20;
         c.autoGain = false;
       },
       {gains, "INFO     Freq Correction: 0 ppm", "INFO     Gain: 20.0 dB", "INFO     AGC: Off"},
       {"sampleRate 2000000", "centerFreq 1090000000", "gainMode 1", "tunerGain 200", "agc 0"}},
  };
  for (const auto& c : cases) {
    Fixture f;
    c.options(*f.app.config);
    LogCapture log;
    auto device = f.makeDevice();
    device->open();
    auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "INFO     Device: 0 mnf: Realtek prod: RTL2838UHIDIR serial: 00000001");
    lines.erase(lines.begin());
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(f.driver.state->calls(), c.calls);
    EXPECT_EQ(device->oversamplingFactor(), 1u);
  }
}

TEST(RtlDeviceOpen, EachFailureNamesItsCall) {
  struct Case {
    std::function<void(FakeRtlDriver&, Config&)> fault;
    std::string call;
    bool closed;  // the dongle is closed before raising
  };
  const Case cases[] = {
      {[](FakeRtlDriver& d, Config&) { d.dongles[0].openResult = -3; }, "sdr_open()", false},
      {[](FakeRtlDriver& d, Config&) { d.state->sampleRateResult = -1; }, "sdr_set_sample_rate()", true},
      {[](FakeRtlDriver& d, Config&) { d.state->centerFreqResult = -1; }, "sdr_set_freq()", true},
      {[](FakeRtlDriver& d, Config&) {
         d.state->centerFreqResult = -1;
         d.state->closeResult = -1;
       },
       "sdr_close()", true},
      {[](FakeRtlDriver& d, Config&) { d.state->gains.clear(); }, "sdr_get_tuner_gains()", false},
      {[](FakeRtlDriver& d, Config&) { d.state->secondGainCount = 3; }, "sdr_get_tuner_gains()", false},
      {[](FakeRtlDriver& d, Config& c) {
         d.state->freqCorrectionResult = -1;
         c.freqCorrection = 5;
       },
       "sdr_set_freq_corection()", false},
      {[](FakeRtlDriver& d, Config&) { d.state->gainModeResult = -1; }, "sdr_set_tuner_gain_mode()", false},
      {[](FakeRtlDriver& d, Config& c) {
         d.state->tunerGainResult = -1;
         c.autoGain = false;
       },
       "sdr_set_gain()", false},
      {[](FakeRtlDriver& d, Config&) { d.state->agcResult = -1; }, "sdr_set_agc_mode()", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    Fixture f;
    c.fault(f.driver, *f.app.config);
    auto device = f.makeDevice();
    try {
      device->open();
      ADD_FAILURE() << "opened";
    } catch (const SdrRtlException& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.call + ": ", 0), 0u) << e.what();
    }
    EXPECT_EQ(f.driver.state->called("close"), c.closed);
  }
}

// Streams buffers of odd sizes through the reader and consumer threads, in groups the consumer
// keeps up with, past the end of the ring.
TEST(RtlStreaming, SamplesArriveInOrderAcrossTheRingEnd) {
  Fixture f;
  TestRtlDevice* device = f.startDevice();
  ASSERT_TRUE(f.driver.state->waitRunning());
  std::vector<uint32_t> expected;
  size_t buffers = 0;
  for (int group = 0; group < 4; ++group) {
    for (int i = 0; i < 8; ++i) {
      auto bytes = randomBytes(200001, static_cast<uint32_t>(100 + buffers));
      appendMagnitudes(expected, bytes);
      f.driver.state->deliver(std::move(bytes));
      ++buffers;
    }
    ASSERT_TRUE(f.driver.state->waitDelivered(buffers));
    ASSERT_TRUE(f.recorder->waitForSamples(expected.size()));
  }
  ASSERT_GT(expected.size(), capacity);
  EXPECT_TRUE(f.recorder->samples() == expected);

  const auto calls = f.recorder->processCalls();
  bool wrapped = false;
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].ringSize, capacity);
    EXPECT_NE(calls[i].from, calls[i].to);
    if (i > 0) {
      EXPECT_EQ(calls[i].from, calls[i - 1].to);
    }
    wrapped |= calls[i].to < calls[i].from;
  }
  EXPECT_TRUE(wrapped);
  EXPECT_EQ(device->readIndex(), device->writeIndex());

  f.app.stop();
  EXPECT_TRUE(f.driver.state->readHasReturned());
  EXPECT_EQ(f.driver.state->calls().back(), "close");
  EXPECT_EQ(f.recorder->stops, 1);
  const auto calls2 = f.driver.state->calls();
  EXPECT_NE(std::find(calls2.begin(), calls2.end(), "readAsync 4 262144"), calls2.end());
}

// The demodulator stalls: the ring fills, later buffers are dropped whole, and what was kept
// comes out intact once it catches up.
TEST(RtlStreaming, SlowConsumerLosesWholeBuffersOnly) {
  Fixture f;
  f.recorder->closeGate();
  f.startDevice();
  ASSERT_TRUE(f.driver.state->waitRunning());
  LogCapture log;
  std::vector<std::vector<unsigned char>> buffers;
  for (uint32_t b = 0; b < 26; ++b) buffers.push_back(randomBytes(fullBuffer, 500 + b));
  f.driver.state->deliver(buffers[0]);
  ASSERT_TRUE(f.recorder->waitForCall());
  for (int b = 1; b < 25; ++b) f.driver.state->deliver(buffers[b]);
  ASSERT_TRUE(f.driver.state->waitDelivered(25));
  // 19 buffers fill the ring up to 131,072 free slots; the 20th to 25th do not fit.
  EXPECT_EQ(log.count("ERROR    Lost data"), 6u);

  f.recorder->openGate();
  std::vector<uint32_t> expected;
  for (int b = 0; b < 19; ++b) appendMagnitudes(expected, buffers[b]);
  ASSERT_TRUE(f.recorder->waitForSamples(expected.size()));
  f.driver.state->deliver(buffers[25]);
  appendMagnitudes(expected, buffers[25]);
  ASSERT_TRUE(f.recorder->waitForSamples(expected.size()));
  EXPECT_TRUE(f.recorder->samples() == expected);
  EXPECT_EQ(log.count("ERROR    Lost data"), 6u);
  f.app.stop();
}

// A dongle that fails or goes away while streaming ends the run through the stop step.
TEST(RtlStreaming, ReaderFailureEndsTheRun) {
  struct Case {
    const char* name;
    std::function<void(FakeDongleState&)> fault;
    std::string logged;
  };
  const Case cases[] = {
      {"reset fails", [](FakeDongleState& s) { s.resetResult = -1; }, "ERROR    sdr_reset(): "},
      {"read error", [](FakeDongleState& s) { s.unplug(-1); }, "ERROR    sdr_read(): "},
      {"read ends", [](FakeDongleState& s) { s.unplug(0); }, "ERROR    sdr_read(): "},
      {"device gone", [](FakeDongleState& s) { s.unplug(-5); }, "ERROR    sdr_read(): "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    LogCapture log;
    if (std::string(c.name) == "reset fails") c.fault(*f.driver.state);
    f.startDevice();
    if (std::string(c.name) != "reset fails") {
      ASSERT_TRUE(f.driver.state->waitRunning());
      f.driver.state->deliver(randomBytes(1000, 7));
      c.fault(*f.driver.state);
    }
    f.app.ioService->run_for(std::chrono::seconds(10));
    EXPECT_TRUE(f.app.ioService->stopped()) << "the stop step did not run";
    EXPECT_FALSE(f.app.isRunning());
    EXPECT_EQ(f.app.exitStatus(), 1);
    EXPECT_TRUE(log.hasPrefix(c.logged));
    EXPECT_EQ(f.recorder->stops, 1);
    EXPECT_EQ(f.driver.state->calls().back(), "close");
  }
}

// Stopped while the reader is still on its way into the read, or the library is still setting
// it up: the stop must neither hang nor leave the read running.
TEST(RtlStreaming, StopBeforeTheReadHasBegun) {
  struct Case {
    int resetDelayMs;
    int readStartDelayMs;
    bool readCalled;
  };
  const Case cases[] = {{0, 0, false}, {100, 0, false}, {0, 150, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.resetDelayMs * 1000 + c.readStartDelayMs);
    Fixture f;
    f.driver.state->resetDelay = std::chrono::milliseconds(c.resetDelayMs);
    f.driver.state->readStartDelay = std::chrono::milliseconds(c.readStartDelayMs);
    LogCapture log;
    f.startDevice();
    if (c.readCalled) {
      // Wait until the reader is inside readAsync but the read is not running yet.
      for (int i = 0; i < 1000 && !f.driver.state->called("readAsync 4 262144"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_FALSE(f.driver.state->readHasReturned());
    }
    const auto started = std::chrono::steady_clock::now();
    f.app.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    const auto calls = f.driver.state->calls();
    EXPECT_EQ(calls.back(), "close");
    bool read = false;
    for (const auto& call : calls) read |= call.rfind("readAsync", 0) == 0;
    if (c.readCalled) {
      EXPECT_TRUE(read);
      EXPECT_TRUE(f.driver.state->readHasReturned());
    }
    EXPECT_FALSE(log.hasPrefix("ERROR"));
    EXPECT_EQ(f.recorder->stops, 1);
  }
}

TEST(RtlStreaming, StopWithoutStartClosesAndASecondStopRaises) {
  Fixture f;
  auto device = f.makeDevice();
  device->open();
  device->stop();
  EXPECT_EQ(f.driver.state->calls().back(), "close");
  try {
    device->stop();
    ADD_FAILURE() << "second stop";
  } catch (const SdrRtlException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("sdr_cancel(): ", 0), 0u);
  }
}

TEST(RtlStreaming, CloseFailureAtStopIsLoggedAndTheStopGoesOn) {
  Fixture f;
  f.driver.state->closeResult = -1;
  LogCapture log;
  f.startDevice();
  f.app.stop();
  EXPECT_TRUE(log.hasPrefix("ERROR    sdr_close(): "));
  EXPECT_EQ(f.recorder->stops, 1);
}

}  // namespace
