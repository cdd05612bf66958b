#pragma once
// One recall run: a scenario synthesised in memory as one file type, converted as the file
// reader converts it and demodulated in-process, the frames collected instead of decoded.

#include <cstdint>
#include <vector>

#include "tools/synth/iq_format.h"
#include "tools/synth/scenario.h"
#include "tools/synth/sent_list.h"

struct RecallFrame {
  std::vector<uint8_t> bytes;
  uint64_t timestamp = 0;  // 12 MHz ticks
  uint8_t signal = 0;
};

struct RecallRun {
  uint32_t factor = 1;
  uint64_t samples = 0;
  std::vector<SynthSentFrame> sent;
  std::vector<RecallFrame> frames;
  double processSeconds = 0;  // wall time spent inside process() only
};

// rbs: the I/Q demodulator also looks for Mode A/C replies (the Airspy one has no such detector).
RecallRun runRecall(const SynthScenario& scenario, SynthIqType type, bool rbs = false);
