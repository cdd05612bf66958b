#include "sdr/rtl_decoder.h"

SdrRtlDecoder::~SdrRtlDecoder() = default;

void SdrRtlDecoder::process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  dispatchByFactor(samples, from, to, ringSize);
}
