#pragma once
// One synthesis run: traffic, modulation and the list of sent frames, chunk by chunk, for a
// file of fixed length or an endless stream.

#include <cstdint>
#include <vector>

#include "tools/synth/iq_format.h"
#include "tools/synth/renderer.h"
#include "tools/synth/scenario.h"
#include "tools/synth/sent_list.h"
#include "tools/synth/traffic.h"

SynthSentFrame synthSentFrame(const SynthTransmission& tx, uint32_t factor);

class SynthSession {
 public:
  // endSample 0: endless. Otherwise only frames whose whole 120 us detection window fits
  // before endSample are sent, so that a window-based demodulator can find every listed frame.
  SynthSession(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding, uint64_t endSample);

  // Renders the next min(count, chunk, samples left) pairs into `out` and appends the frames
  // that begin in them to `sent`. Returns the number of pairs rendered (0 at the end).
  uint32_t renderChunk(uint8_t* out, uint32_t count, std::vector<SynthSentFrame>& sent);

  uint64_t position() const { return renderer.position(); }
  SynthIqType iqType() const { return type; }

 private:
  SynthIqType type;
  uint32_t factor;
  uint64_t endSample;
  double margin;  // samples of lead before a frame's nominal start (rise time, rounding)
  SynthTraffic traffic;
  SynthRenderer renderer;
  SynthTransmission upcoming;
  bool haveUpcoming;
};

struct SynthFileResult {
  uint64_t samples = 0;
  std::vector<SynthSentFrame> frames;
};

// The whole scenario duration in one buffer of file bytes.
SynthFileResult synthesiseToMemory(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding,
                                   std::vector<uint8_t>& bytes);
