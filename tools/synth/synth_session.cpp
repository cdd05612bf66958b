#include "tools/synth/synth_session.h"

#include <cmath>

SynthSentFrame synthSentFrame(const SynthTransmission& tx, uint32_t factor) {
  SynthSentFrame f;
  const double whole = std::floor(tx.start);
  f.sample = static_cast<uint64_t>(whole);
  f.offset = tx.start - whole;
  f.timestamp = f.sample * 6 / factor;
  f.bytes.assign(tx.frame.bytes, tx.frame.bytes + tx.frame.length);
  f.length = tx.frame.length;
  f.levelDb = tx.levelDb;
  for (int i = 0; i < tx.flipCount; ++i) f.flips.push_back(tx.flips[i]);
  f.overlap = tx.overlap;
  f.kind = tx.kind;
  return f;
}

SynthSession::SynthSession(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding, uint64_t endSample)
    : type(type),
      factor(synthOversamplingFactor(type)),
      endSample(endSample),
      margin(scenario.riseTimeNs / 1000 * 2.0 * factor + 2),
      traffic(scenario, factor),
      renderer(scenario, type, coding) {
  haveUpcoming = traffic.next(upcoming);
}

uint32_t SynthSession::renderChunk(uint8_t* out, uint32_t count, std::vector<SynthSentFrame>& sent) {
  uint64_t n = std::min<uint64_t>(count, SynthRenderer::chunkSamples);
  const uint64_t at = renderer.position();
  if (endSample) n = at >= endSample ? 0 : std::min<uint64_t>(n, endSample - at);
  if (n == 0) return 0;
  const double windowSamples = 240.0 * factor;
  while (haveUpcoming && upcoming.start < static_cast<double>(at + n) + margin) {
    if (endSample && upcoming.start + windowSamples > static_cast<double>(endSample)) {
      haveUpcoming = false;  // starts are ordered: nothing later fits either
      break;
    }
    renderer.add(upcoming);
    sent.push_back(synthSentFrame(upcoming, factor));
    haveUpcoming = traffic.next(upcoming);
  }
  renderer.render(static_cast<uint32_t>(n), out);
  return static_cast<uint32_t>(n);
}

SynthFileResult synthesiseToMemory(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding,
                                   std::vector<uint8_t>& bytes) {
  SynthFileResult result;
  result.samples = static_cast<uint64_t>(std::llround(scenario.duration * static_cast<double>(synthSampleRate(type))));
  const uint32_t width = synthBytesPerPair(type);
  bytes.assign(result.samples * width, 0);
  SynthSession session(scenario, type, coding, result.samples);
  uint64_t done = 0;
  while (uint32_t n = session.renderChunk(bytes.data() + done * width, SynthRenderer::chunkSamples, result.frames))
    done += n;
  return result;
}
