#include "sdr/rtl_device.h"

#include "app/application.h"
#include "app/logger.h"
#include "sdr/rtl_decoder.h"
#include "sdr/rtl_device_list.h"
#include "sdr/rtl_driver.h"
#include "sdr/sdr_decoder.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

SdrRtlException rtlError(const char* call) { return SdrRtlException(std::string(call) + ": " + std::strerror(errno)); }

std::string withoutLeadingZeros(const std::string& text) {
  const size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? text : text.substr(first);
}

std::string oneDecimal(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The USB library's "no device" result: the read ended because the dongle went away.
constexpr int usbNotFound = -5;

}  // namespace

bool rtlSerialMatches(const std::string& dongleSerial, const std::string& wanted) {
  return dongleSerial == wanted || withoutLeadingZeros(dongleSerial) == withoutLeadingZeros(wanted);
}

SdrRtlDevice::SdrRtlDevice(Application& application, RtlDriver& driver)
    : application(application), driver(driver), ring(new uint32_t[ringCapacity]()) {}

SdrRtlDevice::~SdrRtlDevice() {
  // Threads left running would outlive the ring they write; end them rather than detach them.
  stopFlag = true;
  if (usbReader.joinable() || sampleConsumer.joinable()) {
    if (dongle) cancelReading();
    joinThreads();
  }
  if (dongle) dongle->close();
}

std::unique_ptr<SdrDecoder> SdrRtlDevice::createDecoder(Application& owner) {
  return std::make_unique<SdrRtlDecoder>(owner);
}

uint32_t SdrRtlDevice::chooseIndex() {
  const Config& config = *application.config;
  if (config.deviceSerial.empty()) return config.deviceIndex;
  const uint32_t count = driver.deviceCount();
  for (uint32_t index = 0; index < count; ++index) {
    RtlUsbStrings strings;
    try {
      strings = rtlGetDeviceUsbStrings(driver, index);
    } catch (const SdrRtlException&) {
      continue;  // held by another program
    }
    if (rtlSerialMatches(strings.serial, config.deviceSerial)) return index;
  }
  throw SdrRtlException("Device Serial Not Found");
}

void SdrRtlDevice::open() {
  const Config& config = *application.config;
  const uint32_t index = chooseIndex();
  logInfo("Device:" + rtlDeviceDescription(driver, index));

  errno = 0;
  if (driver.open(index, dongle) != 0 || !dongle) {
    dongle.reset();
    throw rtlError("sdr_open()");
  }

  const auto closeAndThrow = [this](const char* call) {
    const SdrRtlException failure = rtlError(call);
    const int closed = dongle->close();
    dongle.reset();
    if (closed != 0) throw rtlError("sdr_close()");
    throw failure;
  };
  if (dongle->setSampleRate(sampleRate) != 0) closeAndThrow("sdr_set_sample_rate()");
  if (dongle->setCenterFreq(centerFrequency) != 0) closeAndThrow("sdr_set_freq()");

  const int gainCount = dongle->getTunerGains(nullptr);
  if (gainCount < 1) throw rtlError("sdr_get_tuner_gains()");
  std::vector<int> gains(static_cast<size_t>(gainCount));
  if (dongle->getTunerGains(gains.data()) != gainCount) throw rtlError("sdr_get_tuner_gains()");
  std::string line = "Supported Gains (dB): ";
  for (int gain : gains) line += " " + oneDecimal(gain / 10.0);
  logInfo(line);

  if (config.freqCorrection != 0 && dongle->setFreqCorrection(config.freqCorrection) != 0) {
    throw rtlError("sdr_set_freq_corection()");
  }
  logInfo("Freq Correction: " + std::to_string(config.freqCorrection) + " ppm");

  if (config.autoGain) {
    setTunerGainMode(false);
    logInfo("Gain: Auto");
  } else {
    setTunerGainMode(true);
    // In float, as the option was parsed: 49.6 gives 496 tenths, not 495.
    const float tenths = config.gain * 10.0f;
    if (dongle->setTunerGain(static_cast<int>(std::floor(tenths))) != 0) throw rtlError("sdr_set_gain()");
    logInfo("Gain: " + oneDecimal(config.gain) + " dB");
  }

  setAgcMode(config.agc);
  logInfo(config.agc ? "AGC: On" : "AGC: Off");
}

void SdrRtlDevice::setTunerGainMode(bool manual) {
  if (!dongle || dongle->setTunerGainMode(manual ? 1 : 0) != 0) throw rtlError("sdr_set_tuner_gain_mode()");
}

void SdrRtlDevice::setAgcMode(bool on) {
  if (!dongle || dongle->setAgcMode(on ? 1 : 0) != 0) throw rtlError("sdr_set_agc_mode()");
}

void SdrRtlDevice::start() {
  stopFlag = false;
  usbReader = std::thread([this] { usbReaderThread(); });
  sampleConsumer = std::thread([this] { decoderFeedThread(); });
}

void SdrRtlDevice::usbReaderThread() {
  try {
    readSamples();
  } catch (const SdrRtlException& e) {
    // The dongle failed or went away: nothing more will arrive, so end the run, as a failure.
    logError(e.what());
    application.setExitStatus(1);
    application.stop();
  }
}

void SdrRtlDevice::readSamples() {
  if (!dongle || dongle->resetBuffer() != 0) throw rtlError("sdr_reset()");
  {
    std::lock_guard<std::mutex> lock(asyncMutex);
    if (stopFlag) return;  // stopped before streaming began
    asyncEntered = true;
  }
  errno = 0;
  const int result = dongle->readAsync(&SdrRtlDevice::onUsbSamples, this, usbBufferCount, usbBufferLength);
  {
    std::lock_guard<std::mutex> lock(asyncMutex);
    asyncReturned = true;
  }
  if (result != 0 && result != usbNotFound) throw rtlError("sdr_read()");
  // A read that ends without being cancelled means the dongle stopped streaming (unplugged).
  if (!stopFlag) throw rtlError("sdr_read()");
}

void SdrRtlDevice::onUsbSamples(unsigned char* buffer, uint32_t length, void* context) {
  if (context == nullptr || buffer == nullptr) return;
  static_cast<SdrRtlDevice*>(context)->storeSamples(buffer, length);
}

void SdrRtlDevice::storeSamples(const unsigned char* buffer, uint32_t length) {
  if (!ring || stopFlag || length < 2) return;
  const uint32_t read = readPosition.load();
  uint32_t write = writePosition.load();
  const uint32_t free = read > write ? read - write : read < write ? read + capacity - write : capacity;
  const uint32_t pairs = length / 2;
  // Filling the last free slot would make a full ring look empty.
  if (pairs >= free) {
    logError("Lost data");
    return;
  }
  for (uint32_t k = 0; k < pairs; ++k) {
    ring[write] = rtlMagnitude(buffer[2 * k], buffer[2 * k + 1]);
    if (++write == capacity) write = 0;
  }
  writePosition.store(write);
}

void SdrRtlDevice::decoderFeedThread() {
  while (!stopFlag) {
    const uint32_t read = readPosition.load();
    const uint32_t write = writePosition.load();
    if (read == write) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    application.decoder->process(ring.get(), read, write, capacity);
    readPosition.store(write);
  }
}

void SdrRtlDevice::cancelReading() {
  // The reader may have entered readAsync before the library has its read running; a cancel
  // then fails and is tried again until it takes or the read has ended.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(asyncMutex);
      if (!usbReader.joinable() || !asyncEntered || asyncReturned) return;
      if (dongle->cancelAsync() == 0) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void SdrRtlDevice::joinThreads() {
  const auto self = std::this_thread::get_id();
  if (usbReader.joinable() && usbReader.get_id() != self) usbReader.join();
  if (sampleConsumer.joinable() && sampleConsumer.get_id() != self) sampleConsumer.join();
}

void SdrRtlDevice::stop() {
  stopFlag = true;
  if (!dongle) throw rtlError("sdr_cancel()");  // already stopped: nothing to cancel or close
  // The reader checks the stop flag under asyncMutex before it starts reading, so once we have
  // looked here it either never reads or its read is cancelled.
  cancelReading();
  joinThreads();
  errno = 0;
  const int closed = dongle->close();
  dongle.reset();
  // Raising here would cut the stop step short; the dongle handle is gone either way.
  if (closed != 0) logError(rtlError("sdr_close()").what());
}

std::unique_ptr<SdrRtlDevice> openRtlDevice(Application& application, RtlDriver& driver) {
  auto device = std::make_unique<SdrRtlDevice>(application, driver);
  device->open();
  return device;
}
