#include "tools/bench_recall/recall_match.h"

#include <cmath>
#include <set>
#include <string>

#include "sdr/crc.h"

namespace {

// Byte matches this far off are still binned, to show where the misses' copies went.
constexpr double searchTicks = 60;

std::string keyOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

uint32_t frameDf(const std::vector<uint8_t>& bytes) { return bytes.empty() ? 32 : bytes[0] >> 3; }

// DF 0, 4, 5, 16, 20, 21: the parity field is the CRC XOR the address.
bool hasAddressParity(const std::vector<uint8_t>& bytes) {
  const uint32_t df = frameDf(bytes);
  const bool isLong = df == 16 || df == 20 || df == 21;
  return (isLong && bytes.size() == 14) || ((df == 0 || df == 4 || df == 5) && bytes.size() == 7);
}

uint32_t addressOf(const std::vector<uint8_t>& bytes) {
  const auto n = static_cast<uint32_t>(bytes.size());
  return modeSCrc(bytes.data(), n - 3) ^
         (uint32_t{bytes[n - 3]} << 16 | uint32_t{bytes[n - 2]} << 8 | uint32_t{bytes[n - 1]});
}

}  // namespace

double recallIdealTimestamp(const SynthSentFrame& frame, uint32_t factor) {
  return (static_cast<double>(frame.sample) + frame.offset + 240.0 * factor - 1) * 6 / factor;
}

bool recallParityChecked(const std::vector<uint8_t>& bytes) {
  const uint32_t df = frameDf(bytes);
  return (bytes.size() == 7 && df == 11) || (bytes.size() == 14 && df >= 17 && df <= 19);
}

RecallTally matchRecall(const RecallRun& run, double toleranceTicks) {
  RecallTally tally;
  tally.sent = run.sent.size();
  std::map<std::string, std::vector<size_t>> byBytes;
  std::set<uint32_t> addresses;
  for (size_t i = 0; i < run.sent.size(); ++i) {
    const SynthSentFrame& f = run.sent[i];
    if (f.length == 14) ++tally.sentLong;
    byBytes[keyOf(f.bytes)].push_back(i);
    // DF 11 and 17 carry the address in clear.
    if (f.length >= 7) addresses.insert((uint32_t{f.bytes[1]} << 16) | (uint32_t{f.bytes[2]} << 8) | f.bytes[3]);
  }
  std::vector<bool> matched(run.sent.size(), false);

  for (size_t k = 0; k < run.frames.size(); ++k) {
    const RecallFrame& out = run.frames[k];
    const auto candidates = byBytes.find(keyOf(out.bytes));
    size_t best = run.sent.size();
    double bestDelta = 0;
    if (candidates != byBytes.end()) {
      for (size_t i : candidates->second) {
        if (matched[i]) continue;
        const double delta = static_cast<double>(out.timestamp) - recallIdealTimestamp(run.sent[i], run.factor);
        if (best == run.sent.size() || std::fabs(delta) < std::fabs(bestDelta)) {
          best = i;
          bestDelta = delta;
        }
      }
    }
    if (best != run.sent.size() && std::fabs(bestDelta) <= searchTicks) ++tally.deltas[std::lround(bestDelta)];
    if (best != run.sent.size() && std::fabs(bestDelta) <= toleranceTicks) {
      matched[best] = true;
      ++tally.recovered;
      if (std::fabs(bestDelta) > 3) ++tally.recoveredOffTime;
      if (out.bytes.size() == 14) ++tally.recoveredLong;
      continue;
    }
    if (candidates != byBytes.end()) ++tally.falseCopies;
    if (recallParityChecked(out.bytes)) {
      ++tally.falseParity;
      tally.falseParityFrames.push_back(k);
    } else {
      ++tally.falseOther;
      ++tally.falseOtherByDf[frameDf(out.bytes)];
      if (hasAddressParity(out.bytes) && addresses.count(addressOf(out.bytes))) ++tally.falseOtherKnownAddress;
    }
  }
  for (size_t i = 0; i < run.sent.size(); ++i)
    if (!matched[i]) tally.missed.push_back(i);
  return tally;
}

ModeACTally matchModeAC(const RecallRun& run, double toleranceTicks) {
  ModeACTally tally;
  std::map<std::string, std::vector<size_t>> byBytes;
  for (size_t i = 0; i < run.sent.size(); ++i) {
    if (run.sent[i].length != 2) continue;
    ++tally.sent;
    byBytes[keyOf(run.sent[i].bytes)].push_back(i);
  }
  std::vector<bool> matched(run.sent.size(), false);
  for (const RecallFrame& out : run.frames) {
    if (out.bytes.size() != 2) continue;
    ++tally.out;
    const auto candidates = byBytes.find(keyOf(out.bytes));
    size_t best = run.sent.size();
    double bestDelta = 0;
    bool nearFound = false;
    if (candidates != byBytes.end()) {
      for (size_t i : candidates->second) {
        const double delta =
            static_cast<double>(out.timestamp) - (recallIdealTimestamp(run.sent[i], run.factor) - 9);
        if (matched[i]) {
          nearFound |= std::fabs(delta) <= 60;
        } else if (best == run.sent.size() || std::fabs(delta) < std::fabs(bestDelta)) {
          best = i;
          bestDelta = delta;
        }
      }
    }
    if (best != run.sent.size() && std::fabs(bestDelta) <= toleranceTicks) {
      matched[best] = true;
      ++tally.found;
    } else if (nearFound) {
      ++tally.twice;
    } else {
      ++tally.falseReplies;
    }
  }
  return tally;
}

RecallRun withoutModeAC(const RecallRun& run) {
  RecallRun modeS;
  modeS.factor = run.factor;
  modeS.samples = run.samples;
  modeS.processSeconds = run.processSeconds;
  for (const auto& f : run.sent)
    if (f.length != 2) modeS.sent.push_back(f);
  for (const auto& f : run.frames)
    if (f.bytes.size() != 2) modeS.frames.push_back(f);
  return modeS;
}
