#pragma once
// A demodulator: started before its source, stopped after it; the source's thread calls process.

#include <cstdint>

class SdrDecoder {
 public:
  virtual ~SdrDecoder() = default;
  // Consumes samples[from] up to, not including, samples[to], wrapping at ringSize.
  virtual void process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
};
