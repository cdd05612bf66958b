#pragma once
// A demodulator: started before its source, stopped after it; the source's thread calls process.
//
// The concrete base turns 32-bit magnitudes at 2 MS/s times the oversampling factor into Mode S
// frames (and, with "rbs", Mode A/C replies) and hands them to the application's frame sink.
// Every factor consecutive samples form one bin of 0.5 us; the detector looks at a sliding
// window of 240 bins (120 us) that moves by one sample at a time.

#include "sdr/crc.h"
#include "sdr/frame_pieces.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class Application;

class SdrDecoder {
 public:
  // Receives each frame: bytes, length (2, 7 or 14), 12 MHz timestamp, signal level.
  using FrameOutput = std::function<void(const uint8_t*, uint32_t, uint64_t, uint8_t)>;

  static constexpr uint32_t windowBins = 240;
  static constexpr uint32_t preambleBins = 16;
  static constexpr uint32_t longFrameBits = 112;
  static constexpr uint32_t shortFrameBits = 56;
  // Samples per factor held before the window is moved back to the front (1.2 s of input).
  static constexpr uint32_t bufferSamplesPerFactor = 2400000;

  // Without an owner: for demodulators that override the operations (test doubles). Such a
  // decoder hands frames only to a frame output set on it, and starts with factor 1.
  SdrDecoder();
  // Fills the error syndrome table here, so that it is ready before start.
  explicit SdrDecoder(Application& owner);
  virtual ~SdrDecoder();
  SdrDecoder(const SdrDecoder&) = delete;
  SdrDecoder& operator=(const SdrDecoder&) = delete;

  // Consumes samples[from] up to, not including, samples[to], wrapping at ringSize.
  virtual void process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize);
  // Reads the factor from the owner's device and allocates a zeroed history.
  virtual void start();
  // Frees the buffers; process does nothing until the next start.
  virtual void stop();

  // Replaces the frame sink as the receiver of frames (an empty function restores it).
  void setFrameOutput(FrameOutput output) { frameOutput = std::move(output); }
  ErrorSyndromeTable& syndromeTable() { return errorSyndromeTable; }
  uint32_t oversampling() const { return factor; }
  // Samples consumed since construction.
  uint64_t sampleCount() const { return sampleCounter; }

  // The preamble test on the first 16 bins of a window (bin k at bins[k * stride]).
  static inline bool checkPreamble(const uint32_t* bins, uint32_t stride);

 protected:
  // The three per-sample routines; results are identical, only the bin sums are formed
  // differently. process picks one by factor; the factor-5 and factor-1 routines fall back to
  // the general one at any other factor.
  void feedSamples(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize);
  void feedSamplesFactor5(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize);
  void feedSamplesFactor1(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize);
  void dispatchByFactor(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize);

  // Slices, checks and repairs the candidate in bins and hands it on unless it is a repeat or a
  // piece of a frame handed on just before.
  void decodeModeSBits();
  // Looks for a Mode A/C reply at the oldest end of the current window.
  void decodeModeAC();
  // To the frame output when one is set, else to the owner's frame sink.
  void handOn(const uint8_t* bytes, uint32_t length, uint64_t timestamp, uint8_t signal);
  // The sum of the factor samples of the bin starting at this window position.
  uint32_t sumBin(uint32_t position) const { return window[position]; }

 private:
  struct RecentFrame {
    uint8_t bytes[14] = {};
    uint32_t length = 0;
    uint64_t counter = 0;
  };
  struct RecentReply {
    uint8_t bytes[2] = {};
    uint64_t counter = 0;
    bool used = false;
  };
  // Mode A/C replies handed on lately; a few, so that a misread between two sightings of one
  // reply does not split it.
  static constexpr uint32_t recentReplyCount = 4;
  enum class Summing { Any, Factor5, Factor1 };

  template <Summing mode>
  void feed(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize);
  template <Summing mode>
  void feedSpan(const uint32_t* samples, uint32_t count, bool rbs);
  template <Summing mode>
  void appendSums(const uint32_t* samples, uint32_t count);
  template <uint32_t fixedFactor>
  void scan(uint32_t count, bool rbs);
  void moveWindowToFront();
  void emit(const uint8_t* bytes, uint32_t length, uint8_t signal);

  Application* owner = nullptr;
  // Entry j holds the sum of the factor samples starting at sample position j (the samples
  // themselves for factor 1): every bin of the window is one load.
  std::unique_ptr<uint32_t[]> sampleBuffer;
  uint32_t capacity = 0;
  // Sample positions filled; the window is the newest windowBins * factor of them.
  uint32_t fillCount = 0;
  uint32_t bins[windowBins] = {};
  uint32_t factor = 1;
  uint8_t frame[14] = {};
  uint32_t frameLength = 0;
  ErrorSyndromeTable errorSyndromeTable;
  uint64_t sampleCounter = 0;
  std::vector<RecentFrame> recentFrames;
  uint32_t ringWriteIndex = 0;
  RecentReply recentReplies[recentReplyCount];
  uint32_t replyWriteIndex = 0;
  // Frames handed on lately, so that a piece of one read again at a later start is not.
  FramePieces pieces;
  // Where the echo of the last reply with SPI and C2 would begin (sample counter).
  bool spiEchoExpected = false;
  uint64_t spiEchoCounter = 0;

  // The newest factor samples (oldest first at historyIndex) and their sum, for the running
  // bin sum; carried from one call to the next.
  std::vector<uint32_t> history;
  uint32_t historyIndex = 0;
  uint32_t runningSum = 0;
  // Start of the window the per-sample step is looking at.
  const uint32_t* window = nullptr;
  FrameOutput frameOutput;
};

inline bool SdrDecoder::checkPreamble(const uint32_t* b, uint32_t s) {
  const uint32_t b0 = b[0], b1 = b[s], b2 = b[2 * s], b7 = b[7 * s], b8 = b[8 * s], b9 = b[9 * s];
  // Noise fails one of these four about eight times in nine; testing them together saves
  // the mispredicted branches of testing them one by one.
  if (!((b1 < b0) & (b1 < b2) & (b8 < b7) & (b8 < b9))) return false;
  const uint32_t b3 = b[3 * s], b4 = b[4 * s], b5 = b[5 * s], b6 = b[6 * s];
  if (!((b3 < b2) & (b4 < b2) & (b5 < b2) & (b6 < b2) & (b6 < b7))) return false;
  const uint32_t b10 = b[10 * s], b11 = b[11 * s], b12 = b[12 * s], b13 = b[13 * s], b14 = b[14 * s],
                 b15 = b[15 * s];
  if (!((b10 < b9) & (b11 < b9) & (b12 < b9) & (b13 < b9) & (b14 < b9) & (b15 < b9))) return false;
  const uint32_t t = (b0 + b2 + b7 + b9) / 6;
  return (b4 < t) & (b5 < t) & (b11 < t) & (b12 < t) & (b13 < t) & (b14 < t);
}
