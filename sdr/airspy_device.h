#pragma once
// The Airspy receiver as a sample source: raw 12-bit real samples at a whole multiple of 2 MS/s,
// tuned to 1090 MHz, delivered by the library on its own consumer thread straight into the
// Airspy demodulator.

#include "sdr/airspy_driver.h"
#include "sdr/sdr_device.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class Application;

class SdrAirspyDevice : public SdrDevice {
 public:
  static constexpr uint32_t centerFrequency = 1090000000;
  static constexpr uint32_t rateStep = 2000000;
  static constexpr std::chrono::milliseconds watchInterval{500};

  // requestedRate: samples per second, 0 for the highest usable rate the receiver lists.
  SdrAirspyDevice(Application& owner, std::unique_ptr<AirspyReceiver> receiver, uint64_t requestedRate);
  // Frees nothing more: stop closes the receiver.
  ~SdrAirspyDevice() override;

  void start() override;
  // Ends streaming, puts the receiver back into the base configuration and closes it. Never throws.
  void stop() override;
  uint32_t oversamplingFactor() override { return factor; }
  std::unique_ptr<SdrDecoder> createDecoder(Application& application) override;

  // Raw samples, the rate chosen, 1090 MHz, both AGCs, packing and RF bias off; throws
  // SdrAirspyException.
  void deviceInit();

  uint32_t chosenSampleRate() const { return static_cast<uint32_t>(sampleRate); }
  AirspyReceiver& airspyReceiver() { return *receiver; }

  // The library's sample callback; context is the device. Nothing it throws leaves it: the
  // library's thread would take the process down with it.
  static int handlerRx(airspy_transfer* transfer);

 private:
  uint32_t chooseRateIndex(const uint32_t* rates, uint32_t count) const;
  // The library stops streaming on its own when the receiver fails or is pulled out, and then
  // calls nothing more: without this the run would go on with no input for ever.
  void watchStreaming();
  void endWatch();
  // Logs why the input is lost and ends the run with status 1; from any thread, logged once.
  void endRun(const char* why, const char* detail = "");

  Application& owner;
  uint32_t factor = 0;
  std::unique_ptr<AirspyReceiver> receiver;
  // The request until deviceInit has chosen; 64 bits, so that no option value wraps into a rate.
  uint64_t sampleRate;

  std::thread watchdog;
  std::mutex watchMutex;
  std::condition_variable watchWake;
  bool watchEnd = false;
  std::atomic<bool> runEnded{false};
};

// Opens the receiver chosen by the options "airspy-sn" or "airspy" through driver and configures
// it; throws SdrAirspyException.
std::unique_ptr<SdrAirspyDevice> openAirspyDevice(Application& application, AirspyDriver& driver);
