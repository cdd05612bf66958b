#pragma once
// The librtlsdr calls the RTL2832 source makes, behind an interface so that a simulated dongle can
// stand in for the USB library. Results are librtlsdr's: 0 on success unless said otherwise.

#include <cstdint>
#include <memory>

// Called on the thread inside readAsync for every filled USB buffer.
using RtlSamplesCallback = void (*)(unsigned char* buffer, uint32_t length, void* context);

// One open dongle. Destroying it closes it when close() has not been called.
class RtlDongle {
 public:
  virtual ~RtlDongle() = default;
  virtual int close() = 0;
  virtual int setSampleRate(uint32_t rate) = 0;
  virtual int setCenterFreq(uint32_t frequency) = 0;
  // gains == nullptr: the number of gains; otherwise fills them (tenths of a dB) and returns the count.
  virtual int getTunerGains(int* gains) = 0;
  virtual int setFreqCorrection(int ppm) = 0;
  virtual int setTunerGainMode(int manual) = 0;
  virtual int setTunerGain(int tenthsOfDb) = 0;
  virtual int setAgcMode(int on) = 0;
  virtual int resetBuffer() = 0;
  // Blocks, calling callback for each buffer, until cancelAsync (or the dongle fails).
  virtual int readAsync(RtlSamplesCallback callback, void* context, uint32_t bufferCount,
                        uint32_t bufferLength) = 0;
  // Non-zero while no asynchronous read is running.
  virtual int cancelAsync() = 0;
};

class RtlDriver {
 public:
  virtual ~RtlDriver() = default;
  virtual uint32_t deviceCount() = 0;
  // Each buffer holds 256 bytes.
  virtual int deviceUsbStrings(uint32_t index, char* manufacturer, char* product, char* serial) = 0;
  // 0 and a dongle on success.
  virtual int open(uint32_t index, std::unique_ptr<RtlDongle>& dongle) = 0;
};

// The driver over librtlsdr and the USB devices of this machine.
RtlDriver& systemRtlDriver();
