#pragma once
// The demodulator for an Airspy receiver: builds the Airspy demodulator and its worker threads at
// start, tears them down at stop, and hands the merged frames to the frame pipeline. The samples
// do not pass through here: the receiver's callback gives each block to the demodulator directly.

#include "sdr/sdr_decoder.h"

#include <cstdint>
#include <memory>
#include <stdexcept>

class AirspyDemodulator;
class Application;

class AirspyDecoderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SdrAirspyDecoder : public SdrDecoder {
 public:
  SdrAirspyDecoder(Application& owner, uint32_t decimation, uint32_t fecBits, uint32_t workers, bool packing);
  ~SdrAirspyDecoder() override;

  // Copies the low 16 bits of each value and demodulates them as one block; no source of ours
  // calls it (the receiver's callback feeds the demodulator directly). Indices outside the ring
  // are refused.
  void process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) override;
  // Throws AirspyDecoderError when the owner's input is not an Airspy receiver.
  void start() override;
  // Joins the worker threads and frees the demodulator; the input has stopped by now.
  void stop() override;

  // Null before start and after stop.
  AirspyDemodulator* demodulator() { return core.get(); }
  uint32_t phaseCount() const { return phases; }

  static void frameCallback(const uint8_t* bytes, uint32_t length, uint16_t level, uint64_t time, bool crcClean,
                            void* decoder);

 private:
  std::unique_ptr<AirspyDemodulator> core;
  Application& owner;
  uint32_t phases = 0;
  uint32_t decimation;
  uint32_t fecBits;
  uint32_t workers;
  bool packing;
};

// The pipeline's one-byte signal level for a frame level of 1 ... 65,535. It grows with the
// signal's power as the RTL demodulator's byte does (12 for the weakest frame, 255 where the
// level saturates), so that levels read alike on both paths.
uint8_t airspySignalByte(uint16_t level);
