#include "app/application.h"
#include "sdr/airspy_decoder.h"
#include "sdr/airspy_demodulator.h"
#include "sdr/airspy_device.h"
#include "sdr/device_list.h"
#include "sdr/fixed_factor_device.h"

#include "sdr/airspy_signal.h"
#include "sdr/fake_airspy_driver.h"
#include "sdr/sample_sink.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

struct Fixture {
  Application app;
  FakeAirspyState state;
  FakeAirspyDriver driver{state};
  LogCapture log;

  std::unique_ptr<SdrAirspyDevice> open() { return openAirspyDevice(app, driver); }
  std::string openError() {
    try {
      open();
    } catch (const SdrAirspyException& e) {
      return e.what();
    }
    return "";
  }
  std::vector<std::string> infoLines() const {
    std::vector<std::string> out;
    for (const auto& line : log.lines()) {
      if (line.rfind("INFO", 0) == 0 || line.rfind("ERROR", 0) == 0) out.push_back(line);
    }
    return out;
  }
};

TEST(AirspyOpen, ConfiguresTheReceiverAndLogsEachStep) {
  Fixture f;
  auto device = f.open();
  EXPECT_EQ(device->oversamplingFactor(), 10u);
  EXPECT_EQ(device->chosenSampleRate(), 20000000u);
  const std::vector<std::string> expected = {
      "INFO     Board ID Number: 0 (AIRSPY)",
      "INFO     Firmware Version: AirSpy NOS v1.0.0-sim",
      "INFO     Part ID Number: 0x6906002B 0x00000030",
      "INFO     Serial Number: 0x26A464DC0000A1C5",
      "INFO     Supported sample rates: 10.0 2.5",  // the default sample type's list
      "INFO     Oversampling Factor: 10",
      "INFO     RF Bias: Off",
      "INFO     LNA Gain: 14",
      "INFO     Mixer Gain: 12",
      "INFO     IF Gain: 13",
      "INFO     Airspy Packing: Off",
      "INFO     Decimation factor: 1",
      "INFO     Decoding on 20 MSPS",
      "INFO     Used the original AirSpy decoding algorithm from Kelvane",
  };
  EXPECT_EQ(f.infoLines(), expected);
  const std::vector<std::string> calls = {
      "open", "boardIdRead", "versionStringRead", "partIdSerialNoRead", "getSampleRates 0", "getSampleRates 2",
      "setSampleType 5", "getSampleRates 0", "getSampleRates 2", "setSampleRate 0", "setFreq 1090000000",
      "setLnaAgc 0", "setMixerAgc 0", "setPacking 0", "setRfBias 0", "setRfBias 0", "setLnaGain 14",
      "setMixerGain 12", "setVgaGain 13", "setPacking 0"};
  EXPECT_EQ(f.state.calls(), calls);
}

// Each case changes the receiver or the options and names the failure it must end with ("" for none)
// and what else it must show.
struct OpenCase {
  const char* name;
  std::function<void(FakeAirspyState&, Config&)> setUp;
  std::string error;
  uint32_t rate;  // chosen rate when it opens
  std::function<void(Fixture&)> check;
};

TEST(AirspyOpen, RatesGainsAndFailures) {
  const std::vector<OpenCase> cases = {
      {"highest multiple of 2 MS/s", [](FakeAirspyState& s, Config&) { s.rawRates = {12000000, 6000000}; }, "",
       12000000, {}},
      {"first of equal rates, odd rates skipped",
       [](FakeAirspyState& s, Config&) { s.rawRates = {5000000, 10000000, 10000000}; }, "", 10000000,
       [](Fixture& f) { EXPECT_EQ(f.state.count("setSampleRate 1"), 1); }},
      {"requested rate listed", [](FakeAirspyState& s, Config& c) { s.rawRates = {20000000, 6000000}; c.airspySampleRate = 6; },
       "", 6000000, {}},
      {"requested rate not a multiple", [](FakeAirspyState&, Config& c) { c.airspySampleRate = 5; },
       "Illegal sample rate", 0, {}},
      {"requested rate not listed", [](FakeAirspyState&, Config& c) { c.airspySampleRate = 4; },
       "Can't select sample rate", 0, {}},
      {"requested rate that would wrap 32 bits", [](FakeAirspyState&, Config& c) { c.airspySampleRate = 4296; },
       "Can't select sample rate", 0, {}},
      {"no usable rate", [](FakeAirspyState& s, Config&) { s.rawRates = {5000000, 3000000}; },
       "Can't select sample rate", 0, {}},
      {"no rate listed", [](FakeAirspyState& s, Config&) { s.rateCountOverride = 0; },
       "airspy_get_samplerates() return invalid sample rates count", 0, {}},
      {"too many rates", [](FakeAirspyState& s, Config&) { s.rateCountOverride = 1001; },
       "airspy_get_samplerates() return invalid sample rates count", 0, {}},
      {"not found", [](FakeAirspyState& s, Config&) { s.receiversAvailable = 0; }, "Device Not Found", 0, {}},
      {"open fails", [](FakeAirspyState& s, Config&) { s.openResult = AIRSPY_ERROR_LIBUSB; },
       "airspy_open() failed: AIRSPY_ERROR_LIBUSB", 0, {}},
      {"open by serial fails",
       [](FakeAirspyState& s, Config& c) {
         s.openResult = AIRSPY_ERROR_BUSY;
         c.airspySerialGiven = true;
         c.airspySerial = 0x1F;
       },
       "airspy_open_sn() failed: AIRSPY_ERROR_BUSY", 0,
       [](Fixture& f) {
         EXPECT_EQ(f.log.count("INFO     Select AirSpy device by serial no: 0x000000000000001F"), 1u);
         EXPECT_EQ(f.state.count("openBySerial 31"), 1);
       }},
      {"tuning fails: receiver closed",
       [](FakeAirspyState& s, Config&) { s.results["setFreq"] = AIRSPY_ERROR_LIBUSB; },
       "airspy_set_freq() failed: AIRSPY_ERROR_LIBUSB", 0,
       [](Fixture& f) { EXPECT_EQ(f.state.count("close"), 1); }},
      {"RF bias fails after set-up", [](FakeAirspyState& s, Config& c) {
         c.airspyRfBias = true;
         s.results["setRfBias"] = AIRSPY_ERROR_INVALID_PARAM;
       },
       "airspy_set_rf_bias() failed: AIRSPY_ERROR_INVALID_PARAM", 0, {}},
      {"linearity preset: no gain lines",
       [](FakeAirspyState&, Config& c) { c.airspyLinearity = 21; }, "", 20000000,
       [](Fixture& f) {
         EXPECT_EQ(f.state.count("setLinearityGain 21"), 1);
         EXPECT_EQ(f.state.count("setLnaGain"), 0);
         EXPECT_FALSE(f.log.hasPrefix("INFO     LNA Gain"));
       }},
      {"linearity 0 and 200 use the gains",
       [](FakeAirspyState&, Config& c) { c.airspyLinearity = 200; c.airspyLnaGain = 300; }, "", 20000000,
       [](Fixture& f) {
         EXPECT_EQ(f.state.count("setLinearityGain"), 0);
         EXPECT_EQ(f.log.count("INFO     LNA Gain: 300"), 1u);
         EXPECT_EQ(f.state.count("setLnaGain 44"), 1);  // passed as 8 bits
       }},
      {"packing and bias on",
       [](FakeAirspyState&, Config& c) {
         c.airspyPacking = true;
         c.airspyRfBias = true;
       },
       "", 20000000,
       [](Fixture& f) {
         EXPECT_EQ(f.log.count("INFO     Airspy Packing: On"), 1u);
         EXPECT_EQ(f.log.count("INFO     RF Bias: On"), 1u);
         EXPECT_TRUE(f.state.packing);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    c.setUp(f.state, *f.app.config);
    std::unique_ptr<SdrAirspyDevice> device;
    std::string error;
    try {
      device = f.open();
    } catch (const SdrAirspyException& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error);
    if (device) {
      EXPECT_EQ(device->chosenSampleRate(), c.rate);
    }
    if (c.check) c.check(f);
  }
}

TEST(AirspyBoardInfo, StopsAtTheFirstFailedRead) {
  Fixture f;
  f.state.results["partIdSerialNoRead"] = AIRSPY_ERROR_LIBUSB;
  FakeAirspyReceiver receiver(f.state);
  std::ostringstream out;
  printAirspyInfo(receiver, out);
  EXPECT_EQ(out.str(), "Board ID Number: 0 (AIRSPY)\nFirmware Version: AirSpy NOS v1.0.0-sim\n");
  EXPECT_EQ(f.log.count("ERROR    airspy_board_partid_serialno_read() fail AIRSPY_ERROR_LIBUSB"), 1u);
}

TEST(AirspyDeviceList, ListsEveryReceiverThatOpens) {
  Fixture f;
  f.state.receiversAvailable = 2;
  f.state.results["close"] = AIRSPY_ERROR_LIBUSB;
  std::ostringstream out;
  printDeviceList(out, f.driver);
  const std::string text = out.str();
  EXPECT_NE(text.find("Available AirSpy Devices:\nBoard ID Number: 0 (AIRSPY)\n"), std::string::npos) << text;
  EXPECT_EQ(f.state.count("close"), 2);
  EXPECT_EQ(f.log.count("ERROR    airspy_close() fail AIRSPY_ERROR_LIBUSB"), 2u);

  Fixture none;
  none.state.receiversAvailable = 0;
  std::ostringstream empty;
  printDeviceList(empty, none.driver);
  EXPECT_NE(empty.str().find("\nNo Available AirSpy devices.\n"), std::string::npos);
}

TEST(AirspyStreaming, BadTransfersAreRefused) {
  Fixture f;
  auto device = f.open();
  SdrAirspyDevice* raw = device.get();
  f.app.start(std::move(device));
  EXPECT_EQ(SdrAirspyDevice::handlerRx(nullptr), -1);
  airspy_transfer transfer{};
  EXPECT_EQ(SdrAirspyDevice::handlerRx(&transfer), -1);
  transfer.ctx = raw;
  int other = 0;
  transfer.device = reinterpret_cast<airspy_device*>(&other);
  EXPECT_EQ(SdrAirspyDevice::handlerRx(&transfer), -1);
  for (const char* line : {"ERROR    handlerRx(NULL)", "ERROR    handlerRx ctx == NULL", "ERROR    handlerRx device mismatch!"}) {
    EXPECT_EQ(f.log.count(line), 1u) << line;
  }
  std::vector<uint16_t> block(1000, 2048);
  transfer.device = raw->airspyReceiver().handle();
  transfer.samples = block.data();
  transfer.sample_count = 1000;
  EXPECT_EQ(SdrAirspyDevice::handlerRx(&transfer), 0);
  f.app.stop();
}

TEST(AirspyStreaming, StopRestoresTheBaseConfigurationAndCloses) {
  for (bool failures : {false, true}) {
    SCOPED_TRACE(failures);
    Fixture f;
    f.app.config->airspyRfBias = true;
    f.app.config->airspySampleRate = 12;
    f.state.rawRates = {20000000, 12000000};
    f.app.start(f.open());
    EXPECT_TRUE(f.state.streaming());
    const size_t before = f.state.calls().size();
    if (failures) {
      f.state.results["stopRx"] = AIRSPY_ERROR_STREAMING_STOPPED;
      f.state.results["setFreq"] = AIRSPY_ERROR_LIBUSB;
    }
    f.app.stop();
    EXPECT_FALSE(f.state.streaming());
    const auto all = f.state.calls();
    const std::vector<std::string> after(all.begin() + before, all.end());
    std::vector<std::string> expected = {"stopRx", "setSampleType 5", "getSampleRates 0", "getSampleRates 2",
                                         "setSampleRate 1", "setFreq 1090000000"};
    if (!failures) {
      for (const char* call : {"setLnaAgc 0", "setMixerAgc 0", "setPacking 0", "setRfBias 0"}) expected.push_back(call);
    }
    expected.push_back("close");
    EXPECT_EQ(after, expected);
    EXPECT_EQ(f.log.count("INFO     Oversampling Factor: 6"), 2u);
    EXPECT_EQ(f.log.count("ERROR    airspy_stop_rx() fail AIRSPY_ERROR_STREAMING_STOPPED"), failures ? 1u : 0u);
    EXPECT_EQ(f.log.count("ERROR    error in deviceInit() while stop()"), failures ? 1u : 0u);
  }
}

TEST(AirspyStreaming, AReceiverThatStopsStreamingEndsTheRun) {
  Fixture f;
  f.app.start(f.open());
  std::thread io([&] { f.app.ioService->run(); });
  f.state.unplug();
  io.join();  // returns once the stop step has run
  EXPECT_EQ(f.app.exitStatus(), 1);
  EXPECT_EQ(f.log.count("ERROR    AirSpy receiver stopped streaming"), 1u);
  EXPECT_EQ(f.state.count("close"), 1);
}

// The callback runs on the library's thread: what the demodulator or the frame pipeline behind it
// throws there took the process down. It ends the run with status 1 instead, as a lost receiver does.
TEST(AirspyStreaming, AFailureInsideTheCallbackEndsTheRun) {
  struct Case {
    std::function<void()> fail;
    std::string line;
  };
  const Case cases[] = {
      {[] { throw std::bad_alloc(); }, "ERROR    AirSpy sample callback failed: std::bad_alloc"},
      {[] { throw std::runtime_error("queue full"); }, "ERROR    AirSpy sample callback failed: queue full"},
      {[] { throw 7; }, "ERROR    AirSpy sample callback failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Fixture f;
    f.app.start(f.open());
    auto* decoder = dynamic_cast<SdrAirspyDecoder*>(f.app.decoder.get());
    ASSERT_NE(decoder, nullptr);
    decoder->setFrameOutput([&c](const uint8_t*, uint32_t, uint64_t, uint8_t) { c.fail(); });
    std::thread io([&] { f.app.ioService->run(); });
    const uint32_t p = 10;  // 20 MS/s
    const std::vector<airspy_test::Placed> frames = {{airspy_test::df17(0x4840D6), 1000, 60}};
    f.state.deliver(airspy_test::synthesize(airspy_test::endOfWindow(1000, p) + 100 * p, p, frames));
    io.join();  // returns once the stop step has run
    EXPECT_EQ(f.state.lastCallbackResult(), -1);
    EXPECT_EQ(f.app.exitStatus(), 1);
    EXPECT_EQ(f.log.count(c.line), 1u);
    EXPECT_FALSE(f.log.hasPrefix("ERROR    AirSpy receiver stopped streaming"));  // one cause, one line
    EXPECT_EQ(f.state.count("close"), 1);
  }
}

TEST(AirspyStreaming, StartFailureNamesTheCall) {
  Fixture f;
  f.state.results["startRx"] = AIRSPY_ERROR_LIBUSB;
  auto device = f.open();
  try {
    device->start();
    FAIL() << "started";
  } catch (const SdrAirspyException& e) {
    EXPECT_STREQ(e.what(), "airspy_start_rx() failed: AIRSPY_ERROR_LIBUSB");
  }
}

TEST(AirspyDecoderStart, WorkersFollowThePhaseCountAndOtherInputsAreRefused) {
  struct Case {
    uint32_t rate;
    uint8_t workers;
    uint8_t fecBits;
    uint32_t expectedWorkers;
  };
  for (const Case c : {Case{12, 4, 1, 4}, Case{12, 16, 5, 6}, Case{12, 0, 2, 0}, Case{20, 1, 0, 1}}) {
    SCOPED_TRACE(std::to_string(c.rate) + " MS/s, workers " + std::to_string(c.workers));
    Fixture f;
    f.state.rawRates = {c.rate * 1000000u};
    f.app.config->airspyWorkers = c.workers;
    f.app.config->airspyFecBits = c.fecBits;
    f.app.start(f.open());
    auto* decoder = dynamic_cast<SdrAirspyDecoder*>(f.app.decoder.get());
    ASSERT_NE(decoder, nullptr);
    ASSERT_NE(decoder->demodulator(), nullptr);
    EXPECT_EQ(decoder->phaseCount(), c.rate / 2);
    EXPECT_EQ(decoder->demodulator()->workerCount(), c.expectedWorkers);
    f.app.stop();
    EXPECT_EQ(decoder->demodulator(), nullptr);
  }

  Application app;
  app.device = std::make_unique<FixedFactorDevice>(5);
  SdrAirspyDecoder decoder(app, 1, 1, 1, false);
  try {
    decoder.start();
    FAIL() << "started on another input";
  } catch (const AirspyDecoderError& e) {
    EXPECT_STREQ(e.what(), "start(): device attached is not an Airspy device");
  }
}

// No source calls the block entry, but a ring index outside the ring looped for ever.
TEST(AirspyDecoderProcess, DemodulatesTheRingAndRefusesIndicesOutsideIt) {
  Fixture f;
  f.app.start(f.open());
  auto* decoder = dynamic_cast<SdrAirspyDecoder*>(f.app.decoder.get());
  ASSERT_NE(decoder, nullptr);
  std::vector<uint8_t> seen;
  decoder->setFrameOutput([&](const uint8_t* bytes, uint32_t length, uint64_t, uint8_t) {
    seen.assign(bytes, bytes + length);
  });
  const uint32_t p = 10;
  const auto frame = airspy_test::df17(0x4840D6);
  const auto samples = airspy_test::synthesize(airspy_test::endOfWindow(1000, p) + 100 * p, p, {{frame, 1000, 60}});
  const uint32_t ringSize = static_cast<uint32_t>(samples.size()) + 1;
  std::vector<uint32_t> ring(samples.begin(), samples.end());
  ring.push_back(0xFFFF0000u);  // the high bits are dropped; the last slot is never read
  for (const auto& [from, to] : std::vector<std::pair<uint32_t, uint32_t>>{
           {ringSize, 0}, {0, ringSize}, {ringSize + 5, 3}, {7, 7}}) {
    SCOPED_TRACE(std::to_string(from) + " to " + std::to_string(to));
    decoder->process(ring.data(), from, to, ringSize);
  }
  decoder->process(ring.data(), 1, 0, 0);
  EXPECT_TRUE(seen.empty());
  decoder->process(ring.data(), 0, ringSize - 1, ringSize);
  EXPECT_EQ(seen, std::vector<uint8_t>(frame.begin(), frame.end()));
  f.app.stop();
  decoder->process(ring.data(), 0, ringSize - 1, ringSize);  // after stop: nothing to run on
}

TEST(AirspySignalByte, GrowsWithPowerFrom12To255) {
  EXPECT_EQ(airspySignalByte(1), 12);
  EXPECT_EQ(airspySignalByte(65535), 255);
  EXPECT_EQ(airspySignalByte(32768), 12 + 60);  // half the level: a quarter of the power
  uint8_t previous = 0;
  for (uint32_t level = 1; level <= 65535; level += 97) {
    const uint8_t b = airspySignalByte(static_cast<uint16_t>(level));
    EXPECT_GE(b, previous);
    previous = b;
  }
}

}  // namespace
