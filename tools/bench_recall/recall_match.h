#pragma once
// Matches the frames a run produced against the frames it sent: same bytes, and a timestamp
// within a tolerance of where the frame really arrived.
//
// A frame whose leading edge is at exact sample position t (sample + offset) ideally comes
// out stamped (t + 240 x factor - 1) x 6 / factor: the newest sample of a window that starts
// at t. At 2 MS/s one sample is 6 ticks, so even a perfect detector is up to 3 ticks off.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "tools/bench_recall/recall_run.h"

struct RecallTally {
  size_t sent = 0;
  size_t sentLong = 0;
  size_t recovered = 0;
  size_t recoveredLong = 0;
  // Frames out that match nothing sent. Parity-checked: DF 11 (short) and DF 17-19 (long),
  // whose parity the demodulator tested; the rest carry address/parity it cannot test.
  size_t falseParity = 0;
  size_t falseOther = 0;
  // Of the unmatched frames: the bytes of a sent frame, at the wrong time or a second time.
  size_t falseCopies = 0;
  // Of falseOther: address/parity that yields one of the sent addresses, so that an address
  // filter downstream would let it through.
  size_t falseOtherKnownAddress = 0;
  std::map<uint32_t, size_t> falseOtherByDf;
  // Output timestamp minus the ideal one, whole ticks (rounded), for every byte match
  // found within the search range, inside the tolerance or not.
  std::map<long, size_t> deltas;
  // Recovered frames stamped more than 3 ticks (half a 2 MS/s sample) from the true arrival.
  size_t recoveredOffTime = 0;
  // Indices into the run's sent list of the frames not recovered, and into the run's output
  // of the parity-checked frames that match nothing.
  std::vector<size_t> missed;
  std::vector<size_t> falseParityFrames;
};

// Mode A/C replies (length 2) against the replies sent. The detector stamps the window whose
// bin 1 (not bin 0, as for Mode S) holds F1: 6 to 12 ticks before the ideal Mode S stamp, so
// the tolerance is taken around 9 ticks before it.
struct ModeACTally {
  size_t sent = 0;
  size_t found = 0;
  // Copies of a reply already found, within 5 us of it; replies out that match nothing sent.
  size_t twice = 0;
  size_t falseReplies = 0;
  size_t out = 0;
};
ModeACTally matchModeAC(const RecallRun& run, double toleranceTicks);
// The run without its Mode A/C replies, sent and out, for the Mode S tally.
RecallRun withoutModeAC(const RecallRun& run);

double recallIdealTimestamp(const SynthSentFrame& frame, uint32_t factor);
bool recallParityChecked(const std::vector<uint8_t>& bytes);

RecallTally matchRecall(const RecallRun& run, double toleranceTicks);
