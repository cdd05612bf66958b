#pragma once
// The pulses of a frame can pass the preamble test at a later start, and the bits behind that
// start are then the frame's own bits from there on. Read as a frame of its own, such a piece
// may pass its parity by chance or by repair, or name an address often heard (the second half
// of a squitter whose first half does not change always does), and make a phantom aircraft.
// The demodulators keep the frames they handed on lately and drop a later one that starts
// inside one of them and carries its bits; a frame that overlaps another with bits of its own
// is a collision of two replies and stays.

#include <cstdint>

class FramePieces {
 public:
  // Frames are placed by a sample count taken at the same point of every frame's window;
  // samplesPerBit is the samples of one 1 us bit at the demodulator's rate.
  explicit FramePieces(uint32_t samplesPerBit = 2) { reset(samplesPerBit); }
  void reset(uint32_t samplesPerBit);

  // True when the frame found at `at` starts inside a frame kept here, some bits after it,
  // and its bits, as sliced or as handed on (after a repair), are that frame's bits from there.
  // `checked`: its parity held here (or was mended). A frame whose parity was not tested may
  // be noise read from just before a real frame's start, whose bits it then carries: it is no
  // reason to drop a frame whose parity holds, one clearly stronger than it (`strength`, the
  // mean pulse of its bits; a piece has the strength of the frame it comes from) or one that
  // goes on past its end.
  bool isPiece(uint64_t at, const uint8_t* sliced, const uint8_t* bytes, uint32_t length, bool checked,
               uint32_t strength) const;
  // Keeps a frame that was handed on, found at `at` (never earlier than the frames before it).
  void add(uint64_t at, const uint8_t* sliced, const uint8_t* bytes, uint32_t length, bool checked,
           uint32_t strength);

  // Fewer bits in common could agree by chance: a reply that starts near the end of another
  // shares only its first bits with it.
  static constexpr uint32_t minimumSharedBits = 24;

 private:
  struct Kept {
    uint64_t at = 0;
    uint32_t bits = 0;  // 0: a free slot
    bool checked = false;
    uint32_t strength = 0;
    uint8_t sliced[14] = {};
    uint8_t bytes[14] = {};
  };
  // Frames whose span a later start can fall in: within 120 us hardly more than a few.
  static constexpr uint32_t keptCount = 16;

  bool sharesBits(const Kept& outer, uint32_t offset, const uint8_t* sliced, const uint8_t* bytes,
                  uint32_t bits) const;

  Kept kept[keptCount];
  uint32_t next = 0;
  uint32_t samplesPerBit = 2;
};
