#pragma once
// Mode S demodulator for the real (not I/Q) 12-bit samples of an Airspy receiver at p times
// 2 MS/s. Every sample becomes a magnitude; p consecutive magnitudes form a 0.5 us bin, once
// for each of the p possible alignments (the phase rows, each one sample later than the one
// before). Every bin position of every row is tested for a preamble; the bits behind it are
// checked against the CRC and a cache of confirmed addresses, and the frames of a block are
// merged and handed on in time order.
//
// The block is cut into slices that the workers of a pool demodulate at the same time, every
// row over its slice. They only collect candidates: the address cache is consulted and changed
// on the calling thread, in time order over all rows, so the output does not depend on the
// number of workers, and neither the cache nor the output list needs a lock.

#include "sdr/demod_worker_pool.h"
#include "sdr/frame_pieces.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

struct AirspyDemodSettings {
  uint32_t phaseCount = 10;    // p = sample rate / 2,000,000, 1 ... 255
  uint32_t workerCount = 1;    // already min(p, option); 0 or 1: everything on the calling thread
  uint32_t decimation = 1;     // only rows r with r % decimation == 0; 0 taken as 1
  bool packing = false;        // 8 samples in three 32-bit words
  uint32_t fecBits = 1;        // 0 no repair, 1 one bit, 2 one or two bits; above 2 taken as 2
  uint32_t addressLifetime = 60;  // seconds of samples a cached address lives unconfirmed
};

// One merged frame, in ascending time, on the thread that called processBlock; bytes valid only
// during the call. level 1 ... 65,535; time = the row clock at the end of the frame's window.
using AirspyFrameCallback = void (*)(const uint8_t* bytes, uint32_t length, uint16_t level,
                                     uint64_t time, bool crcClean, void* userData);

class AirspyDemodulator {
 public:
  AirspyDemodulator(const AirspyDemodSettings& settings, AirspyFrameCallback callback, void* userData);
  // Shuts the pool down first.
  ~AirspyDemodulator();
  AirspyDemodulator(const AirspyDemodulator&) = delete;
  AirspyDemodulator& operator=(const AirspyDemodulator&) = delete;

  // Unpacked: count raw samples (0...4095), one per 16-bit word, overwritten with magnitudes.
  // Packed: count samples (a multiple of 8), 8 per three host-order 32-bit words.
  // A block holds at least phaseCount() samples.
  void processBlock(void* samples, uint32_t count);
  // Samples the receiver dropped: every row clock moves on by count (the receiver's callback
  // thread calls this before the block that follows the gap).
  void addDroppedSamples(uint64_t count);
  // Reports the frame held back at the end of the last block (its group could have gone on
  // into a next block). Called once streaming has ended.
  void flush();
  uint32_t phaseCount() const { return p; }
  uint32_t workerCount() const { return pool.threadCount(); }
  bool addressCached(uint32_t address) const;  // for tests and diagnostics

 private:
  static constexpr uint32_t windowBins = 240;  // 16 preamble bins, 2 per bit for 112 bits
  static constexpr uint32_t historyBins = windowBins - 1;
  static constexpr uint32_t cacheSlots = 1024;
  // Bins a row forms before it tests them; the history moves to the front after each chunk.
  static constexpr uint32_t chunkBins = 4096;

  template <typename T>
  struct AlignedFree {
    void operator()(T* pointer) const { std::free(pointer); }
  };
  template <typename T>
  using AlignedArray = std::unique_ptr<T[], AlignedFree<T>>;
  template <typename T>
  static AlignedArray<T> alignedArray(size_t count);

  // A preamble that passed, with everything the cache decision needs.
  struct Candidate {
    uint64_t time;
    uint32_t key;     // the address that must be cached, or that a clean frame confirms
    uint32_t contrast;  // the level before scaling and saturation
    uint16_t level;
    uint8_t length;
    uint8_t kind;     // confirms, or needs its key cached
    uint8_t crcClean;
    uint8_t checked;  // parity that holds, as sliced or repaired, or names a cached address
    uint8_t bytes[14];
    uint8_t sliced[14];  // the bits before a repair
  };
  enum : uint8_t { confirmsAddress = 0, needsCachedKey = 1 };

  // A kept frame, before merging.
  struct DemodFrame {
    uint64_t time;
    uint32_t contrast;
    uint32_t level;
    uint8_t crcClean;
    uint8_t length;
    uint8_t bytes[14];
  };

  struct IcaoCache {
    AlignedArray<uint32_t> addresses;  // 0: free slot
    AlignedArray<float> ages;          // seconds since last confirmed
    int32_t find(uint32_t address) const;
    void confirm(uint32_t address);
    void age(float seconds, float lifetime);
  };

  // Argument of a pool task: one slice of the block (all of it without workers). The task
  // turns the slice's samples into magnitudes and demodulates, in every demodulated row, the
  // bins that end in the slice. Slices start at multiples of 8 samples.
  struct DemodTask {
    AirspyDemodulator* owner = nullptr;
    uint16_t* magnitudes = nullptr;          // unpacked: the block, rectified in place
    const uint32_t* packedSource = nullptr;  // packed: the block's words
    uint32_t start = 0, end = 0;             // the slice: samples [start, end) of the block
    // Bins that end in the slice need up to a window of earlier samples; this lead-in starts
    // at `leadStart` (a multiple of 8). Unpacked, its raw samples are copied before the batch,
    // since the task of the slice before rectifies them in place meanwhile.
    uint32_t leadStart = 0;
    AlignedArray<uint16_t> leadCopy;
    // sums[i + 1 - leadStart] = the magnitudes leadStart ... i added up (wrapping at 2^32).
    AlignedArray<uint32_t> sums;
    uint32_t sumsCapacity = 0;
    AlignedArray<uint32_t> bins;  // historyBins of history, then the bins of the current chunk
    AlignedArray<uint16_t> narrowBins;  // the same in 16 bits, where they fit
    std::vector<Candidate> candidates;  // of every row, each row's in time order
  };

  // What a row carries from block to block. Bin k of a block ends at sample need - 1 + k * p.
  struct Row {
    AlignedArray<uint32_t> history[2];  // the last historyBins bins, newest last
    uint32_t current = 0;               // the history the block reads; the other one it writes
    uint32_t carry = 0;                 // magnitudes already summed into `partial`
    uint32_t partial = 0;
    uint32_t need = 0;                  // this block: samples that complete the partial bin
    uint32_t total = 0;                 // this block: bins completed
  };

  static void magnitudeTask(DemodTask& task, uint32_t* sums);
  static void unpackTask(DemodTask& task, uint32_t* sums);
  static void demodTask(void* task);
  // Running sums of the magnitudes of count samples, continuing from `running`; the last
  // sum is returned. rectify also leaves the magnitudes in place of the samples.
  static uint32_t unpackMagnitudes(const uint32_t* packed, uint32_t* sums, uint32_t count, uint32_t running);
  static uint32_t rectify(uint16_t* samples, uint32_t* sums, uint32_t count, uint32_t running);
  uint16_t magnitudeAt(const void* samples, uint32_t index) const;

  void planBlock(void* samples, uint32_t count);
  void finishRows(const void* samples, uint32_t count);
  void demodulateRow(DemodTask& task, uint32_t row);
  void demodulateRow6(DemodTask& task, uint32_t row);
  void demodulateRow10(DemodTask& task, uint32_t row);
  template <uint32_t fixedP>
  void demodulateRowAs(DemodTask& task, uint32_t row);
  // The bins b0 ... b15 of one window.
  static bool checkPreamble(const uint32_t* bins);
  // The data bins of one window (two per bit) that passed the preamble test.
  void decodeFrame(const uint32_t* data, uint64_t time, std::vector<Candidate>& out) const;
  static uint32_t syndrome(const uint8_t* bytes, uint32_t length);
  // Builds the process-wide error tables of the repair (once; later calls return at once).
  static void prepareRepairTables();
  bool repair(uint8_t* bytes, uint32_t df, uint32_t syndromeValue) const;
  void decideAndOutput(uint32_t count);
  static bool sameReply(const DemodFrame& next, const DemodFrame& best);
  void report(const DemodFrame& frame);

  const uint32_t p;
  const uint32_t decimation;
  const uint32_t fecBits;
  const bool packing;
  const float lifetime;
  const AirspyFrameCallback callback;
  void* const userData;

  // Samples consumed since streaming began plus those the receiver dropped: every row clock
  // at the start of the current block (the rows' clocks differ only inside a block).
  uint64_t clock = 0;
  std::vector<Row> rows;
  std::vector<uint32_t> demodulatedRows;
  IcaoCache cache;
  std::vector<DemodTask> tasks;  // one per worker (one without workers)
  std::vector<DemodPoolTask> taskList;
  std::vector<const Candidate*> ordered;
  std::vector<DemodFrame> output;
  // The block's last group, when a detection of the next block may still join it.
  std::vector<DemodFrame> held;
  // Frames kept lately, over blocks: a piece of one read again at a later start is dropped
  // before it can confirm an address.
  FramePieces pieces;
  // Last in the list: shut down first, before the buffers its tasks use are freed.
  DemodWorkerPool pool;
};
