#pragma once
// A sample source: started and stopped once, delivering samples to the demodulator on its own thread(s).

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class Application;
class SdrDecoder;

class SdrException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SdrRtlException : public SdrException {
 public:
  using SdrException::SdrException;
};

class SdrAirspyException : public SdrException {
 public:
  using SdrException::SdrException;
};

class SdrFilereaderException : public SdrException {
 public:
  using SdrException::SdrException;
};

class SdrDevice {
 public:
  virtual ~SdrDevice() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
  // Sample rate divided by 2,000,000.
  virtual uint32_t oversamplingFactor() = 0;
  // Each source names the demodulator that reads its samples; the start step calls this once.
  virtual std::unique_ptr<SdrDecoder> createDecoder(Application& application) = 0;
};
