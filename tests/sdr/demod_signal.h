#pragma once
// Magnitude signals for the demodulator tests and a decoder that records what it hands on.
//
// Time is counted in ticks of 1/60 us, so that a sample (1/2, 1/6 or 1/10 us), a Mode S chip
// (0.5 us) and every Mode A/C position (0.45, 1.45, 20.3 us) are whole numbers of ticks.
// A sample holds the pulse energy that falls inside its own interval (a box filter).

#include "app/application.h"
#include "app/config.h"
#include "decode/feed_encoding.h"
#include "sdr/crc.h"
#include "sdr/rtl_decoder.h"
#include "sdr/fixed_factor_device.h"
#include "sdr/sdr_device.h"

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

struct DemodFrame {
  std::vector<uint8_t> bytes;
  uint64_t timestamp;
  uint8_t signal;
  bool operator==(const DemodFrame& o) const {
    return bytes == o.bytes && timestamp == o.timestamp && signal == o.signal;
  }
};

inline std::string hexOf(const std::vector<uint8_t>& bytes) {
  std::string text;
  appendHex(text, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return text;
}

inline std::ostream& operator<<(std::ostream& out, const DemodFrame& f) {
  return out << hexOf(f.bytes) << " @" << f.timestamp << " level " << int(f.signal);
}

enum class Routine { Process, General, Factor5, Factor1 };

inline const char* routineName(Routine r) {
  switch (r) {
    case Routine::Process: return "process";
    case Routine::General: return "feedSamples";
    case Routine::Factor5: return "feedSamplesFactor5";
    case Routine::Factor1: return "factor-1 routine";
  }
  return "?";
}

// An RTL demodulator owned by a real application, whose frames are collected instead of
// going down the pipeline.
class DemodHarness {
 public:
  explicit DemodHarness(uint32_t factor, bool rbs = false, bool disableCorrection = false) {
    app.config->rbsDecoding = rbs;
    app.config->disableCorrection = disableCorrection;
    app.device = std::make_unique<FixedFactorDevice>(factor);
    decoder = std::make_unique<Exposed>(app);
    decoder->setFrameOutput([this](const uint8_t* bytes, uint32_t length, uint64_t timestamp, uint8_t signal) {
      frames.push_back({std::vector<uint8_t>(bytes, bytes + length), timestamp, signal});
    });
    decoder->start();
  }
  ~DemodHarness() { decoder->stop(); }

  void feed(const std::vector<uint32_t>& samples, Routine routine = Routine::Process) {
    run(routine, samples.data(), 0, static_cast<uint32_t>(samples.size()), static_cast<uint32_t>(samples.size()) + 1);
  }
  void run(Routine routine, const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
    decoder->run(routine, samples, from, to, ringSize);
  }
  // Frames of one length (2 for Mode A/C, 7 or 14 for Mode S).
  std::vector<DemodFrame> ofLength(size_t length) const {
    std::vector<DemodFrame> out;
    for (const auto& f : frames) {
      if (f.bytes.size() == length) out.push_back(f);
    }
    return out;
  }

  Application app;
  std::vector<DemodFrame> frames;

  class Exposed : public SdrRtlDecoder {
   public:
    using SdrRtlDecoder::SdrRtlDecoder;
    void run(Routine routine, const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
      switch (routine) {
        case Routine::Process: process(samples, from, to, ringSize); break;
        case Routine::General: feedSamples(samples, from, to, ringSize); break;
        case Routine::Factor5: feedSamplesFactor5(samples, from, to, ringSize); break;
        case Routine::Factor1: feedSamplesFactor1(samples, from, to, ringSize); break;
      }
    }
  };
  std::unique_ptr<Exposed> decoder;
};

constexpr uint32_t ticksPerUs = 60;
constexpr uint32_t ticksPerChip = 30;  // 0.5 us

class SignalBuilder {
 public:
  SignalBuilder(uint32_t factor, uint32_t samples) : factor(factor), data(samples, 0) {}

  uint32_t samplePeriod() const { return ticksPerChip / factor; }
  // The tick at which sample i begins.
  uint64_t tickOf(uint64_t sample) const { return sample * samplePeriod(); }

  // Adds amplitude * (overlap / sample period) to every sample the pulse touches.
  void pulse(uint64_t startTick, uint64_t lengthTicks, uint32_t amplitude) {
    const uint64_t period = samplePeriod();
    const uint64_t end = startTick + lengthTicks;
    for (uint64_t i = startTick / period; i < data.size() && i * period < end; ++i) {
      const uint64_t lo = std::max<uint64_t>(i * period, startTick), hi = std::min<uint64_t>((i + 1) * period, end);
      if (hi > lo) data[i] += static_cast<uint32_t>(uint64_t{amplitude} * (hi - lo) / period);
    }
  }

  // Preamble pulses at 0, 1.0, 3.5 and 4.5 us, then two chips per bit, the pulse in the first
  // chip for a 1. Chip halves listed in `equalHalves` get a pulse in both chips.
  void modeS(uint64_t startTick, const std::vector<uint8_t>& bytes, uint32_t amplitude,
             const std::vector<int>& equalHalves = {}) {
    for (uint32_t chip : {0u, 2u, 7u, 9u}) pulse(startTick + chip * ticksPerChip, ticksPerChip, amplitude);
    for (size_t i = 0; i < bytes.size() * 8; ++i) {
      const bool one = (bytes[i / 8] >> (7 - i % 8)) & 1;
      const uint64_t bitStart = startTick + (16 + 2 * i) * ticksPerChip;
      bool both = false;
      for (int e : equalHalves) both |= e == static_cast<int>(i);
      if (both) {
        pulse(bitStart, 2 * ticksPerChip, amplitude);
      } else {
        pulse(bitStart + (one ? 0 : ticksPerChip), ticksPerChip, amplitude);
      }
    }
  }

  // A Mode A/C reply: pulses of 0.45 us at the given slots (1.45 us apart), F1 at slot 0 and
  // F2 at slot 14 always.
  void modeAC(uint64_t f1Tick, const std::vector<int>& slots, uint32_t amplitude) {
    modeAC(f1Tick, slots, amplitude, amplitude, amplitude);
  }
  void modeAC(uint64_t f1Tick, const std::vector<int>& slots, uint32_t f1, uint32_t f2, uint32_t code) {
    pulse(f1Tick, 27, f1);
    pulse(f1Tick + 14 * 87, 27, f2);
    for (int slot : slots) pulse(f1Tick + static_cast<uint64_t>(slot) * 87, 27, code);
  }

  void noise(uint32_t maxValue, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> level(0, maxValue);
    for (auto& s : data) s += level(random);
  }

  uint32_t factor;
  std::vector<uint32_t> data;
};

// Slots of a Mode A/C code given as four octal digits, as the detector reads them.
inline std::vector<int> modeACSlots(uint32_t code, bool spi) {
  const uint32_t a = (code >> 9) & 7, b = (code >> 6) & 7, c = (code >> 3) & 7, d = code & 7;
  std::vector<int> slots;
  const auto add = [&](uint32_t digit, int s1, int s2, int s4) {
    if (digit & 1) slots.push_back(s1);
    if (digit & 2) slots.push_back(s2);
    if (digit & 4) slots.push_back(s4);
  };
  add(c, 1, 3, 5);
  add(a, 2, 4, 6);
  add(b, 8, 10, 12);
  add(d, 9, 11, 13);
  if (spi) slots.push_back(17);
  return slots;
}

// Mode S frames with plain parity (or the given value XORed into it).
inline std::vector<uint8_t> withParity(std::vector<uint8_t> bytes, uint32_t residue = 0) {
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  const uint32_t crc = modeSCrc(bytes.data(), n - 3) ^ residue;
  bytes[n - 3] = static_cast<uint8_t>(crc >> 16);
  bytes[n - 2] = static_cast<uint8_t>(crc >> 8);
  bytes[n - 1] = static_cast<uint8_t>(crc);
  return bytes;
}

inline std::vector<uint8_t> df17Frame() {
  return withParity({0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3, 0x71, 0xC3, 0x2C, 0xE0, 0, 0, 0});
}

inline std::vector<uint8_t> flipBits(std::vector<uint8_t> bytes, const std::vector<int>& bits) {
  for (int bit : bits) bytes[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
  return bytes;
}

// A squitter that carries a whole DF 11 reply in its message field (bits 32 to 87). Where
// more pulses lie on top of its own at bits 24, 25, 27 and 28 (the preamble chips 8 us before
// bit 32), the demodulators see a preamble before the reply, and the squitter still reads as
// it was sent.
inline std::vector<uint8_t> innerReply() { return withParity({0x5D, 0xAB, 0xCD, 0xE2, 0, 0, 0}); }
inline std::vector<uint8_t> squitterAroundReply() {
  std::vector<uint8_t> frame = {0x8D, 0x48, 0x40, 0xC4};  // bits 24 to 31: 1100 0100
  const std::vector<uint8_t> reply = innerReply();
  frame.insert(frame.end(), reply.begin(), reply.end());
  frame.insert(frame.end(), 3, 0);
  return withParity(frame);
}
// The chip at which the preamble of the reply inside the squitter begins.
constexpr uint32_t innerReplyChip = 16 + 2 * 24;
