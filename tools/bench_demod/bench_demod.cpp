// Demodulator throughput: one second of synthetic input (receiver noise, 2,000 Mode S frames and,
// for the "rbs" runs, 1,000 Mode A/C replies at random times and phases) fed through process in
// blocks of 65,536 samples, as the file reader does. The "realtime" counter is seconds of
// input demodulated per second of CPU: the multiple of real time. "modeS/s" counts every frame
// handed on, "parity/s" those with a parity test here (DF 11, 17, 18, 19); the rest include
// short frames sliced from noise, which the pipeline's filter rejects.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "app/application.h"
#include "app/config.h"
#include "sdr/crc.h"
#include "sdr/rtl_decoder.h"
#include "sdr/fixed_factor_device.h"
#include "sdr/sdr_device.h"

namespace {

constexpr uint32_t blockSamples = 65536;
constexpr uint32_t framesPerSecond = 2000;
constexpr uint32_t repliesPerSecond = 1000;

std::vector<uint8_t> randomFrame(std::mt19937& random) {
  static const uint8_t formats[] = {17, 17, 17, 17, 18, 11, 11, 11, 4, 5, 20, 21, 0};
  const uint8_t df = formats[random() % sizeof formats];
  const size_t length = df >= 16 ? 14 : 7;
  std::vector<uint8_t> bytes(length);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  bytes[0] = static_cast<uint8_t>(df << 3 | (bytes[0] & 7));
  if (df == 17 || df == 18 || df == 11) {
    const uint32_t crc = modeSCrc(bytes.data(), static_cast<uint32_t>(length - 3));
    bytes[length - 3] = static_cast<uint8_t>(crc >> 16);
    bytes[length - 2] = static_cast<uint8_t>(crc >> 8);
    bytes[length - 1] = static_cast<uint8_t>(crc);
  }
  return bytes;
}

// Adds a rectangular pulse to the envelope, each sample taking the part that falls into it.
void addPulse(std::vector<float>& envelope, double startNs, double lengthNs, double periodNs, float amplitude) {
  const double end = startNs + lengthNs;
  for (size_t i = static_cast<size_t>(startNs / periodNs); i < envelope.size() && i * periodNs < end; ++i) {
    const double lo = std::max(i * periodNs, startNs), hi = std::min((i + 1) * periodNs, end);
    if (hi > lo) envelope[i] += static_cast<float>(amplitude * (hi - lo) / periodNs);
  }
}

struct Input {
  std::vector<uint32_t> magnitudes;
};

// Factor 1 as an RTL dongle delivers it (8-bit I/Q around 127.5); other factors as a 12-bit
// receiver (signed I/Q, magnitude I^2 + Q^2).
const Input& input(uint32_t factor, bool modeAC) {
  static std::vector<std::unique_ptr<Input>> made(12);
  auto& slot = made[factor * 2 + (modeAC ? 1 : 0)];
  if (slot) return *slot;
  slot = std::make_unique<Input>();

  const uint32_t samples = 2000000 * factor;
  const double period = 500.0 / factor;
  std::mt19937 random(factor * 31 + modeAC);
  std::vector<float> envelope(samples, 0.0f), phase(samples, 0.0f);
  const bool rtl = factor == 1;
  std::uniform_real_distribution<float> level(rtl ? 8.0f : 150.0f, rtl ? 60.0f : 1200.0f);
  std::uniform_real_distribution<float> angle(0.0f, 6.2831853f);

  // Replies start at random times in slots long enough for one frame each.
  const auto place = [&](uint32_t count, double lengthNs, const auto& draw) {
    const double slotNs = 1e9 / count;
    for (uint32_t k = 0; k < count; ++k) {
      const double start = k * slotNs + std::uniform_real_distribution<double>(0, slotNs - lengthNs - 1000)(random);
      const float a = level(random), p = angle(random);
      draw(start, a);
      const size_t first = static_cast<size_t>(start / period);
      const size_t last = std::min<size_t>(samples, static_cast<size_t>((start + lengthNs) / period) + 2);
      for (size_t i = first; i < last; ++i) phase[i] = p;
    }
  };
  place(framesPerSecond, 121000, [&](double start, float a) {
    const std::vector<uint8_t> bytes = randomFrame(random);
    for (int c : {0, 2, 7, 9}) addPulse(envelope, start + c * 500, 500, period, a);
    for (size_t i = 0; i < bytes.size() * 8; ++i) {
      const bool one = (bytes[i / 8] >> (7 - i % 8)) & 1;
      addPulse(envelope, start + (16 + 2 * i + (one ? 0 : 1)) * 500.0, 500, period, a);
    }
  });
  if (modeAC) {
    // Offset by half a slot so that the replies fall between the Mode S frames.
    place(repliesPerSecond, 25000, [&](double start, float a) {
      start = std::fmod(start + 250000, 1e9 - 30000);
      const int code = static_cast<int>(random() % 4096);
      static const int slotOf[12] = {9, 11, 13, 8, 10, 12, 1, 3, 5, 2, 4, 6};  // D1 D2 D4 B1 B2 B4 C.. A..
      addPulse(envelope, start, 450, period, a);
      addPulse(envelope, start + 20300, 450, period, a);
      for (int b = 0; b < 12; ++b) {
        if (code >> b & 1) addPulse(envelope, start + slotOf[b] * 1450.0, 450, period, a);
      }
    });
  }

  std::normal_distribution<float> noise(0.0f, rtl ? 4.0f : 60.0f);
  slot->magnitudes.resize(samples);
  for (uint32_t i = 0; i < samples; ++i) {
    float iv = noise(random) + envelope[i] * std::cos(phase[i]);
    float qv = noise(random) + envelope[i] * std::sin(phase[i]);
    if (rtl) {
      const int ib = std::clamp(static_cast<int>(std::lround(127.5f + iv)), 0, 255);
      const int qb = std::clamp(static_cast<int>(std::lround(127.5f + qv)), 0, 255);
      slot->magnitudes[i] = static_cast<uint32_t>((2 * ib - 255) * (2 * ib - 255) + (2 * qb - 255) * (2 * qb - 255));
    } else {
      const int32_t ii = std::clamp(static_cast<int32_t>(std::lround(iv)), -2048, 2047);
      const int32_t qi = std::clamp(static_cast<int32_t>(std::lround(qv)), -2048, 2047);
      slot->magnitudes[i] = static_cast<uint32_t>(ii * ii + qi * qi);
    }
  }
  return *slot;
}

void demodulate(benchmark::State& state) {
  const uint32_t factor = static_cast<uint32_t>(state.range(0));
  const bool rbs = state.range(1) != 0;
  const Input& in = input(factor, rbs);

  Application app;
  app.config->rbsDecoding = rbs;
  app.device = std::make_unique<FixedFactorDevice>(factor);
  SdrRtlDecoder decoder(app);
  uint64_t modeS = 0, modeAC = 0, checked = 0;
  decoder.setFrameOutput([&](const uint8_t* bytes, uint32_t length, uint64_t, uint8_t) {
    ++(length == 2 ? modeAC : modeS);
    const uint32_t df = bytes[0] >> 3;
    if (length > 2 && (df == 11 || (df >= 17 && df <= 19))) ++checked;
  });
  decoder.start();

  const uint32_t total = static_cast<uint32_t>(in.magnitudes.size());
  for (auto _ : state) {
    for (uint32_t at = 0; at < total; at += blockSamples) {
      const uint32_t n = std::min(blockSamples, total - at);
      decoder.process(in.magnitudes.data() + at, 0, n, blockSamples + 1);
    }
  }
  decoder.stop();

  const double seconds = static_cast<double>(total) / (2e6 * factor);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * total);
  state.counters["realtime"] = benchmark::Counter(seconds * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["modeS/s"] = static_cast<double>(modeS) / state.iterations() / seconds;
  state.counters["modeAC/s"] = static_cast<double>(modeAC) / state.iterations() / seconds;
  state.counters["parity/s"] = static_cast<double>(checked) / state.iterations() / seconds;
}

}  // namespace

BENCHMARK(demodulate)
    ->ArgNames({"factor", "rbs"})
    ->Args({1, 0})
    ->Args({3, 0})
    ->Args({5, 0})
    ->Args({1, 1})
    ->Args({3, 1})
    ->Args({5, 1})
    ->Unit(benchmark::kMillisecond);
