#include "sdr/sdr_decoder.h"

#include "app/application.h"
#include "decode/frame_sink.h"
#include "sdr/sdr_device.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

SdrDecoder::SdrDecoder() = default;

SdrDecoder::SdrDecoder(Application& owner) : owner(&owner) { errorSyndromeTable.build(); }

SdrDecoder::~SdrDecoder() = default;

void SdrDecoder::start() {
  factor = owner && owner->device ? owner->device->oversamplingFactor() : 1;
  if (factor == 0) factor = 1;  // a factor of 0 would divide every timestamp by zero
  if (factor > std::numeric_limits<uint32_t>::max() / bufferSamplesPerFactor) throw std::bad_alloc();
  // Normally filled at construction; a decoder made some other way must not repair blindly.
  errorSyndromeTable.build();

  capacity = factor * bufferSamplesPerFactor;
  sampleBuffer = std::make_unique<uint32_t[]>(capacity);
  fillCount = windowBins * factor;  // the first window is a history of zeros
  std::fill(std::begin(bins), std::end(bins), 0u);
  std::fill(std::begin(frame), std::end(frame), uint8_t{0});
  frameLength = 0;
  recentFrames.assign(factor, RecentFrame{});
  ringWriteIndex = 0;
  std::fill(std::begin(recentReplies), std::end(recentReplies), RecentReply{});
  replyWriteIndex = 0;
  pieces.reset(2 * factor);
  spiEchoExpected = false;
  spiEchoCounter = 0;
  history.assign(factor, 0u);
  historyIndex = 0;
  runningSum = 0;
  window = nullptr;
}

void SdrDecoder::stop() {
  sampleBuffer.reset();
  capacity = 0;
  fillCount = 0;
  recentFrames.clear();
  recentFrames.shrink_to_fit();
  history.clear();
  history.shrink_to_fit();
  window = nullptr;
}

void SdrDecoder::process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  dispatchByFactor(samples, from, to, ringSize);
}

void SdrDecoder::dispatchByFactor(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  if (factor == 1) {
    feed<Summing::Factor1>(samples, from, to, ringSize);
  } else if (factor == 5) {
    feed<Summing::Factor5>(samples, from, to, ringSize);
  } else {
    feed<Summing::Any>(samples, from, to, ringSize);
  }
}

void SdrDecoder::feedSamples(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  feed<Summing::Any>(samples, from, to, ringSize);
}

void SdrDecoder::feedSamplesFactor5(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  if (factor == 5) {
    feed<Summing::Factor5>(samples, from, to, ringSize);
  } else {
    feed<Summing::Any>(samples, from, to, ringSize);
  }
}

void SdrDecoder::feedSamplesFactor1(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  if (factor == 1) {
    feed<Summing::Factor1>(samples, from, to, ringSize);
  } else {
    feed<Summing::Any>(samples, from, to, ringSize);
  }
}

template <SdrDecoder::Summing mode>
void SdrDecoder::feed(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  // Indices outside the ring would never meet `to`, or read past the caller's buffer.
  if (!sampleBuffer || !samples || from >= ringSize || to >= ringSize) return;
  const bool rbs = owner && owner->config && owner->config->rbsDecoding;
  if (from <= to) {
    feedSpan<mode>(samples + from, to - from, rbs);
  } else {
    feedSpan<mode>(samples + from, ringSize - from, rbs);
    feedSpan<mode>(samples, to, rbs);
  }
}

template <SdrDecoder::Summing mode>
void SdrDecoder::feedSpan(const uint32_t* samples, uint32_t count, bool rbs) {
  constexpr uint32_t fixedFactor = mode == Summing::Factor1 ? 1 : mode == Summing::Factor5 ? 5 : 0;
  while (count > 0) {
    if (fillCount == capacity) moveWindowToFront();
    const uint32_t n = std::min(count, capacity - fillCount);
    appendSums<mode>(samples, n);
    scan<fixedFactor>(n, rbs);
    samples += n;
    count -= n;
  }
}

void SdrDecoder::moveWindowToFront() {
  const uint32_t span = windowBins * factor;
  std::memmove(sampleBuffer.get(), sampleBuffer.get() + fillCount - span, span * sizeof(uint32_t));
  fillCount = span;
}

// Sample position p completes the bin sum that starts at p + 1 - factor.
template <SdrDecoder::Summing mode>
void SdrDecoder::appendSums(const uint32_t* samples, uint32_t count) {
  uint32_t* out = sampleBuffer.get() + fillCount;
  if (mode == Summing::Factor1) {
    std::memcpy(out, samples, count * sizeof(uint32_t));
    return;
  }
  out -= factor - 1;
  if (mode == Summing::Factor5) {
    uint32_t h[5];
    for (uint32_t i = 0; i < 5; ++i) h[i] = history[(historyIndex + i) % 5];
    // h[0] is the oldest of the last five samples, which the next sum no longer holds.
    uint32_t a = h[1], b = h[2], c = h[3], d = h[4];
    uint32_t sum = runningSum;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t e = samples[i];
      sum = a + b + c + d + e;
      out[i] = sum;
      a = b;
      b = c;
      c = d;
      d = e;
    }
    runningSum = sum;
    const uint32_t tail = std::min(count, 5u);
    for (uint32_t i = count - tail; i < count; ++i) {
      history[historyIndex] = samples[i];
      historyIndex = historyIndex == 4 ? 0 : historyIndex + 1;
    }
    return;
  }
  uint32_t sum = runningSum;
  uint32_t index = historyIndex;
  uint32_t* last = history.data();
  const uint32_t f = factor;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t x = samples[i];
    sum += x - last[index];
    last[index] = x;
    index = index + 1 == f ? 0 : index + 1;
    out[i] = sum;
  }
  runningSum = sum;
  historyIndex = index;
}

namespace {

// The formats the pipeline may take from here: 0, 4, 5, 11 and 16 to 21. (DF 24 is sliced short
// here, and the pipeline takes it only long.)
constexpr uint32_t pipelineFormats = (1u << 0) | (1u << 4) | (1u << 5) | (1u << 11) | (1u << 16) | (1u << 17) |
                                     (1u << 18) | (1u << 19) | (1u << 20) | (1u << 21);

// Only where the vectors map onto SIMD registers; elsewhere the scalar tests are as quick.
#if defined(__GNUC__) && (defined(__SSE2__) || defined(__ARM_NEON) || defined(__aarch64__))
#define VELKARO_DEMOD_LANES 1
using Lanes = uint32_t __attribute__((vector_size(16)));
using SignedLanes = int32_t __attribute__((vector_size(16)));

Lanes loadLanes(const uint32_t* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

Lanes select(Lanes mask, Lanes a, Lanes b) { return (a & mask) | (b & ~mask); }

// Four window positions at once: a necessary part of the preamble test and, with "rbs", the
// whole first framing-pulse test of the Mode A/C detector. Positions that fail both fail the
// full tests too; the others go through them one by one.
uint32_t candidateLanes(const uint32_t* w, uint32_t f, bool rbs) {
  const Lanes b0 = loadLanes(w), b1 = loadLanes(w + f), b2 = loadLanes(w + 2 * f), b3 = loadLanes(w + 3 * f);
  const Lanes b6 = loadLanes(w + 6 * f), b7 = loadLanes(w + 7 * f), b8 = loadLanes(w + 8 * f),
              b9 = loadLanes(w + 9 * f), b10 = loadLanes(w + 10 * f);
  Lanes hit = (Lanes)((b1 < b0) & (b1 < b2) & (b3 < b2) & (b6 < b2) & (b6 < b7) & (b8 < b7) & (b8 < b9) & (b10 < b9));
  if (rbs) {
    // The same steps as the scalar detector, with the same 32-bit wrapping.
    const Lanes swap = (Lanes)((b2 <= b0) | (b2 < b3));
    const Lanes m3 = select(swap, b2, b3), m2 = select(swap, b0, b2);
    const Lanes shape = (Lanes)((b0 < b1) & (m3 < b1) & (b0 <= m2) & (m3 <= m2));
    const Lanes signal = (b1 + m2) - 2u * (b0 + m3);
    const Lanes noise = (b0 + m3) >> 1;
    // signal >= 4 * noise, for a non-negative signal, without leaving 32 bits.
    const Lanes strong = (Lanes)(((SignedLanes)signal >= 2047) & ((signal >> 2) >= noise));
    hit |= shape & strong;
  }
  uint64_t halves[2];
  std::memcpy(halves, &hit, sizeof halves);
  if ((halves[0] | halves[1]) == 0) return 0;
  return (hit[0] & 1u) | (hit[1] & 2u) | (hit[2] & 4u) | (hit[3] & 8u);
}
#endif

}  // namespace

template <uint32_t fixedFactor>
void SdrDecoder::scan(uint32_t count, bool rbs) {
  const uint32_t f = fixedFactor != 0 ? fixedFactor : factor;
  const uint32_t* const first = sampleBuffer.get() + fillCount + 1 - windowBins * f;
  const uint64_t firstCounter = sampleCounter;
  const auto step = [&](uint32_t at) {
    const uint32_t* w = first + at;
    if (checkPreamble(w, f)) {
      sampleCounter = firstCounter + at;
      window = w;
      for (uint32_t k = 0; k < windowBins; ++k) bins[k] = w[k * f];
      decodeModeSBits();
    }
    // The detector's first test, taken out here because it fails for every other sample.
    if (rbs && w[0] < w[f]) {
      sampleCounter = firstCounter + at;
      window = w;
      decodeModeAC();
    }
  };
  uint32_t i = 0;
#if defined(VELKARO_DEMOD_LANES)
  for (; i + 4 <= count; i += 4) {
    for (uint32_t lanes = candidateLanes(first + i, f, rbs); lanes != 0; lanes &= lanes - 1) {
      step(i + static_cast<uint32_t>(__builtin_ctz(lanes)));
    }
  }
#endif
  for (; i < count; ++i) step(i);
  sampleCounter = firstCounter + count;
  fillCount += count;
}

void SdrDecoder::decodeModeSBits() {
  const uint32_t* halves = bins + preambleBins;
  // A bit is 1 when its first half is the larger. Without branches: the bits of noise are
  // unpredictable.
  const auto sliceByte = [halves](uint32_t index) {
    const uint32_t* h = halves + 16 * index;
    uint32_t value = 0;
    for (uint32_t j = 0; j < 8; ++j) value = (value << 1) | static_cast<uint32_t>(h[2 * j] > h[2 * j + 1]);
    return static_cast<uint8_t>(value);
  };
  frame[0] = sliceByte(0);
  const uint32_t df = frame[0] >> 3;
  const uint32_t length = df >= 16 && df <= 21 ? 14 : 7;
  const uint32_t n = length * 8;
  // Only the frame's own bytes are ever handed on or compared.
  for (uint32_t i = 1; i < length; ++i) frame[i] = sliceByte(i);
  for (uint32_t i = length; i < sizeof frame; ++i) frame[i] = 0;

  uint8_t sliced[14];
  const uint8_t* slicedBits = frame;  // the bits before a repair

  // The parity and error tests come first: they are cheap and reject most noise, and a
  // rejected candidate leaves nothing behind, whatever the order of the tests.
  if (df == 11) {
    if (modeSCrcSyndrome(frame, 7) >= 80) return;
  } else if (df >= 17 && df <= 19) {
    const uint32_t syndrome = modeSCrcSyndrome(frame, 14);
    if (syndrome != 0) {
      if (owner && owner->config && owner->config->disableCorrection) return;
      const ErrorPattern* pattern = errorSyndromeTable.find(syndrome);
      if (!pattern) return;
      uint8_t repaired[14];
      std::memcpy(repaired, frame, sizeof repaired);
      for (const int32_t bit : {pattern->firstBit, pattern->secondBit}) {
        if (bit >= 0 && bit < static_cast<int32_t>(longFrameBits)) {
          repaired[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
        }
      }
      if (modeSCrcSyndrome(repaired, 14) != 0) return;
      std::memcpy(sliced, frame, sizeof sliced);
      slicedBits = sliced;
      std::memcpy(frame, repaired, sizeof repaired);
    }
  } else {
    // A bit is uncertain when its halves are equal. (Its contrast, 100 * max / diff, is at
    // least 100 otherwise: the product is taken in 64 bits, so that strong signals do not
    // wrap it to a small number.)
    for (uint32_t i = 0; i < shortFrameBits; ++i) {
      if (halves[2 * i] == halves[2 * i + 1]) return;
    }
  }

  // Contrast test: the mean contrast over the frame's bits must exceed 10. Every bit with
  // unequal halves adds at least 100, so the sum is needed only when few bits have them.
  uint64_t maxSum = 0;
  uint32_t unequal = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t a = halves[2 * i], b = halves[2 * i + 1];
    if (a == b) continue;
    maxSum += std::max(a, b);
    ++unequal;
  }
  if (100ull * unequal < 11ull * n) {
    uint64_t contrastSum = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = halves[2 * i], b = halves[2 * i + 1];
      if (a != b) contrastSum += 100ull * std::max(a, b) / (a > b ? a - b : b - a);
    }
    if (contrastSum / n <= 10) return;
  }

  const uint32_t divisor = factor == 1 ? 24 : factor == 5 ? 81764 : 16352 * factor;
  const uint64_t level = maxSum / n / divisor + 12;
  const uint8_t signal = level >= 255 ? 255 : static_cast<uint8_t>(level);

  // The same frame found again within factor samples is the same reply seen at a
  // neighbouring alignment of the window.
  bool repeat = false;
  for (const RecentFrame& recent : recentFrames) {
    if (sampleCounter - recent.counter <= factor && recent.length == length &&
        std::memcmp(recent.bytes, frame, length) == 0) {
      repeat = true;
      break;
    }
  }
  if (!recentFrames.empty()) {
    RecentFrame& slot = recentFrames[ringWriteIndex];
    std::memcpy(slot.bytes, frame, sizeof slot.bytes);
    slot.length = length;
    slot.counter = sampleCounter;
    ringWriteIndex = ringWriteIndex + 1 >= recentFrames.size() ? 0 : ringWriteIndex + 1;
  }
  frameLength = length;
  if (repeat) return;
  const bool checked = df == 11 || (df >= 17 && df <= 19);
  const auto strength = static_cast<uint32_t>(std::min<uint64_t>(maxSum / n, UINT32_MAX));
  if (pieces.isPiece(sampleCounter, slicedBits, frame, length, checked, strength)) return;
  // Formats the pipeline never takes (noise, mostly) are no frame to be a piece of.
  if (((pipelineFormats >> df) & 1) != 0) {
    pieces.add(sampleCounter, slicedBits, frame, length, checked, strength);
  }
  emit(frame, length, signal);
}

void SdrDecoder::emit(const uint8_t* bytes, uint32_t length, uint8_t signal) {
  handOn(bytes, length, sampleCounter * 6 / factor, signal);
}

void SdrDecoder::handOn(const uint8_t* bytes, uint32_t length, uint64_t timestamp, uint8_t signal) {
  if (frameOutput) {
    frameOutput(bytes, length, timestamp, signal);
  } else if (owner && owner->frameSink) {
    owner->frameSink->onFrame(bytes, length, timestamp, signal);
  }
}
