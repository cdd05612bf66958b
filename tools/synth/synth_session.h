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

// withDemod: fill the demod column of the real types' lists.
SynthSentFrame synthSentFrame(const SynthTransmission& tx, uint32_t factor, bool withDemod = false);

class SynthSession {
 public:
  // endSample 0: endless. Otherwise only frames whose whole 120 us detection window fits
  // before endSample are sent, so that a window-based demodulator can find every listed frame.
  SynthSession(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding, uint64_t endSample);

  // Renders the next min(count, chunk, samples left) pairs into `out` and appends the frames
  // that begin in them to `sent`. Returns the number of pairs rendered (0 at the end).
  // Real types: samples, each one 16-bit host-order word.
  uint32_t renderChunk(uint8_t* out, uint32_t count, std::vector<SynthSentFrame>& sent);

  // Real types only, any count: the next `count` samples (fewer only at endSample), one a
  // word. The stream is the same however it is cut into calls.
  size_t renderRaw(uint16_t* out, size_t count, std::vector<SynthSentFrame>& sent);
  // The same packed: synthPackedWords(count) words, whole groups of 8 counted from this
  // call's first sample; when the stream ends inside a group it is padded with zero signal.
  // Returns the samples rendered (without the padding).
  size_t renderRawPacked(uint32_t* out, size_t count, std::vector<SynthSentFrame>& sent);

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
  std::vector<uint16_t> unpacked;  // renderRawPacked's samples before packing
};

struct SynthFileResult {
  uint64_t samples = 0;
  std::vector<SynthSentFrame> frames;
};

// The whole scenario duration in one buffer of file bytes (real types: unpacked).
SynthFileResult synthesiseToMemory(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding,
                                   std::vector<uint8_t>& bytes);

// Real types: the whole duration as samples, or packed as in a --packed file (the last
// group padded with zero signal). result.samples excludes the padding.
SynthFileResult synthesiseRawToMemory(const SynthScenario& scenario, SynthIqType type, std::vector<uint16_t>& samples);
SynthFileResult synthesisePackedToMemory(const SynthScenario& scenario, SynthIqType type, std::vector<uint32_t>& words);

// Samples (pairs for the I/Q types) in a file of the scenario's duration.
uint64_t synthSampleCount(const SynthScenario& scenario, SynthIqType type);
