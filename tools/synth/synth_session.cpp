#include "tools/synth/synth_session.h"

#include <cmath>
#include <stdexcept>

#include "tools/synth/raw_samples.h"

SynthSentFrame synthSentFrame(const SynthTransmission& tx, uint32_t factor, bool withDemod) {
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
  if (withDemod) f.demod = f.sample + 240ull * factor;
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
    sent.push_back(synthSentFrame(upcoming, factor, synthIsRaw(type)));
    haveUpcoming = traffic.next(upcoming);
  }
  renderer.render(static_cast<uint32_t>(n), out);
  return static_cast<uint32_t>(n);
}

size_t SynthSession::renderRaw(uint16_t* out, size_t count, std::vector<SynthSentFrame>& sent) {
  if (!synthIsRaw(type)) throw std::logic_error("SynthSession::renderRaw: not a real sample type");
  size_t done = 0;
  while (done < count) {
    const auto want = static_cast<uint32_t>(std::min<size_t>(count - done, SynthRenderer::chunkSamples));
    const uint32_t n = renderChunk(reinterpret_cast<uint8_t*>(out + done), want, sent);
    if (n == 0) break;
    done += n;
  }
  return done;
}

size_t SynthSession::renderRawPacked(uint32_t* out, size_t count, std::vector<SynthSentFrame>& sent) {
  unpacked.resize(count);
  const size_t n = renderRaw(unpacked.data(), count, sent);
  packRawSamples(unpacked.data(), n, out);
  return n;
}

uint64_t synthSampleCount(const SynthScenario& scenario, SynthIqType type) {
  return static_cast<uint64_t>(std::llround(scenario.duration * static_cast<double>(synthSampleRate(type))));
}

SynthFileResult synthesiseRawToMemory(const SynthScenario& scenario, SynthIqType type, std::vector<uint16_t>& samples) {
  SynthFileResult result;
  result.samples = synthSampleCount(scenario, type);
  samples.assign(result.samples, 0);
  SynthSession session(scenario, type, SynthAirspyCoding::Absolute, result.samples);
  session.renderRaw(samples.data(), samples.size(), result.frames);
  return result;
}

SynthFileResult synthesisePackedToMemory(const SynthScenario& scenario, SynthIqType type, std::vector<uint32_t>& words) {
  std::vector<uint16_t> samples;
  SynthFileResult result = synthesiseRawToMemory(scenario, type, samples);
  words.assign(synthPackedWords(samples.size()), 0);
  packRawSamples(samples.data(), samples.size(), words.data());
  return result;
}

SynthFileResult synthesiseToMemory(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding,
                                   std::vector<uint8_t>& bytes) {
  SynthFileResult result;
  result.samples = synthSampleCount(scenario, type);
  const uint32_t width = synthBytesPerPair(type);
  bytes.assign(result.samples * width, 0);
  SynthSession session(scenario, type, coding, result.samples);
  uint64_t done = 0;
  while (uint32_t n = session.renderChunk(bytes.data() + done * width, SynthRenderer::chunkSamples, result.frames))
    done += n;
  return result;
}
