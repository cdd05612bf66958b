#pragma once
// Modulation: turns transmissions into complex baseband samples with noise and writes them
// in an I/Q file type's coding, or, for the real types, into a real carrier at a quarter of
// the sample rate (the tuned frequency of a receiver whose IF is fs/4).
//
// Each pulse is a trapezoid whose linear edges (the rise time) are centred on the nominal
// edge, so two touching pulses add up to one long pulse. A sample holds the pulse envelope
// averaged over its own interval (an integrate-and-dump front end), which is what makes a
// 0.5 us pulse straddling two 2 MS/s samples split its energy between them. Every
// transmission has its own carrier phase and the frequency offset of its aircraft.

#include <cstdint>
#include <vector>

#include "tools/synth/iq_format.h"
#include "tools/synth/scenario.h"
#include "tools/synth/traffic.h"

class SynthRenderer {
 public:
  static constexpr uint32_t chunkSamples = 65536;

  SynthRenderer(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding);

  // Starts modulating a transmission. Add it before rendering the chunk its first pulse
  // falls in (its start minus one sample is enough).
  void add(const SynthTransmission& tx);

  // Renders the next `count` (at most chunkSamples) sample pairs into `out`, which holds
  // count x synthBytesPerPair(type) bytes. Real types: one 16-bit host-order word a sample,
  // and the samples do not depend on how the stream is cut into calls.
  void render(uint32_t count, uint8_t* out);

  // Pulse envelope of a transmission, one value per sample from `first` on, scaled so that a
  // sample fully inside a pulse is 1.
  static std::vector<float> envelope(const SynthTransmission& tx, double samplesPerUs, double riseSamples,
                                     int64_t& first);

  uint64_t position() const { return next; }

 private:
  struct Active {
    int64_t first;
    std::vector<float> envelope;
    double amplitude;
    double phase;  // at sample `first`, centre of the sample
    double step;   // radians per sample (real types: the fs/4 carrier's included)
  };

  template <typename Store>
  void addNoiseAndStore(uint32_t count, uint8_t* out, Store store);
  void renderReal(uint32_t count, uint8_t* out);

  SynthIqType type;
  SynthAirspyCoding coding;
  double samplesPerUs;
  double riseSamples;
  double sampleRate;
  bool noise;
  float noiseSigma;  // per component, full-scale units; real types: counts
  double rawScale;   // real types: counts per unit of transmission amplitude
  uint64_t seed;
  uint64_t next = 0;
  std::vector<Active> active;
  std::vector<float> signal;  // interleaved I, Q of the chunk; real types: one value a sample
};
