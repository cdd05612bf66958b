#pragma once
// The demodulator for magnitude samples at 2 MS/s or a multiple of it: an RTL2832 dongle or an
// I/Q file. Construct it with its owner; the owner's device gives the factor at start.

#include "sdr/sdr_decoder.h"

class SdrRtlDecoder : public SdrDecoder {
 public:
  explicit SdrRtlDecoder(Application& owner) : SdrDecoder(owner) {}
  ~SdrRtlDecoder() override;
  // Factor 1 and 5 have routines of their own; any other factor takes the general one.
  void process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) override;
};
