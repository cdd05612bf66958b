#include "sdr/frame_pieces.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t bitAt(const uint8_t* bytes, uint32_t index) { return (bytes[index / 8] >> (7 - index % 8)) & 1u; }

}  // namespace

void FramePieces::reset(uint32_t bitSamples) {
  samplesPerBit = bitSamples == 0 ? 1 : bitSamples;
  for (Kept& k : kept) k = Kept{};
  next = 0;
}

bool FramePieces::sharesBits(const Kept& outer, uint32_t offset, const uint8_t* sliced, const uint8_t* bytes,
                             uint32_t bits) const {
  if (offset >= outer.bits) return false;
  const uint32_t shared = std::min(bits, outer.bits - offset);
  // Of a frame whose parity was not tested, only a piece that lies wholly within it.
  if (shared < minimumSharedBits || (!outer.checked && shared < bits)) return false;
  const auto same = [&](const uint8_t* mine, const uint8_t* theirs) {
    for (uint32_t i = 0; i < shared; ++i) {
      if (bitAt(mine, i) != bitAt(theirs, offset + i)) return false;
    }
    return true;
  };
  return same(sliced, outer.sliced) || same(bytes, outer.bytes);
}

bool FramePieces::isPiece(uint64_t at, const uint8_t* sliced, const uint8_t* bytes, uint32_t length, bool checked,
                          uint32_t strength) const {
  const uint32_t bits = 8 * std::min<uint32_t>(length, sizeof(Kept::bytes));
  for (const Kept& outer : kept) {
    if (outer.bits == 0 || at <= outer.at) continue;
    // An eighth more than the earlier frame is beyond what noise makes of one signal.
    if (!outer.checked && (checked || uint64_t{strength} * 8 > uint64_t{outer.strength} * 9)) continue;
    // The span runs from the first preamble pulse to the end of the last bit: 8 us of
    // preamble, then the bits.
    const uint64_t apart = at - outer.at;
    if (apart >= uint64_t{8 + outer.bits} * samplesPerBit) continue;
    // Between two bit positions the piece may have been sliced at either. Less than a bit
    // later the same frame is found at a neighbouring alignment; the repeat tests see to that.
    const auto offset = static_cast<uint32_t>(apart / samplesPerBit);
    if (offset > 0 && sharesBits(outer, offset, sliced, bytes, bits)) return true;
    if (apart % samplesPerBit != 0 && sharesBits(outer, offset + 1, sliced, bytes, bits)) return true;
  }
  return false;
}

void FramePieces::add(uint64_t at, const uint8_t* sliced, const uint8_t* bytes, uint32_t length, bool checked,
                      uint32_t strength) {
  length = std::min<uint32_t>(length, sizeof(Kept::bytes));
  // The same frame again at a neighbouring alignment adds nothing: the first stands for it.
  const Kept& newest = kept[next == 0 ? keptCount - 1 : next - 1];
  if (newest.bits == 8 * length && at - newest.at <= samplesPerBit && std::memcmp(newest.bytes, bytes, length) == 0)
    return;
  Kept& k = kept[next];
  next = next + 1 == keptCount ? 0 : next + 1;
  k.at = at;
  k.bits = 8 * length;
  k.checked = checked;
  k.strength = strength;
  std::memset(k.sliced, 0, sizeof k.sliced);
  std::memset(k.bytes, 0, sizeof k.bytes);
  std::memcpy(k.sliced, sliced, length);
  std::memcpy(k.bytes, bytes, length);
}
