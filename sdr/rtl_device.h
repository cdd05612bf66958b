#pragma once
// The RTL2832 dongle as a sample source: 8-bit I/Q from USB turned into magnitudes in a lock-free
// single-producer/single-consumer ring, handed to the demodulator on a consumer thread.

#include "sdr/sdr_device.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class Application;
class RtlDongle;
class RtlDriver;

class SdrRtlDevice : public SdrDevice {
 public:
  static constexpr uint32_t ringCapacity = 2621440;
  static constexpr uint32_t sampleRate = 2000000;
  static constexpr uint32_t centerFrequency = 1090000000;
  static constexpr uint32_t usbBufferCount = 4;
  static constexpr uint32_t usbBufferLength = 262144;

  SdrRtlDevice(Application& application, RtlDriver& driver);
  ~SdrRtlDevice() override;
  SdrRtlDevice(const SdrRtlDevice&) = delete;
  SdrRtlDevice& operator=(const SdrRtlDevice&) = delete;

  // Chooses, opens and configures the dongle from the owner's Config; throws SdrRtlException.
  void open();

  void start() override;
  // Ends streaming, joins both threads and closes the dongle.
  void stop() override;
  uint32_t oversamplingFactor() override { return 1; }
  std::unique_ptr<SdrDecoder> createDecoder(Application& application) override;

  void setTunerGainMode(bool manual);
  void setAgcMode(bool on);

  // The USB buffer callback (context: the device). Runs on the USB reader thread.
  static void onUsbSamples(unsigned char* buffer, uint32_t length, void* context);

  const uint32_t* sampleRing() const { return ring.get(); }
  uint32_t readIndex() const { return readPosition.load(); }
  uint32_t writeIndex() const { return writePosition.load(); }

 private:
  void storeSamples(const unsigned char* buffer, uint32_t length);
  uint32_t chooseIndex();
  void usbReaderThread();
  void readSamples();
  void decoderFeedThread();
  // Ends a running asynchronous read, also one that is only just beginning.
  void cancelReading();
  void joinThreads();

  Application& application;
  RtlDriver& driver;
  std::atomic<bool> stopFlag{false};
  std::unique_ptr<RtlDongle> dongle;
  std::thread usbReader;
  std::thread sampleConsumer;
  std::unique_ptr<uint32_t[]> ring;
  const uint32_t capacity = ringCapacity;
  std::atomic<uint32_t> readPosition{0};
  std::atomic<uint32_t> writePosition{0};

  // Whether the reader thread has gone into, or come back from, the asynchronous read; so that
  // stop knows whether there is a read to cancel.
  std::mutex asyncMutex;
  bool asyncEntered = false;
  bool asyncReturned = false;
};

// Opens the dongle chosen by the options "device-index" or "device-serial" through driver.
std::unique_ptr<SdrRtlDevice> openRtlDevice(Application& application, RtlDriver& driver);

// The magnitude of one 8-bit I/Q pair: (2I - 255)^2 + (2Q - 255)^2.
inline uint32_t rtlMagnitude(uint8_t i, uint8_t q) {
  const int32_t x = 2 * static_cast<int32_t>(i) - 255;
  const int32_t y = 2 * static_cast<int32_t>(q) - 255;
  return static_cast<uint32_t>(x * x + y * y);
}

// "00000001" and "1" name the same dongle; a serial of zeros only is kept as it is.
bool rtlSerialMatches(const std::string& dongleSerial, const std::string& wanted);
