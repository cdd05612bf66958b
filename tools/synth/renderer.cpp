#include "tools/synth/renderer.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>

#include "tools/synth/gaussian_table.h"
#include "tools/synth/synth_random.h"

namespace {

// Integral of a unit step whose linear edge of width r is centred on 0.
double rampIntegral(double x, double r) {
  if (r <= 0) return x > 0 ? x : 0;
  if (x <= -r / 2) return 0;
  if (x >= r / 2) return x;
  const double u = x + r / 2;
  return u * u / (2 * r);
}

struct Pulse {
  double startUs;
  double endUs;
};

std::vector<Pulse> pulsesOf(const SynthTransmission& tx) {
  std::vector<Pulse> pulses;
  if (tx.modeAc) {
    // F1, 13 code slots 1.45 us apart (X, slot 7, is never sent), F2 at 20.3 us, SPI at 24.65 us.
    static const int slotBits[14] = {-1, 4, 12, 5, 13, 6, 14, -1, 8, 0, 9, 1, 10, 2};
    const double width = 0.45;
    pulses.push_back({0, width});
    for (int slot = 1; slot <= 13; ++slot)
      if (slotBits[slot] >= 0 && ((tx.modeAcPulses >> slotBits[slot]) & 1))
        pulses.push_back({slot * 1.45, slot * 1.45 + width});
    pulses.push_back({20.3, 20.3 + width});
    if (tx.modeAcPulses & 0x80) pulses.push_back({24.65, 24.65 + width});
    return pulses;
  }
  for (double at : {0.0, 1.0, 3.5, 4.5}) pulses.push_back({at, at + 0.5});
  const uint32_t bits = tx.onAir.length * 8;
  for (uint32_t i = 0; i < bits; ++i) {
    const bool one = (tx.onAir.bytes[i >> 3] >> (7 - (i & 7))) & 1;
    const double at = 8 + i + (one ? 0 : 0.5);  // a one is a pulse in the first half
    pulses.push_back({at, at + 0.5});
  }
  return pulses;
}

}  // namespace

SynthRenderer::SynthRenderer(const SynthScenario& scenario, SynthIqType type, SynthAirspyCoding coding)
    : type(type),
      coding(coding),
      samplesPerUs(2.0 * synthOversamplingFactor(type)),
      riseSamples(scenario.riseTimeNs / 1000 * 2.0 * synthOversamplingFactor(type)),
      sampleRate(static_cast<double>(synthSampleRate(type))),
      noise(scenario.noise),
      noiseSigma(static_cast<float>(std::pow(10.0, scenario.noiseFloorDbfs / 20) / std::sqrt(2.0))),
      rawScale(synthRawFullScale * std::pow(10.0, synthRawFloorShiftDb / 20)),
      seed(scenario.seed),
      signal(2 * chunkSamples) {
  if (synthIsRaw(type)) {
    // The floor is the noise in the reference band against a full-scale carrier (power
    // FS^2 / 2); real noise of variance sigma^2 spreads over fs / 2, so 2 MHz hold
    // sigma^2 x 4e6 / fs of it.
    const double inBand = synthRawFullScale * synthRawFullScale / 2 *
                          std::pow(10.0, (scenario.noiseFloorDbfs + synthRawFloorShiftDb) / 10);
    noiseSigma = static_cast<float>(std::sqrt(inBand * sampleRate / (2 * synthReferenceBandwidthHz)));
  }
}

std::vector<float> SynthRenderer::envelope(const SynthTransmission& tx, double samplesPerUs, double riseSamples,
                                           int64_t& first) {
  first = static_cast<int64_t>(std::floor(tx.start - riseSamples / 2)) - 1;
  const int64_t last = static_cast<int64_t>(std::ceil(tx.endSample(samplesPerUs) + riseSamples / 2)) + 1;
  std::vector<float> values(static_cast<size_t>(last - first), 0.0f);
  for (const Pulse& p : pulsesOf(tx)) {
    const double a = tx.start + p.startUs * samplesPerUs;
    const double b = tx.start + p.endUs * samplesPerUs;
    const int64_t from = static_cast<int64_t>(std::floor(a - riseSamples / 2));
    const int64_t to = static_cast<int64_t>(std::ceil(b + riseSamples / 2));
    for (int64_t n = from; n < to; ++n) {
      const double inside = (rampIntegral(n + 1 - a, riseSamples) - rampIntegral(n + 1 - b, riseSamples)) -
                            (rampIntegral(n - a, riseSamples) - rampIntegral(n - b, riseSamples));
      values[static_cast<size_t>(n - first)] += static_cast<float>(inside);
    }
  }
  return values;
}

void SynthRenderer::add(const SynthTransmission& tx) {
  Active a;
  a.envelope = envelope(tx, samplesPerUs, riseSamples, a.first);
  a.amplitude = tx.amplitude;
  a.step = 2 * M_PI * tx.frequencyHz / sampleRate;
  if (synthIsRaw(type)) {
    a.amplitude *= rawScale;
    a.step += M_PI / 2;
  }
  a.phase = tx.phase + a.step * (static_cast<double>(a.first) + 0.5 - tx.start);
  active.push_back(std::move(a));
}

void SynthRenderer::render(uint32_t count, uint8_t* out) {
  count = std::min(count, chunkSamples);
  if (synthIsRaw(type)) {
    renderReal(count, out);
    next += count;
    return;
  }
  std::fill(signal.begin(), signal.begin() + 2 * count, 0.0f);
  const int64_t begin = static_cast<int64_t>(next);
  const int64_t end = begin + count;
  for (const Active& a : active) {
    const int64_t from = std::max(begin, a.first);
    const int64_t to = std::min(end, a.first + static_cast<int64_t>(a.envelope.size()));
    if (from >= to) continue;
    std::complex<double> phasor = std::polar(a.amplitude, a.phase + a.step * static_cast<double>(from - a.first));
    const std::complex<double> rotation = std::polar(1.0, a.step);
    for (int64_t n = from; n < to; ++n) {
      const double e = a.envelope[static_cast<size_t>(n - a.first)];
      float* s = &signal[static_cast<size_t>(2 * (n - begin))];
      s[0] += static_cast<float>(e * phasor.real());
      s[1] += static_cast<float>(e * phasor.imag());
      phasor *= rotation;
    }
  }
  active.erase(std::remove_if(active.begin(), active.end(),
                              [end](const Active& a) { return a.first + static_cast<int64_t>(a.envelope.size()) <= end; }),
               active.end());

  if (type == SynthIqType::Rtl) {
    addNoiseAndStore(count, out, [](float x, uint8_t* p) {
      const float v = std::clamp(127.5f + 127.5f * x, 0.0f, 255.0f);
      *p = static_cast<uint8_t>(v + 0.5f);
    });
  } else if (coding == SynthAirspyCoding::Absolute) {
    addNoiseAndStore(count, out, [](float x, uint8_t* p) {
      const uint32_t v = static_cast<uint32_t>(std::min(std::fabs(x) * static_cast<float>(synthAirspyFullScale) + 0.5f, 32767.0f));
      p[0] = static_cast<uint8_t>(v & 0xFF);
      p[1] = static_cast<uint8_t>(v >> 8);
    });
  } else {
    addNoiseAndStore(count, out, [](float x, uint8_t* p) {
      const float v = std::clamp(x * static_cast<float>(synthAirspyFullScale), -32768.0f, 32767.0f);
      const uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(std::lrint(v)));
      p[0] = static_cast<uint8_t>(u & 0xFF);
      p[1] = static_cast<uint8_t>(u >> 8);
    });
  }
  next += count;
}

void SynthRenderer::renderReal(uint32_t count, uint8_t* out) {
  const int64_t begin = static_cast<int64_t>(next);
  const int64_t end = begin + count;
  std::fill(signal.begin(), signal.begin() + count, 0.0f);
  for (const Active& a : active) {
    const int64_t from = std::max(begin, a.first);
    const int64_t to = std::min(end, a.first + static_cast<int64_t>(a.envelope.size()));
    // The phase from the sample index alone, so that a sample is the same however the
    // stream is cut into calls.
    for (int64_t n = from; n < to; ++n) {
      const double e = a.envelope[static_cast<size_t>(n - a.first)];
      if (e != 0)
        signal[static_cast<size_t>(n - begin)] +=
            static_cast<float>(a.amplitude * e * std::cos(a.phase + a.step * static_cast<double>(n - a.first)));
    }
  }
  active.erase(std::remove_if(active.begin(), active.end(),
                              [end](const Active& a) { return a.first + static_cast<int64_t>(a.envelope.size()) <= end; }),
               active.end());

  auto store = [out](uint32_t i, float x) {
    const uint16_t v = static_cast<uint16_t>(std::clamp(x + (synthRawZero + 0.5f), 0.0f, static_cast<float>(synthRawMax)));
    std::memcpy(out + 2 * i, &v, sizeof v);
  };
  if (!noise) {
    for (uint32_t i = 0; i < count; ++i) store(i, signal[i]);
    return;
  }
  // Noise in blocks of fixed stream positions, each from its own seed, for the same reason.
  constexpr uint64_t block = 1024;
  const float* table = synthGaussianTable();
  const float sigma = noiseSigma;
  uint64_t n = next;
  const uint64_t stop = next + count;
  while (n < stop) {
    const uint64_t b = n / block;
    const uint64_t blockEnd = std::min(stop, (b + 1) * block);
    SynthRandom random(seed ^ (b * 0x9E3779B97F4A7C15ull) ^ 0x2EA15EEDull);
    for (uint64_t skip = (n % block) / 4; skip > 0; --skip) random.next();
    while (n < blockEnd) {
      uint64_t r = random.next() >> (16 * (n & 3));  // four samples a number
      do {
        const uint32_t i = static_cast<uint32_t>(n - next);
        store(i, signal[i] + sigma * table[r & 0xFFFF]);
        r >>= 16;
        ++n;
      } while ((n & 3) != 0 && n < blockEnd);
    }
  }
}

template <typename Store>
void SynthRenderer::addNoiseAndStore(uint32_t count, uint8_t* out, Store store) {
  const uint32_t width = synthBytesPerPair(type) / 2;
  if (!noise) {
    for (uint32_t i = 0; i < 2 * count; ++i) store(signal[i], out + i * width);
    return;
  }
  // Noise depends only on the seed and the sample position, not on what else was rendered.
  SynthRandom random(seed ^ (next * 0x9E3779B97F4A7C15ull) ^ 0x5EED);
  const float* table = synthGaussianTable();
  const float sigma = noiseSigma;
  uint32_t i = 0;
  for (; i + 4 <= 2 * count; i += 4) {
    const uint64_t r = random.next();
    store(signal[i] + sigma * table[r & 0xFFFF], out + i * width);
    store(signal[i + 1] + sigma * table[(r >> 16) & 0xFFFF], out + (i + 1) * width);
    store(signal[i + 2] + sigma * table[(r >> 32) & 0xFFFF], out + (i + 2) * width);
    store(signal[i + 3] + sigma * table[r >> 48], out + (i + 3) * width);
  }
  for (; i < 2 * count; ++i) store(signal[i] + sigma * table[random.next() & 0xFFFF], out + i * width);
}
