#pragma once
// A device that delivers no samples itself: buffers are handed straight to its RTL decoder, which
// reads the oversampling factor from it at start. For benchmarks and tests of the demodulator.

#include "sdr/rtl_decoder.h"
#include "sdr/sdr_device.h"

#include <cstdint>
#include <memory>

class FixedFactorDevice : public SdrDevice {
 public:
  explicit FixedFactorDevice(uint32_t factor) : factor(factor) {}
  void start() override {}
  void stop() override {}
  uint32_t oversamplingFactor() override { return factor; }
  std::unique_ptr<SdrDecoder> createDecoder(Application& app) override { return std::make_unique<SdrRtlDecoder>(app); }

 private:
  uint32_t factor;
};
